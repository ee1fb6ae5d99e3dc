#include "link/networkportcontroller.h"

#include <QLoggingCategory>
#include <QMutex>

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
constexpr uint8_t kDataBits = 8;
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

QString ParityName(uint8_t value) {
    static const char* const kNames[] = {"no", "no", "odd", "even", "mark", "space"};
    return value < std::size(kNames) ? QString::fromLatin1(kNames[value])
                                     : QStringLiteral("unknown (%1)").arg(value);
}

QString StopBitsName(uint8_t value) {
    return value == 3 ? QStringLiteral("1.5") : QString::number(value);
}

}  // namespace

// A lookup's answer comes from another thread; it is posted to the controller while it exists.
struct NetworkPortController::Relay {
    QMutex mutex;
    NetworkPortController* target = nullptr;
};

NetworkPortController::NetworkPortController(QObject* parent)
    : PortController(parent), relay_(std::make_shared<Relay>()), lookup_(&SystemLookup) {
    relay_->target = this;
    socket_.setReadBufferSize(kReadBuffer);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &NetworkPortController::Expired);
    connect(&socket_, &QTcpSocket::connected, this, &NetworkPortController::Connected);
    connect(&socket_, &QTcpSocket::readyRead, this, &NetworkPortController::Received);
    connect(&socket_, &QTcpSocket::disconnected, this, &NetworkPortController::SocketFailed);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &NetworkPortController::SocketFailed);
}

// The connection that goes with the component is no lost line, and no lookup reaches it now.
NetworkPortController::~NetworkPortController() {
    phase_ = Phase::kClosed;
    const QMutexLocker lock(&relay_->mutex);
    relay_->target = nullptr;
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
        failure_.kind = PortFailure::kBadAddress;
        failure_.device = address;
        failure_.mapEntry = PortMapEntry(name);
        failure_.detail = AddressProblem(address);
        return kNoSuchDevice;
    }
    address_ = *parsed;
    name_ = name;
    failure_.device = address_.Text();
    decoder_ = {};
    protocolError_.clear();
    lineSet_ = refused_ = weWillComPort_ = weWillBinary_ = weDoBinary_ = false;
    refusedWill_.reset();
    refusedDo_.reset();
    settingsAnswered_ = 0;
    roundTripMs_ = 0;
    deadline_.start(connectTimeoutMs_);
    if (const std::optional<QHostAddress> literal = LiteralAddress(address_.host)) {
        phase_ = Phase::kConnecting;
        addresses_ = {*literal};
        QTimer::singleShot(0, this, [this, attempt = attempt_] {
            if (attempt == attempt_ && phase_ == Phase::kConnecting) {
                ConnectNext();
            }
        });
        return kPortOpening;
    }
    phase_ = Phase::kLookingUp;
    lookup_(address_.host,
            [relay = relay_, attempt = attempt_](QList<QHostAddress> addresses, QString error) {
                const QMutexLocker lock(&relay->mutex);
                if (relay->target != nullptr) {
                    QMetaObject::invokeMethod(
                        relay->target,
                        [target = relay->target, attempt, addresses = std::move(addresses),
                         error = std::move(error)] { target->LookedUp(attempt, addresses, error); },
                        Qt::QueuedConnection);
                }
            });
    return kPortOpening;
}

QString NetworkPortController::Reached() const {
    return socket_.state() == QAbstractSocket::ConnectedState
               ? EndpointOf(address_, {socket_.peerAddress()}).Text()
               : QString();
}

void NetworkPortController::LookedUp(quint64 attempt, const QList<QHostAddress>& addresses,
                                     const QString& error) {
    if (attempt != attempt_ || phase_ != Phase::kLookingUp) {
        return;
    }
    if (addresses.isEmpty()) {
        Fail(QStringLiteral("the name %1 was not found (%2)").arg(address_.host, error));
        return;
    }
    phase_ = Phase::kConnecting;
    addresses_ = addresses;
    ConnectNext();
}

// The name's addresses in turn, until one takes the connection.
void NetworkPortController::ConnectNext() {
    const QHostAddress next = addresses_.takeFirst();
    socket_.abort();
    connecting_.start();
    socket_.connectToHost(next, address_.port);
}

void NetworkPortController::Connected() {
    if (phase_ != Phase::kConnecting) {
        return;
    }
    // The TCP handshake takes one round trip; the name's lookup is no part of it.
    roundTripMs_ = static_cast<int>(connecting_.elapsed());
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (address_.kind == NetworkAddress::kRfc2217) {
        phase_ = Phase::kNegotiating;
        Negotiate();
    } else {
        Succeed();
    }
}

