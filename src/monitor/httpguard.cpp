#include "monitor/httpguard.h"

#include "status/clockcheck.h"

#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <algorithm>
#include <limits>

namespace irig::monitor {

struct GuardedTcpServer::Connection {
    QPointer<QTcpSocket> socket;
    QByteArray head;          // the request's header as far as it came
    bool headDone = false;    // the blank line that ends it has come
    qsizetype bytes = 0;      // of the request, header and body
    bool closeAfter = false;  // the request asks for the connection to end with the response
    bool closing = false;     // refused, timed out or answered for the last time
    QDeadlineTimer deadline;
    qint64 idleSince = 0;  // when its last response went out (or it came); -1 in a request
};

namespace {

// The HTTP server deletes a socket once it is disconnected; one it never took is deleted here.
void Close(QTcpSocket& socket) {
    socket.abort();
    socket.deleteLater();
}

// Whether the response to a request with this header ends the connection, and the body length it
// announces (-1 when it announces none).
struct HeadFacts {
    bool close = false;
    qint64 contentLength = -1;
};

HeadFacts ReadHead(const QByteArray& head) {
    HeadFacts facts;
    const QList<QByteArray> lines = head.toLower().split('\n');
    const QByteArray requestLine = lines.value(0).trimmed();
    const bool http10 = requestLine.endsWith("http/1.0");
    bool keepAlive = false;
    for (const QByteArray& line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0) {
            continue;
        }
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "connection") {
            for (const QByteArray& token : value.split(',')) {
                facts.close = facts.close || token.trimmed() == "close";
                keepAlive = keepAlive || token.trimmed() == "keep-alive";
            }
        } else if (name == "content-length") {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            facts.contentLength = ok ? length : std::numeric_limits<qint64>::max();
        }
    }
    facts.close = facts.close || (http10 && !keepAlive);
    return facts;
}

}  // namespace

GuardedTcpServer::GuardedTcpServer(HttpLimits limits, QObject* parent)
    : QTcpServer(parent), limits_(limits) {
    sweep_.setInterval(std::clamp(limits_.idleMs / 4, 10, 1000));
    connect(&sweep_, &QTimer::timeout, this, &GuardedTcpServer::Sweep);
    sweep_.start();
}

GuardedTcpServer::~GuardedTcpServer() {
    for (const std::unique_ptr<Connection>& connection : connections_) {
        if (connection->socket) {
            connection->socket->disconnect(this);
        }
    }
}

void GuardedTcpServer::incomingConnection(qintptr descriptor) {
    QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (Connections() >= limits_.maxConnections && !CloseLongestIdle()) {
        Close(*socket);
        return;
    }
    // Room for the largest request allowed and a byte more, which tells that it is too large.
    socket->setReadBufferSize(limits_.maxHeaderBytes + limits_.maxBodyBytes + 1);
    auto connection = std::make_unique<Connection>();
    connection->socket = socket;
    connection->deadline = QDeadlineTimer(limits_.idleMs);
    connection->idleSince = status::SteadyMs();
    connections_.push_back(std::move(connection));
    // Before the HTTP server's own handlers, which it connects when it takes the socket.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (Connection* found = Find(socket)) {
            Read(*found);
        }
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        if (Connection* found = Find(socket)) {
            Written(*found);
        }
    });
    connect(socket, &QObject::destroyed, this, [this, socket] {
        std::erase_if(connections_, [socket](const std::unique_ptr<Connection>& connection) {
            return connection->socket.isNull() || connection->socket == socket;
        });
    });
    auto* secure = qobject_cast<QSslSocket*>(socket);
    if (secure == nullptr) {
        addPendingConnection(socket);
        return;
    }
    secure->setSslConfiguration(*tls_);
    connect(secure, &QSslSocket::encrypted, this, [this, secure] { addPendingConnection(secure); });
    // Plain HTTP, a client certificate refused, a client gone: the HTTP server never sees it.
    connect(secure, &QAbstractSocket::errorOccurred, this, [secure] {
        if (!secure->isEncrypted()) {
            Close(*secure);
        }
    });
    secure->startServerEncryption();
}

GuardedTcpServer::Connection* GuardedTcpServer::Find(const QTcpSocket* socket) {
    const auto found = std::find_if(connections_.begin(), connections_.end(),
                                    [socket](const std::unique_ptr<Connection>& connection) {
                                        return connection->socket == socket;
                                    });
    return found == connections_.end() ? nullptr : found->get();
}

// Runs before the HTTP server reads: what has come since is still in the socket's buffer.
void GuardedTcpServer::Read(Connection& connection) {
    if (connection.closing) {
        return;
    }
    QTcpSocket& socket = *connection.socket;
    const qint64 fresh = socket.bytesAvailable();
    connection.bytes += fresh;
    connection.idleSince = -1;
    if (!connection.headDone) {
        connection.head += socket.peek(
            std::min<qint64>(fresh, limits_.maxHeaderBytes + 4 - connection.head.size()));
        const qsizetype end = connection.head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (connection.head.size() > limits_.maxHeaderBytes) {
                Refuse(connection, "431 Request Header Fields Too Large");
            }
            return;
        }
        connection.headDone = true;
        const HeadFacts facts = ReadHead(connection.head.left(end));
        connection.closeAfter = facts.close;
        if (facts.contentLength > limits_.maxBodyBytes) {
            Refuse(connection, "413 Payload Too Large");
            return;
        }
    }
    if (connection.bytes > limits_.maxHeaderBytes + limits_.maxBodyBytes) {
        Refuse(connection, "413 Payload Too Large");
    }
}

// A response has gone out whole: the connection ends, or waits for its next request.
void GuardedTcpServer::Written(Connection& connection) {
    QTcpSocket& socket = *connection.socket;
    if (connection.closing || socket.bytesToWrite() > 0) {
        return;
    }
    if (connection.closeAfter) {
        connection.closing = true;
        socket.disconnectFromHost();
        return;
    }
    connection.head.clear();
    connection.headDone = false;
    connection.bytes = 0;
    connection.deadline = QDeadlineTimer(limits_.idleMs);
    connection.idleSince = status::SteadyMs();
}

// The request goes no further: the HTTP server never sees the rest of it.
void GuardedTcpServer::Refuse(Connection& connection, const QByteArray& status) {
    connection.closing = true;
    QTcpSocket& socket = *connection.socket;
    QObject::disconnect(&socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const QByteArray body = "irigctl monitor: " + status.mid(4).toLower() + '\n';
    socket.write("HTTP/1.1 " + status +
                 "\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
    socket.disconnectFromHost();
}

bool GuardedTcpServer::CloseLongestIdle() {
    const auto idle = [](const std::unique_ptr<Connection>& connection) {
        return connection->socket && !connection->closing && connection->idleSince >= 0;
    };
    const auto longest = std::min_element(
        connections_.begin(), connections_.end(),
        [&idle](const std::unique_ptr<Connection>& a, const std::unique_ptr<Connection>& b) {
            return idle(a) != idle(b) ? idle(a) : a->idleSince < b->idleSince;
        });
    if (longest == connections_.end() || !idle(*longest)) {
        return false;
    }
    (*longest)->closing = true;
    Close(*(*longest)->socket);
    return true;
}

void GuardedTcpServer::Sweep() {
    for (const std::unique_ptr<Connection>& connection : connections_) {
        // Also one still closing: a client that never reads what it was told is not waited for.
        if (connection->socket && connection->deadline.hasExpired()) {
            connection->closing = true;
            connection->deadline = QDeadlineTimer(QDeadlineTimer::Forever);
            Close(*connection->socket);
        }
    }
}

}  // namespace irig::monitor
