#include "link/networkportcontroller.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace irig::link {

namespace {

Q_LOGGING_CATEGORY(lcNetwork, "irig.port")

// RFC 2217's COM-PORT-OPTION commands (client to server; the server answers each plus 100).
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kServerOffset = 100;
constexpr uint8_t kNoParity = 1;
constexpr uint8_t kOneStopBit = 1;
constexpr uint8_t kNoFlowControl = 1;
constexpr int kSettings = 5;

constexpr qint64 kReadBuffer = qint64{64} * 1024;  // Qt's buffer for what the server sends
constexpr qsizetype kMaxInbox = qsizetype{1024} * 1024;

// What this client takes on: it will use binary, suppress-go-ahead and the COM-PORT-OPTION, and
// asks the server to use binary and suppress-go-ahead.
bool WeWill(uint8_t option) {
    return option == telnet::kBinary || option == telnet::kSuppressGoAhead ||
           option == telnet::kComPort;
}

bool WeDo(uint8_t option) {
    return option == telnet::kBinary || option == telnet::kSuppressGoAhead;
}

}  // namespace

NetworkPortController::NetworkPortController(QObject* parent) : PortController(parent) {
    socket_.setReadBufferSize(kReadBuffer);
    connect(&socket_, &QTcpSocket::readyRead, this, &NetworkPortController::Received);
    connect(&socket_, &QTcpSocket::disconnected, this,
            [this] { Lose(QStringLiteral("the connection to %1 closed").arg(address_.Text())); });
    connect(&socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        Lose(error == QAbstractSocket::RemoteHostClosedError
                 ? QStringLiteral("the connection to %1 closed").arg(address_.Text())
                 : QStringLiteral("the connection to %1 failed: %2")
                       .arg(address_.Text(), socket_.errorString()));
    });
}

// The connection that goes with the component is no lost line.
NetworkPortController::~NetworkPortController() {
    open_ = false;
}

int NetworkPortController::OpenPort(const QString& name) {
    return OpenDevice(name, ResolvePortName(name));
}

int NetworkPortController::OpenDevice(const QString& name, const QString& address) {
    ClosePort();
    failure_ = {};
    note_.clear();
    const std::optional<NetworkAddress> parsed = ParseNetworkAddress(address);
    if (!parsed) {
        failure_.kind = PortFailure::kNoSuchDevice;
        return kNoSuchDevice;
    }
    address_ = *parsed;
    failure_.device = address_.Text();
    decoder_ = {};
    protocolError_.clear();
    lineSet_ = refused_ = weWillComPort_ = weWillBinary_ = weDoBinary_ = false;
    refusedWill_.reset();
    refusedDo_.reset();
    settingsAnswered_ = 0;

    QElapsedTimer connecting;
    connecting.start();
    socket_.connectToHost(address_.host, address_.port);
    if (!socket_.waitForConnected(connectTimeoutMs_)) {
        failure_.kind = PortFailure::kUnreachable;
        failure_.detail = socket_.error() == QAbstractSocket::SocketTimeoutError
                              ? QStringLiteral("no connection within %1 ms").arg(connectTimeoutMs_)
                              : socket_.errorString();
        qCWarning(lcNetwork).noquote()
            << "cannot open" << name << "-" << FailureText(name, failure_);
        socket_.abort();
        return kPortOpenFailed;
    }
    // The TCP handshake takes one round trip.
    roundTripMs_ = static_cast<int>(connecting.elapsed());
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (address_.kind == NetworkAddress::kRfc2217) {
        Negotiate();
        if (socket_.state() != QAbstractSocket::ConnectedState) {
            failure_.kind = PortFailure::kUnreachable;
            failure_.detail =
                protocolError_.isEmpty()
                    ? QStringLiteral("the server closed the connection while it was set up")
                    : protocolError_;
            qCWarning(lcNetwork).noquote()
                << "cannot open" << name << "-" << FailureText(name, failure_);
            socket_.abort();
            return kPortOpenFailed;
        }
    }
    open_ = true;
    if (!inbox_.isEmpty()) {
        QTimer::singleShot(0, this, [this] {
            if (open_ && !inbox_.isEmpty()) {
                emit DataReceived();
            }
        });
    }
    return kPortOpened;
}

// Binary both ways, and the COM-PORT-OPTION; the server's answers to the line settings are awaited
// as long as the connection may take, no longer.
void NetworkPortController::Negotiate() {
    socket_.write(telnet::Negotiation(telnet::kWill, telnet::kBinary) +
                  telnet::Negotiation(telnet::kDo, telnet::kBinary) +
                  telnet::Negotiation(telnet::kWill, telnet::kSuppressGoAhead) +
                  telnet::Negotiation(telnet::kDo, telnet::kSuppressGoAhead) +
                  telnet::Negotiation(telnet::kWill, telnet::kComPort));
    weWillBinary_ = weDoBinary_ = weWillComPort_ = true;
    const QDeadlineTimer deadline(connectTimeoutMs_);
    while (settingsAnswered_ < kSettings && !refused_ &&
           socket_.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        if (socket_.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            decoder_.Feed(socket_.readAll(), *this);
        }
    }
    if (refused_) {
        note_ = QStringLiteral(
            "the server does not take RFC 2217's COM-PORT-OPTION; the line stays as the server "
            "set it");
    } else if (settingsAnswered_ < kSettings) {
        note_ = QStringLiteral(
                    "the server did not answer RFC 2217's line settings within %1 ms; the line "
                    "stays as the server set it")
                    .arg(connectTimeoutMs_);
    }
}

