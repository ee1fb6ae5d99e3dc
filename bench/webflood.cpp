// irigctl monitor with TLS and users under a flood of wrong passwords: 4 clients from each of 16
// addresses (127.0.1.1 to .16) on kept-alive TLS connections, each sending a scrape with a new
// wrong password as soon as the last is answered, for --seconds (default 10), hashes of bcrypt cost
// 10 as htpasswd -nBC 10 makes them; and 256 connections from 127.0.0.3 that each send one byte of
// a handshake and nothing more, each opened again once the monitor closes it. Meanwhile:
// (a) a good client scrapes every 200 ms with a password already checked, as Prometheus does
//     after its first scrape, beside the same client's scrapes before the flood (the anchor);
// (b) every 500 ms a user never seen before scrapes once, from another address (127.0.0.2), and
//     from one of the flood's (127.0.1.1).
// Prints each one's median and worst latency, the answers the flood got, and the monitor's
// resident memory before and after.
// Usage: bench_webflood [--seconds N]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/tlsfiles.h"
#include "support/wait.h"

namespace {

using irig::test::BasicAuthorization;

constexpr int kFloodAddresses = 16;
constexpr int kFloodersPerAddress = 4;
constexpr int kSlowConnections = 256;
constexpr int kFreshUsers = 60;

// A connection that sends the first byte of a TLS handshake and no more; connected again whenever
// the other side closes it.
class Slow {
public:
    Slow(quint16 port, const QHostAddress& from) : port_(port), from_(from) {
        QObject::connect(&socket_, &QTcpSocket::connected, [this] { socket_.write("\x16", 1); });
        QObject::connect(&socket_, &QTcpSocket::disconnected,
                         [this] { QTimer::singleShot(50, [this] { Connect(); }); });
        Connect();
    }
    int reconnects = 0;

private:
    void Connect() {
        ++reconnects;
        socket_.abort();
        socket_.bind(from_);
        socket_.connectToHost(QHostAddress::LocalHost, port_);
    }
    QTcpSocket socket_;
    quint16 port_;
    QHostAddress from_;
};

// One kept-alive TLS connection from `from`: `ready` is called once its handshake is done; Send() a
// request, and `answered` is called with the status and the milliseconds it took once the response
// is whole.
class Client {
public:
    Client(quint16 port, const QSslConfiguration& tls, const QHostAddress& from) {
        socket_.setSslConfiguration(tls);
        socket_.bind(from);
        socket_.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        QObject::connect(&socket_, &QSslSocket::readyRead, [this] { Read(); });
        QObject::connect(&socket_, &QSslSocket::encrypted, [this] {
            if (ready) {
                ready();
            }
        });
    }
    bool Ready() const { return socket_.isEncrypted(); }
    void Send(const QByteArray& authorization) {
        busy_ = true;
        timer_.start();
        socket_.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " +
                      authorization + "\r\n\r\n");
    }
    bool Busy() const { return busy_; }
    std::function<void()> ready;  // the handshake is done
    std::function<void(int status, double ms)> answered;

private:
    void Read() {
        got_ += socket_.readAll();
        const qsizetype end = got_.indexOf("\r\n\r\n");
        if (end < 0) {
            return;
        }
        const QByteArray head = got_.left(end).toLower();
        const qsizetype at = head.indexOf("content-length:");
        const qsizetype length =
            at < 0 ? 0 : head.mid(at + 15).split('\r').at(0).trimmed().toLongLong();
        if (got_.size() < end + 4 + length) {
            return;
        }
        const int status = got_.mid(9, 3).toInt();
        got_ = got_.mid(end + 4 + length);
        busy_ = false;
        if (answered) {
            answered(status, static_cast<double>(timer_.nsecsElapsed()) / 1e6);
        }
    }

    QSslSocket socket_;
    QByteArray got_;
    QElapsedTimer timer_;
    bool busy_ = false;
};

struct Latencies {
    std::vector<double> ms;
    std::map<int, int> statuses;

    void Add(int status, double took) {
        ms.push_back(took);
        ++statuses[status];
    }
    void Print(const char* what, double anchorWorst) const {
        if (ms.empty()) {
            std::printf("  %-44s none answered\n", what);
            return;
        }
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        std::printf("  %-44s median %6.1f ms  worst %6.1f ms", what, sorted[sorted.size() / 2],
                    sorted.back());
        if (anchorWorst > 0) {
            std::printf(" (%.1fx the worst before the flood)", sorted.back() / anchorWorst);
        }
        for (const auto& [status, count] : statuses) {
            std::printf("  %d: %d", status, count);
        }
        std::printf("\n");
    }
};

