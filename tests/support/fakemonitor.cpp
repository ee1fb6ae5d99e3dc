#include "support/fakemonitor.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

namespace irig::test {

namespace {

QByteArray Json(const QJsonObject& json) {
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

QByteArray Error(const QString& text) {
    return Json({{QStringLiteral("error"), text}});
}

}  // namespace

QString FakeMonitor::Request::Key() const {
    if (path.startsWith(QLatin1String("/units/"))) {
        return path.section(QLatin1Char('/'), 2, 2);
    }
    return query.queryItemValue(QStringLiteral("port"), QUrl::FullyDecoded);
}

QString FakeMonitor::Request::Line() const {
    QUrlQuery shown = query;
    shown.removeAllQueryItems(QStringLiteral("by"));
    shown.removeAllQueryItems(QStringLiteral("seconds"));
    return QStringLiteral("%1 %2 %3")
        .arg(QString::fromLatin1(method), path, shown.toString(QUrl::FullyDecoded))
        .trimmed();
}

FakeMonitor::FakeMonitor() {
    server_.listen(QHostAddress::LocalHost);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Serve(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                buffers_.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

FakeMonitor::~FakeMonitor() = default;

QUrl FakeMonitor::Url() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()));
}

QUrl FakeMonitor::Nowhere() {
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 port = closed.serverPort();
    closed.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
}

// One request at a time from the socket's bytes: its line and headers (no body is read).
void FakeMonitor::Serve(QTcpSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    for (qsizetype end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
        Request request;
        request.method = words.value(0);
        const QUrl target(QString::fromLatin1(words.value(1)));
        request.path = target.path();
        request.query = QUrlQuery(target);
        for (const QByteArray& line : lines) {
            if (line.toLower().startsWith("authorization:")) {
                request.authorization = line.mid(14).trimmed();
            }
        }
        requests.push_back(request);
        if (seen) {
            seen(request);
        }
        std::optional<Answer> answer = script ? script(request) : std::nullopt;
        if (!answer) {
            answer = Default(request);
        }
        if (answer->silent) {
            continue;
        }
        socket->write("HTTP/1.1 " + QByteArray::number(answer->status) +
                      " X\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(answer->body.size()) + "\r\n\r\n" + answer->body);
    }
}

FakeMonitor::Answer FakeMonitor::Default(const Request& request) {
    const QString key = request.Key();
    if (!watched.isEmpty() && !watched.contains(key)) {
        return {404, Error(QStringLiteral("%1 is not watched here").arg(key))};
    }
    const QString token = request.query.queryItemValue(QStringLiteral("lease"));
    const bool held = lent.contains(key);
    if (request.method == "GET") {
        return {200, Json({{QStringLiteral("port"), key}, {QStringLiteral("leased"), held}})};
    }
    if (request.method == "DELETE") {
        if (held && !token.isEmpty() && lent.value(key) != token) {
            return {409, Error(QStringLiteral("%1 is lent to another").arg(key))};
        }
        lent.remove(key);
        return {200, Json({{QStringLiteral("unit"), key}, {QStringLiteral("returned"), held}})};
    }
    if (held && lent.value(key) != token) {
        return {409, Error(QStringLiteral("%1 is lent to 127.0.0.1 (%2) until 2026-12-08T14:03:07Z")
                               .arg(key, QStringLiteral("irigctl flash (pid 1)")))};
    }
    const QString granted = QStringLiteral("%1").arg(++tokens_, 32, 10, QLatin1Char('0'));
    lent.insert(key, held ? token : granted);
    const int seconds = request.query.queryItemValue(QStringLiteral("seconds")).toInt();
    return {200, Json({{QStringLiteral("unit"), key},
                       {QStringLiteral("port"), key},
                       {QStringLiteral("seconds"), std::min(seconds, mostSeconds)},
                       {QStringLiteral("until"), QStringLiteral("2026-12-08T14:03:07Z")},
                       {QStringLiteral("lease"), lent.value(key)}})};
}

}  // namespace irig::test