// 19200 baud (or the speed set), 8 data bits, no parity, one stop bit, no flow control.
void NetworkPortController::SetLine() {
    lineSet_ = true;
    const char baud[] = {static_cast<char>(kSetBaudRate), static_cast<char>((baud_ >> 24) & 0xFF),
                         static_cast<char>((baud_ >> 16) & 0xFF),
                         static_cast<char>((baud_ >> 8) & 0xFF), static_cast<char>(baud_ & 0xFF)};
    QByteArray settings = telnet::Subnegotiation(telnet::kComPort, QByteArrayView(baud, 5));
    for (const auto& [command, value] :
         {std::pair{kSetDataSize, uint8_t{8}}, std::pair{kSetParity, kNoParity},
          std::pair{kSetStopSize, kOneStopBit}, std::pair{kSetControl, kNoFlowControl}}) {
        const char payload[] = {static_cast<char>(command), static_cast<char>(value)};
        settings += telnet::Subnegotiation(telnet::kComPort, QByteArrayView(payload, 2));
    }
    socket_.write(settings);
}

void NetworkPortController::ClosePort() {
    open_ = false;
    inbox_.clear();
    if (socket_.state() != QAbstractSocket::UnconnectedState) {
        socket_.abort();
    }
}

void NetworkPortController::SendData(const QByteArray& data) {
    if (!open_) {
        return;
    }
    socket_.write(address_.kind == NetworkAddress::kRfc2217 ? telnet::Escape(data) : data);
    socket_.flush();  // now, not at the event loop's next turn: the unit waits for each frame
}

QByteArray NetworkPortController::ReadData() {
    return std::exchange(inbox_, {});
}

void NetworkPortController::Received() {
    if (!open_) {
        return;
    }
    const QByteArray bytes = socket_.readAll();
#ifdef TCP_QUICKACK
    // Acknowledged at once: a server that holds back the rest of an answer until its first part is
    // acknowledged (Nagle's algorithm) would otherwise wait for the delayed acknowledgement.
    const int on = 1;
    ::setsockopt(static_cast<int>(socket_.socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on,
                 sizeof on);
#endif
    if (address_.kind == NetworkAddress::kRfc2217) {
        decoder_.Feed(bytes, *this);
    } else {
        Data(bytes);
    }
    if (open_ && !inbox_.isEmpty()) {
        emit DataReceived();
    }
}

void NetworkPortController::Data(QByteArrayView data) {
    // More than anyone has read since: a flood, dropped beyond the bound.
    inbox_.append(data.first(std::min(data.size(), kMaxInbox - inbox_.size())));
}

// Each request is answered once, and only when it changes what this side does, so that a server
// that repeats them cannot make it talk without end.
void NetworkPortController::Negotiation(uint8_t verb, uint8_t option) {
    auto send = [this](uint8_t answer, uint8_t about) {
        socket_.write(telnet::Negotiation(answer, about));
    };
    if (verb == telnet::kDo && option == telnet::kComPort) {
        if (!weWillComPort_) {
            weWillComPort_ = true;
            send(telnet::kWill, option);
        }
        if (!lineSet_) {
            SetLine();
        }
    } else if (verb == telnet::kDont && option == telnet::kComPort) {
        refused_ = true;
        weWillComPort_ = false;
    } else if (verb == telnet::kDo && option == telnet::kBinary && !weWillBinary_) {
        weWillBinary_ = true;
        send(telnet::kWill, option);
    } else if (verb == telnet::kWill && option == telnet::kBinary && !weDoBinary_) {
        weDoBinary_ = true;
        send(telnet::kDo, option);
    } else if (verb == telnet::kDo && !WeWill(option) && !refusedWill_.test(option)) {
        refusedWill_.set(option);
        send(telnet::kWont, option);
    } else if (verb == telnet::kWill && !WeDo(option) && !refusedDo_.test(option)) {
        refusedDo_.set(option);
        send(telnet::kDont, option);
    }
}

void NetworkPortController::Subnegotiation(uint8_t option, QByteArrayView payload) {
    if (option != telnet::kComPort || payload.isEmpty()) {
        return;
    }
    const auto answer = static_cast<uint8_t>(payload[0]);
    if (answer > kServerOffset + 0 && answer <= kServerOffset + kSetControl) {
        ++settingsAnswered_;
    }
}

void NetworkPortController::Overlong() {
    protocolError_ = QStringLiteral("it sent a Telnet subnegotiation longer than %1 bytes")
                         .arg(telnet::kMaxSubnegotiation);
    if (open_) {
        Lose(
            QStringLiteral("%1 %2; the connection is closed").arg(address_.Text(), protocolError_));
    } else {
        socket_.abort();
    }
}

void NetworkPortController::Lose(const QString& reason) {
    if (!open_) {
        return;
    }
    open_ = false;
    qCWarning(lcNetwork).noquote() << QStringLiteral("%1 failed: %2").arg(address_.Text(), reason);
    socket_.abort();
    emit PortLost(reason);
}

}  // namespace irig::link