void NetworkPortController::SocketFailed() {
    switch (phase_) {
        case Phase::kConnecting:
            if (socket_.state() != QAbstractSocket::UnconnectedState) {
                return;
            }
            if (addresses_.isEmpty()) {
                Fail(socket_.errorString());
            } else {
                // Not from inside the socket's own signal: it may not be ready to connect again.
                QTimer::singleShot(0, this, [this, attempt = attempt_] {
                    if (attempt == attempt_ && phase_ == Phase::kConnecting &&
                        socket_.state() == QAbstractSocket::UnconnectedState) {
                        ConnectNext();
                    }
                });
            }
            return;
        case Phase::kNegotiating:
            if (protocolError_.isEmpty()) {
                Fail(QStringLiteral("the server closed the connection while it was set up"),
                     PortFailure::kClosedWhileSetUp);
            } else {
                Fail(protocolError_);
            }
            return;
        case Phase::kOpen:
            Lose(socket_.error() == QAbstractSocket::RemoteHostClosedError ||
                         socket_.state() == QAbstractSocket::UnconnectedState
                     ? QStringLiteral("the connection to %1 closed").arg(address_.Text())
                     : QStringLiteral("the connection to %1 failed: %2")
                           .arg(address_.Text(), socket_.errorString()));
            return;
        case Phase::kClosed:
        case Phase::kLookingUp:
            return;
    }
}

// The open's one deadline: where it stands says what did not come in time.
void NetworkPortController::Expired() {
    switch (phase_) {
        case Phase::kLookingUp:
            Fail(QStringLiteral("no answer from the name service for %1 within %2 ms")
                     .arg(address_.host)
                     .arg(connectTimeoutMs_));
            return;
        case Phase::kConnecting:
            Fail(QStringLiteral("no connection within %1 ms").arg(connectTimeoutMs_));
            return;
        case Phase::kNegotiating:
            note_ = QStringLiteral(
                        "the server did not answer RFC 2217's line settings within %1 ms; the "
                        "line stays as the server set it")
                        .arg(connectTimeoutMs_);
            Succeed();
            return;
        case Phase::kClosed:
        case Phase::kOpen:
            return;
    }
}

// Binary both ways, and the COM-PORT-OPTION; the server's answers come by Received.
void NetworkPortController::Negotiate() {
    socket_.write(telnet::Negotiation(telnet::kWill, telnet::kBinary) +
                  telnet::Negotiation(telnet::kDo, telnet::kBinary) +
                  telnet::Negotiation(telnet::kWill, telnet::kSuppressGoAhead) +
                  telnet::Negotiation(telnet::kDo, telnet::kSuppressGoAhead) +
                  telnet::Negotiation(telnet::kWill, telnet::kComPort));
    weWillBinary_ = weDoBinary_ = weWillComPort_ = true;
}

// 19200 baud (or the speed set), 8 data bits, no parity, one stop bit, no flow control.
void NetworkPortController::SetLine() {
    lineSet_ = true;
    const char baud[] = {static_cast<char>(kSetBaudRate), static_cast<char>((baud_ >> 24) & 0xFF),
                         static_cast<char>((baud_ >> 16) & 0xFF),
                         static_cast<char>((baud_ >> 8) & 0xFF), static_cast<char>(baud_ & 0xFF)};
    QByteArray settings = telnet::Subnegotiation(telnet::kComPort, QByteArrayView(baud, 5));
    for (const auto& [command, value] :
         {std::pair{kSetDataSize, kDataBits}, std::pair{kSetParity, kNoParity},
          std::pair{kSetStopSize, kOneStopBit}, std::pair{kSetControl, kNoFlowControl}}) {
        const char payload[] = {static_cast<char>(command), static_cast<char>(value)};
        settings += telnet::Subnegotiation(telnet::kComPort, QByteArrayView(payload, 2));
    }
    socket_.write(settings);
}

void NetworkPortController::Succeed() {
    deadline_.stop();
    phase_ = Phase::kOpen;
    if (!inbox_.isEmpty()) {
        QTimer::singleShot(0, this, [this] {
            if (phase_ == Phase::kOpen && !inbox_.isEmpty()) {
                emit DataReceived();
            }
        });
    }
    emit OpenFinished(kPortOpened);
}

void NetworkPortController::Fail(const QString& detail, PortFailure::Kind kind) {
    deadline_.stop();
    phase_ = Phase::kClosed;
    ++attempt_;
    addresses_.clear();
    inbox_.clear();
    socket_.abort();
    failure_.kind = kind;
    failure_.detail = detail;
    qCWarning(lcNetwork).noquote() << "cannot open" << name_ << "-" << FailureText(name_, failure_);
    emit OpenFinished(kPortOpenFailed);
}

