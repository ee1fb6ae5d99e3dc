// The exporter's door: a TCP server that hands Qt HTTP Server only what it can afford. It caps the
// connections at once (closing the longest idle one for a newcomer), closes a connection that has
// not completed a request within its idle time, refuses a header or body over its bound (431, 413)
// and closes after a response where HTTP says to (Connection: close, HTTP/1.0). With TLS, a
// connection goes to the HTTP server once its handshake is done; until then it counts against the
// cap and the idle time as any other. What a request means is the HTTP server's.
#pragma once

#include <QDeadlineTimer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <memory>
#include <optional>
#include <vector>

class QTcpSocket;

namespace irig::monitor {

struct HttpLimits {
    int maxConnections = 256;
    qsizetype maxHeaderBytes = qsizetype{8} * 1024;
    qsizetype maxBodyBytes = qsizetype{64} * 1024;
    int idleMs = 30'000;  // from the connection or its last response to a complete request
};

class GuardedTcpServer final : public QTcpServer {
    Q_OBJECT

public:
    explicit GuardedTcpServer(HttpLimits limits, QObject* parent = nullptr);
    ~GuardedTcpServer() override;

    int Connections() const { return static_cast<int>(connections_.size()); }
    // TLS for the connections from now on; unset: plain HTTP.
    void SetTls(const std::optional<QSslConfiguration>& tls) { tls_ = tls; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection;

    Connection* Find(const QTcpSocket* socket);
    void Read(Connection& connection);
    void Written(Connection& connection);
    void Refuse(Connection& connection, const QByteArray& status);
    bool CloseLongestIdle();
    void Sweep();

    HttpLimits limits_;
    std::optional<QSslConfiguration> tls_;
    std::vector<std::unique_ptr<Connection>> connections_;
    QTimer sweep_;
};

}  // namespace irig::monitor
