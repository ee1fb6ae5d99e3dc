#include "support/unitserver.h"

#include <QMutex>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <atomic>

namespace irig::test {

namespace {

constexpr char kIac = '\xFF';
constexpr uint8_t kWill = 251, kDo = 253, kDont = 254, kSb = 250, kSe = 240;
constexpr uint8_t kComPort = 44;

enum State { kData, kAfterIac, kAfterVerb, kInSb, kInSbIac };

QByteArray Doubled(const QByteArray& data) {
    QByteArray out;
    for (const char byte : data) {
        out.append(byte);
        if (byte == kIac) {
            out.append(byte);
        }
    }
    return out;
}

}  // namespace

class UnitServer::Worker final : public QObject {
public:
    Worker(Behaviour behaviour, std::shared_ptr<SimUnit> unit)
        : behaviour_(behaviour), unit_(std::move(unit)) {}

    QString Listen(quint16 port) {
        server_ = new QTcpServer(this);
        server_->listen(QHostAddress::LocalHost, port);
        connect(server_, &QTcpServer::newConnection, this, &Worker::Accept);
        trickleTimer_ = new QTimer(this);
        trickleTimer_->setInterval(200);
        connect(trickleTimer_, &QTimer::timeout, this, [this] {
            if (client_ != nullptr && !trickle_.isEmpty()) {
                client_->write(trickle_.left(1));
                trickle_.remove(0, 1);
            }
        });
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(behaviour_ == Behaviour::kRaw ? QStringLiteral("socket")
                                               : QStringLiteral("rfc2217"))
            .arg(server_->serverPort());
    }

    void Accept();
    void Read();
    void Command(uint8_t verb, uint8_t option);
    void Answer(const QByteArray& data);
    void Send(const QByteArray& bytes);