void NetworkPortController::ClosePort() {
    phase_ = Phase::kClosed;
    ++attempt_;
    deadline_.stop();
    addresses_.clear();
    inbox_.clear();
    if (socket_.state() != QAbstractSocket::UnconnectedState) {
        socket_.abort();
    }
}

bool NetworkPortController::SendData(const QByteArray& data) {
    if (phase_ != Phase::kOpen) {
        return false;
    }
    socket_.write(address_.kind == NetworkAddress::kRfc2217 ? telnet::Escape(data) : data);
    socket_.flush();  // now, not at the event loop's next turn: the unit waits for each frame
    return true;
}

QByteArray NetworkPortController::ReadData() {
    return std::exchange(inbox_, {});
}

void NetworkPortController::Received() {
    if (phase_ != Phase::kNegotiating && phase_ != Phase::kOpen) {
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
    if (phase_ == Phase::kNegotiating) {
        // Whatever the unit sent meanwhile waits in the inbox for the open port.
        if (!protocolError_.isEmpty()) {
            Fail(protocolError_);
        } else if (refused_) {
            note_ = QStringLiteral(
                "the server does not take RFC 2217's COM-PORT-OPTION; the line stays as the "
                "server set it");
            Succeed();
        } else if (settingsAnswered_ >= kSettings) {
            Succeed();
        }
        return;
    }
    if (phase_ == Phase::kOpen && !inbox_.isEmpty()) {
        emit DataReceived();
    }
}

void NetworkPortController::Data(QByteArrayView data) {
    if (phase_ == Phase::kClosed) {
        return;
    }
    // More than anyone has read since: a flood, dropped beyond the bound.
    inbox_.append(data.first(std::min(data.size(), kMaxInbox - inbox_.size())));
}

// Each request is answered once, and only when it changes what this side does, so that a server
// that repeats them cannot make it talk without end.
void NetworkPortController::Negotiation(uint8_t verb, uint8_t option) {
    if (phase_ == Phase::kClosed) {
        return;
    }
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
        if (phase_ == Phase::kNegotiating) {
            CheckSetting(answer, payload.sliced(1));
        }
    }
}

// The server answers each setting with the value it now has: one that differs from the request
// leaves a line the unit cannot be heard on.
void NetworkPortController::CheckSetting(uint8_t answer, QByteArrayView value) {
    if (!protocolError_.isEmpty() || value.isEmpty()) {
        return;
    }
    const auto byte = static_cast<uint8_t>(value[0]);
    QString set;
    QString wanted;
    if (answer == kServerOffset + kSetBaudRate && value.size() == 4) {
        const qint64 baud = (qint64{byte} << 24) | (static_cast<uint8_t>(value[1]) << 16) |
                            (static_cast<uint8_t>(value[2]) << 8) | static_cast<uint8_t>(value[3]);
        if (baud != baud_) {
            set = QStringLiteral("%1 baud").arg(baud);
            wanted = QString::number(baud_);
        }
    } else if (answer == kServerOffset + kSetDataSize && byte != kDataBits) {
        set = QStringLiteral("%1 data bits").arg(byte);
        wanted = QString::number(kDataBits);
    } else if (answer == kServerOffset + kSetParity && byte != kNoParity) {
        set = ParityName(byte) + QStringLiteral(" parity");
        wanted = ParityName(kNoParity);
    } else if (answer == kServerOffset + kSetStopSize && byte != kOneStopBit) {
        set = StopBitsName(byte) + QStringLiteral(" stop bits");
        wanted = StopBitsName(kOneStopBit);
    }
    if (!set.isEmpty()) {
        protocolError_ = QStringLiteral("the terminal server set %1, not %2").arg(set, wanted);
    }
}

void NetworkPortController::Overlong() {
    protocolError_ = QStringLiteral("it sent a Telnet subnegotiation longer than %1 bytes")
                         .arg(telnet::kMaxSubnegotiation);
    if (phase_ == Phase::kOpen) {
        Lose(
            QStringLiteral("%1 %2; the connection is closed").arg(address_.Text(), protocolError_));
    }
}

void NetworkPortController::Lose(const QString& reason) {
    if (phase_ != Phase::kOpen) {
        return;
    }
    phase_ = Phase::kClosed;
    qCWarning(lcNetwork).noquote() << QStringLiteral("%1 failed: %2").arg(address_.Text(), reason);
    socket_.abort();
    emit PortLost(reason);
}

}  // namespace irig::link
