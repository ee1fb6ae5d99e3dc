// A terminal server inside a test: the simulated unit behind a TCP port on loopback, raw or with
// Telnet (answering RFC 2217's COM-PORT-OPTION), or behaving as a hostile server does. It runs on a
// thread of its own, as a real server runs apart, so that a client that waits for it blocking is
// still answered. It reads Telnet with a few lines of its own, so that a fault of the client's
// decoder cannot hide in it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QThread>
#include <memory>

#include "support/simulatedport.h"

namespace irig::test {

class UnitServer {
public:
    enum class Behaviour {
        kRaw,                    // socket://: bytes both ways as they are
        kRfc2217,                // takes the COM-PORT-OPTION and answers every setting
        kRefusesComPort,         // Telnet, but DONT COM-PORT-OPTION
        kNeverAnswers,           // Telnet, and not a word of negotiation
        kFloodsIac,              // a flood of option requests on connecting
        kEndlessSubnegotiation,  // a subnegotiation that never ends, on connecting
        kTrickles,               // answers one byte every 200 ms
        kClosesInNegotiation,    // closes the connection when asked for the COM-PORT-OPTION
        kAnswersOtherBaud,       // takes the option, but answers 9600 baud to 19200
    };

    // Listens on `port` of loopback (0: any free one).
    explicit UnitServer(Behaviour behaviour,
                        std::shared_ptr<SimUnit> unit = std::make_shared<SimUnit>(),
                        quint16 port = 0);
    ~UnitServer();
    UnitServer(const UnitServer&) = delete;
    UnitServer& operator=(const UnitServer&) = delete;

    // "rfc2217://127.0.0.1:PORT", or "socket://..." for a raw server.
    const QString& Address() const { return address_; }
    // Closes the client's connection once the unit has echoed this many blocks (0: never).
    void CloseAfterBlocks(int blocks);
    // Holds each answer of the unit this long, as a far network would.
    void DelayAnswers(int milliseconds);
    // The COM-PORT-OPTION subnegotiations the client sent, each as its payload.
    QList<QByteArray> Settings() const;
    // Everything the client sent, as it came.
    QByteArray Received() const;

private:
    class Worker;

    QThread thread_;
    Worker* worker_;  // lives on thread_
    QString address_;
};

}  // namespace irig::test