    mutable QMutex mutex;  // received and settings, which the test reads
    QByteArray received;
    QList<QByteArray> settings;
    std::atomic<int> closeAfterBlocks = 0;
    std::atomic<int> delayMs = 0;

private:
    Behaviour behaviour_;
    std::shared_ptr<SimUnit> unit_;
    QTcpServer* server_ = nullptr;
    QTcpSocket* client_ = nullptr;
    QByteArray trickle_;
    QTimer* trickleTimer_ = nullptr;
    // Telnet as read so far: after IAC, after a verb, inside a subnegotiation.
    int state_ = kData;
    uint8_t verb_ = 0;
    QByteArray sb_;
};

UnitServer::UnitServer(Behaviour behaviour, std::shared_ptr<SimUnit> unit, quint16 port)
    : worker_(new Worker(behaviour, std::move(unit))) {
    worker_->moveToThread(&thread_);
    thread_.start();
    QMetaObject::invokeMethod(
        worker_, [this, port] { address_ = worker_->Listen(port); }, Qt::BlockingQueuedConnection);
}

UnitServer::~UnitServer() {
    QMetaObject::invokeMethod(
        worker_, [this] { delete worker_; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void UnitServer::CloseAfterBlocks(int blocks) {
    worker_->closeAfterBlocks = blocks;
}

void UnitServer::DelayAnswers(int milliseconds) {
    worker_->delayMs = milliseconds;
}

QList<QByteArray> UnitServer::Settings() const {
    const QMutexLocker lock(&worker_->mutex);
    return worker_->settings;
}

QByteArray UnitServer::Received() const {
    const QMutexLocker lock(&worker_->mutex);
    return worker_->received;
}

void UnitServer::Worker::Accept() {
    while (QTcpSocket* next = server_->nextPendingConnection()) {
        if (client_ != nullptr) {
            client_->deleteLater();
        }
        client_ = next;
        connect(client_, &QTcpSocket::readyRead, this, &UnitServer::Worker::Read);
        state_ = kData;
        if (behaviour_ == Behaviour::kFloodsIac) {
            QByteArray flood;
            for (int i = 0; i < 20'000; ++i) {
                flood += QByteArray("\xFF\xFD\x63\xFF\xFB\x62\xFF\xF1", 8);  // DO 99, WILL 98, NOP
            }
            client_->write(flood);
        } else if (behaviour_ == Behaviour::kEndlessSubnegotiation) {
            client_->write(QByteArray("\xFF\xFA\x2C", 3) + QByteArray(1 << 20, 'x'));
        }
    }
}

void UnitServer::Worker::Read() {
    const QByteArray bytes = client_->readAll();
    {
        const QMutexLocker lock(&mutex);
        received += bytes;
    }
    if (behaviour_ == Behaviour::kRaw) {
        Answer(bytes);
        return;
    }
    QByteArray data;
    for (const char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        switch (state_) {
            case kData:
                if (c == kIac) {
                    state_ = kAfterIac;
                } else {
                    data.append(c);
                }
                break;
            case kAfterIac:
                if (c == kIac) {
                    data.append(c);
                    state_ = kData;
                } else if (b == kSb) {
                    sb_.clear();
                    state_ = kInSb;
                } else if (b >= kWill && b <= kDont) {
                    verb_ = b;
                    state_ = kAfterVerb;
                } else {
                    state_ = kData;
                }
                break;
            case kAfterVerb:
                Command(verb_, b);
                state_ = kData;
                break;
            case kInSb:
                if (c == kIac) {
                    state_ = kInSbIac;
                } else {
                    sb_.append(c);
                }
                break;
            case kInSbIac:
                if (b == kSe) {
                    if (!sb_.isEmpty() && static_cast<uint8_t>(sb_[0]) == kComPort) {
                        {
                            const QMutexLocker lock(&mutex);
                            settings.append(sb_.mid(1));
                        }
                        if ((behaviour_ == Behaviour::kRfc2217 ||
                             behaviour_ == Behaviour::kAnswersOtherBaud) &&
                            sb_.size() > 1) {
                            // The same setting back, its command plus 100.
                            QByteArray answer = sb_.mid(1);
                            answer[0] = static_cast<char>(static_cast<uint8_t>(answer[0]) + 100);
                            if (behaviour_ == Behaviour::kAnswersOtherBaud && answer[0] == 101) {
                                answer = QByteArray("\x65\x00\x00\x25\x80", 5);  // 9600
                            }
                            client_->write(QByteArray("\xFF\xFA\x2C", 3) + Doubled(answer) +
                                           QByteArray("\xFF\xF0", 2));
                        }
                    }
                    state_ = kData;
                } else {
                    sb_.append(c);
                    state_ = kInSb;
                }
                break;
        }
    }
    Answer(data);
}

void UnitServer::Worker::Command(uint8_t verb, uint8_t option) {
    if (verb != kWill || option != kComPort) {
        return;
    }
    if (behaviour_ == Behaviour::kClosesInNegotiation) {
        client_->disconnectFromHost();
    } else if (behaviour_ == Behaviour::kRfc2217 || behaviour_ == Behaviour::kTrickles ||
               behaviour_ == Behaviour::kAnswersOtherBaud) {
        client_->write(QByteArray("\xFF") + char(kDo) + char(kComPort));
    } else if (behaviour_ == Behaviour::kRefusesComPort) {
        client_->write(QByteArray("\xFF") + char(kDont) + char(kComPort));
    }
}

void UnitServer::Worker::Answer(const QByteArray& data) {
    if (data.isEmpty()) {
        return;
    }
    const int echoesBefore = unit_->log.filter(QStringLiteral("block ")).size();
    QByteArray replies;
    for (const sim::Bytes& reply :
         unit_->unit.Receive(reinterpret_cast<const uint8_t*>(data.constData()),
                             static_cast<size_t>(data.size()), sim::Clock::now())) {
        replies.append(reinterpret_cast<const char*>(reply.data()),
                       static_cast<qsizetype>(reply.size()));
    }
    const int echoes = unit_->log.filter(QStringLiteral("block ")).size();
    const int closeAfter = closeAfterBlocks;
    if (closeAfter > 0 && echoesBefore < closeAfter && echoes >= closeAfter) {
        client_->disconnectFromHost();
        return;
    }
    // A re-boot answers when it is done.
    if (const std::optional<sim::Clock::time_point> due = unit_->unit.RebootDue()) {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(*due - sim::Clock::now()).count();
        QTimer::singleShot(static_cast<int>(std::max<qint64>(wait, 0)), this, [this] {
            QByteArray done;
            for (const sim::Bytes& reply :
                 unit_->unit.Tick(sim::Clock::now() + std::chrono::hours(1))) {
                done.append(reinterpret_cast<const char*>(reply.data()),
                            static_cast<qsizetype>(reply.size()));
            }
            Send(done);
        });
    }
    Send(replies);
}

void UnitServer::Worker::Send(const QByteArray& bytes) {
    if (client_ == nullptr || bytes.isEmpty()) {
        return;
    }
    const QByteArray wire = behaviour_ == Behaviour::kRaw ? bytes : Doubled(bytes);
    if (delayMs > 0) {
        QTimer::singleShot(delayMs.load(), this, [client = QPointer<QTcpSocket>(client_), wire] {
            if (client != nullptr) {
                client->write(wire);
            }
        });
        return;
    }
    if (behaviour_ == Behaviour::kTrickles) {
        trickle_ += wire;
        trickleTimer_->start();
        return;
    }
    client_->write(wire);
}

}  // namespace irig::test
