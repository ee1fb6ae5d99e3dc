// The serial component on a terminal server's port, over TCP: "rfc2217://HOST:PORT" with Telnet
// and RFC 2217's COM-PORT-OPTION (the line set to 19200 baud, 8 data bits, no parity, one stop bit,
// no flow control, where the server takes the option, and each answer checked),
// "socket://HOST:PORT" raw, the line set up on the server. Opening never blocks: the name is looked
// up off the event thread, then the connection and the negotiation run by signals, all within one
// deadline, and OpenFinished says how it ended. It says once what a server would not do, and takes
// a closed or failed connection for a vanished line. Every buffer is bounded.
#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <bitset>
#include <functional>
#include <memory>

#include "link/endpoint.h"
#include "link/portcontroller.h"
#include "link/portmap.h"
#include "link/telnet.h"

namespace irig::link {

class NetworkPortController final : public PortController, private telnet::Decoder::Sink {
    Q_OBJECT

public:
    using Lookup = HostLookup;

    explicit NetworkPortController(QObject* parent = nullptr);
    ~NetworkPortController() override;

    void SetBaudRate(qint32 baud) override { baud_ = baud; }
    qint32 BaudRate() const override { return baud_; }
    int OpenPort(const QString& name) override;
    // Starts connecting to `address` (its text, as ResolvePortName gives it) for the port called
    // `name`: kPortOpening, then OpenFinished; kNoSuchDevice at once for a text that is no address.
    int OpenDevice(const QString& name, const QString& address) override;
    PortFailure LastFailure() const override { return failure_; }
    QString Device() const override { return address_.Text(); }
    void ClosePort() override;
    bool SendData(const QByteArray& data) override;
    QByteArray ReadData() override;
    int RoundTripMs() const override { return roundTripMs_; }
    QString Note() const override { return note_; }
    QString Reached() const override;

    // The one deadline of an open: the name's lookup, the connection and the negotiation (5 s
    // unless set).
    void SetConnectTimeout(int milliseconds) { connectTimeoutMs_ = milliseconds; }
    // How names are looked up: the system's resolver on a thread of its own unless set.
    void SetLookup(Lookup lookup) { lookup_ = std::move(lookup); }

private:
    enum class Phase { kClosed, kLookingUp, kConnecting, kNegotiating, kOpen };
    struct Relay;

    void Data(QByteArrayView data) override;
    void Negotiation(uint8_t verb, uint8_t option) override;
    void Subnegotiation(uint8_t option, QByteArrayView payload) override;
    void Overlong() override;

    void LookedUp(quint64 attempt, const QList<QHostAddress>& addresses, const QString& error);
    void ConnectNext();
    void Connected();
    void SocketFailed();
    void Expired();
    void Negotiate();
    void SetLine();
    void CheckSetting(uint8_t answer, QByteArrayView value);
    void Succeed();
    void Fail(const QString& detail, PortFailure::Kind kind = PortFailure::kUnreachable);
    void Received();
    void Lose(const QString& reason);

    QTcpSocket socket_;
    NetworkAddress address_;
    QString name_;  // the port's name, for messages
    telnet::Decoder decoder_;
    QByteArray inbox_;  // data received since the last ReadData
    PortFailure failure_;
    QString note_;
    QString protocolError_;  // why the server cannot be talked to, found while setting up
    qint32 baud_ = 9600;
    int connectTimeoutMs_ = 5000;
    int roundTripMs_ = 0;
    Phase phase_ = Phase::kClosed;
    QTimer deadline_;
    QElapsedTimer connecting_;       // from the connection's first packet, for its round trip
    QList<QHostAddress> addresses_;  // still to try
    quint64 attempt_ = 0;            // a lookup that answers an earlier open is not heard
    std::shared_ptr<Relay> relay_;   // how a lookup's answer reaches this thread
    Lookup lookup_;
    bool lineSet_ = false;      // the settings went to the server
    int settingsAnswered_ = 0;  // of the five it answers when it takes the option
    bool refused_ = false;      // the server will not take the option
    bool weWillComPort_ = false;
    bool weWillBinary_ = false;
    bool weDoBinary_ = false;
    std::bitset<256> refusedWill_;  // options the server asked this side to use, refused once
    std::bitset<256> refusedDo_;    // options the server offered, refused once
};

}  // namespace irig::link