// Runs the event loop for `ms`.
void Run(int ms) {
    irig::test::WaitUntil([] { return false; }, ms);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int seconds = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    irig::test::TlsFiles files;
    if (!files.Made()) {
        std::fprintf(stderr, "openssl did not make the certificates\n");
        return 1;
    }
    const QByteArray hash = irig::test::BcryptHash("s3cret", 10);
    QByteArray users = "basic_auth_users:\n  prometheus: " + hash + '\n';
    for (int i = 0; i < kFreshUsers; ++i) {
        users += "  user" + QByteArray::number(i) + ": " + hash + '\n';
    }
    const QString web = irig::test::WriteFile(
        files.Path(QStringLiteral("web.yml")),
        "tls_server_config: {cert_file: server.crt, key_file: server.key}\n" + users);
    irig::test::MonitorProcess monitor({QStringLiteral("/nonexistent/irig-tty")},
                                       {QStringLiteral("--web-config"), web});
    if (!monitor.WaitServing()) {
        std::fprintf(stderr, "the monitor did not start:\n%s\n", qPrintable(monitor.Errors()));
        return 1;
    }
    const quint16 port = monitor.Port();
    const QSslConfiguration tls = files.Client();
    const QHostAddress local(QStringLiteral("127.0.0.1"));
    const QHostAddress other(QStringLiteral("127.0.0.2"));
    const QHostAddress flooding(QStringLiteral("127.0.1.1"));
    const QByteArray good = BasicAuthorization("prometheus", "s3cret");

    Client scraper(port, tls, local);
    irig::test::WaitUntil([&] { return scraper.Ready(); });
    Latencies before;
    Latencies during;
    Latencies* scrapes = &before;
    scraper.answered = [&](int status, double ms) { scrapes->Add(status, ms); };
    QTimer every200;
    QObject::connect(&every200, &QTimer::timeout, [&] {
        if (!scraper.Busy()) {
            scraper.Send(good);
        }
    });
    every200.start(200);
    Run(5000);  // the first scrape checks the password; the others find it remembered
    const qint64 memoryBefore = monitor.ResidentKiB();

    std::vector<std::unique_ptr<Slow>> slow;
    for (int i = 0; i < kSlowConnections; ++i) {
        slow.push_back(std::make_unique<Slow>(port, QHostAddress(QStringLiteral("127.0.0.3"))));
    }
    std::vector<std::unique_ptr<Client>> flood;
    Latencies flooded;
    bool going = true;
    const auto wrong = [] {
        return BasicAuthorization("prometheus",
                                  QByteArray::number(QRandomGenerator::global()->generate64()));
    };
    for (int i = 0; i < kFloodAddresses * kFloodersPerAddress; ++i) {
        const QHostAddress from(QStringLiteral("127.0.1.%1").arg(1 + i / kFloodersPerAddress));
        flood.push_back(std::make_unique<Client>(port, tls, from));
        Client* client = flood.back().get();
        client->answered = [&, client](int status, double ms) {
            flooded.Add(status, ms);
            if (going) {
                client->Send(wrong());
            }
        };
    }
    irig::test::WaitUntil([&] {
        return std::all_of(flood.begin(), flood.end(), [](const auto& c) { return c->Ready(); });
    });
    scrapes = &during;
    for (const auto& client : flood) {
        client->Send(wrong());
    }
    std::vector<std::unique_ptr<Client>> fresh;
    Latencies freshOther;
    Latencies freshFlooding;
    int nextUser = 0;
    QTimer every500;
    QObject::connect(&every500, &QTimer::timeout, [&] {
        for (auto [from, latencies] :
             {std::pair{other, &freshOther}, std::pair{flooding, &freshFlooding}}) {
            if (nextUser >= kFreshUsers) {
                return;
            }
            auto client = std::make_unique<Client>(port, tls, from);
            Client* raw = client.get();
            const QByteArray user = "user" + QByteArray::number(nextUser++);
            raw->answered = [sink = latencies](int status, double ms) { sink->Add(status, ms); };
            raw->ready = [raw, user] { raw->Send(BasicAuthorization(user, "s3cret")); };
            fresh.push_back(std::move(client));
        }
    });
    every500.start(500);
    Run(seconds * 1000);
    going = false;
    every500.stop();
    every200.stop();
    irig::test::WaitUntil([&] {
        return std::none_of(fresh.begin(), fresh.end(), [](const auto& c) { return c->Busy(); });
    });
    const qint64 memoryAfter = monitor.ResidentKiB();

    std::vector<double> sortedBefore = before.ms;
    std::sort(sortedBefore.begin(), sortedBefore.end());
    const double anchorWorst = sortedBefore.size() > 1 ? sortedBefore.back() : 0;
    int reconnects = 0;
    for (const auto& connection : slow) {
        reconnects += connection->reconnects - 1;
    }
    std::printf(
        "irigctl monitor with TLS and users (bcrypt cost 10): %d clients from %d addresses "
        "sending wrong passwords, %d connections from another sending one byte (opened again "
        "%d times), for %d s\n",
        kFloodAddresses * kFloodersPerAddress, kFloodAddresses, kSlowConnections, reconnects,
        seconds);
    before.Print("good scrape before the flood (the anchor)", 0);
    during.Print("good scrape during it, password known", anchorWorst);
    freshOther.Print("first scrape of a user, from 127.0.0.2", anchorWorst);
    freshFlooding.Print("first scrape of a user, from the flood's 127.0.1.1", anchorWorst);
    flooded.Print("the flood's wrong passwords", 0);
    std::printf("  monitor's resident memory: %lld KiB before the flood, %lld KiB after it\n",
                static_cast<long long>(memoryBefore), static_cast<long long>(memoryAfter));
    monitor.Terminate();
    return 0;
}
