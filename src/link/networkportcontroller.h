// The serial component on a terminal server's port, over TCP: "rfc2217://HOST:PORT" with Telnet
// and RFC 2217's COM-PORT-OPTION (the line set to 19200 baud, 8 data bits, no parity, one stop bit,
// no flow control, where the server takes the option), "socket://HOST:PORT" raw, the line set up on
// the server. It connects and negotiates within time-outs, says once what a server would not do,
// and takes a closed or failed connection for a vanished line. Every buffer is bounded.
#pragma once

#include <QTcpSocket>
#include <bitset>

#include "link/portcontroller.h"
#include "link/portmap.h"
#include "link/telnet.h"

namespace irig::link {

class NetworkPortController final : public PortController, private telnet::Decoder::Sink {
    Q_OBJECT

public:
    explicit NetworkPortController(QObject* parent = nullptr);
    ~NetworkPortController() override;

    void SetBaudRate(qint32 baud) override { baud_ = baud; }
    qint32 BaudRate() const override { return baud_; }
    int OpenPort(const QString& name) override;
    // Connects to `address` (its text, as ResolvePortName gives it) for the port called `name`.
    int OpenDevice(const QString& name, const QString& address) override;
    PortFailure LastFailure() const override { return failure_; }
    QString Device() const override { return address_.Text(); }
    void ClosePort() override;
    void SendData(const QByteArray& data) override;
    QByteArray ReadData() override;
    int RoundTripMs() const override { return roundTripMs_; }
    QString Note() const override { return note_; }

    // How long connecting may take (5 s unless set); the negotiation waits as long at most.
    void SetConnectTimeout(int milliseconds) { connectTimeoutMs_ = milliseconds; }

private:
    void Data(QByteArrayView data) override;
    void Negotiation(uint8_t verb, uint8_t option) override;
    void Subnegotiation(uint8_t option, QByteArrayView payload) override;
    void Overlong() override;

    void Negotiate();
    void SetLine();
    void Received();
    void Lose(const QString& reason);

    QTcpSocket socket_;
    NetworkAddress address_;
    telnet::Decoder decoder_;
    QByteArray inbox_;  // data received since the last ReadData
    PortFailure failure_;
    QString note_;
    QString protocolError_;  // why the server cannot be talked to, found while setting up
    qint32 baud_ = 9600;
    int connectTimeoutMs_ = 5000;
    int roundTripMs_ = 0;
    bool open_ = false;
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
