#include "support/fakemonitor.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

namespace irig::test {

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
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

// Each request once its head is whole: its line and headers (no body is sent to it).
void FakeMonitor::Serve(QTcpSocket* socket) {
    for (qsizetype end; (end = socket->peek(65536).indexOf("\r\n\r\n")) >= 0;) {
        const QList<QByteArray> lines = socket->read(end + 4).split('\n');
        const QList<QByteArray> words = lines[0].split(' ');
        const QUrl target(QString::fromLatin1(words.value(1)));
        Request request{words[0], target.path(), QUrlQuery(target), {}};
        for (const QByteArray& line : lines) {
            if (line.toLower().startsWith("authorization:")) {
                request.authorization = line.mid(14).trimmed();
            }
        }
        requests.push_back(request);
        if (seen) {
            seen(request);
        }
        const std::optional<Answer> scripted = script ? script(request) : std::nullopt;
        const Answer answer = scripted ? *scripted : Default(request);
        if (!answer.silent) {
            socket->write("HTTP/1.1 " + QByteArray::number(answer.status) +
                          " X\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
                          "\r\n\r\n" + answer.body);
        }
    }
}

FakeMonitor::Answer FakeMonitor::Default(const Request& request) {
    const QString key =
        request.path.startsWith(QLatin1String("/units/"))
            ? request.path.section(QLatin1Char('/'), 2, 2)
            : request.query.queryItemValue(QStringLiteral("port"), QUrl::FullyDecoded);
    const QString token = request.query.queryItemValue(QStringLiteral("lease"));
    const bool held = lent.contains(key);
    QJsonObject json{{QStringLiteral("unit"), key}};
    if (!watched.isEmpty() && !watched.contains(key)) {
        json.insert(QStringLiteral("error"), key + QStringLiteral(" is not watched here"));
        return {404, QJsonDocument(json).toJson()};
    }
    if (held && lent.value(key) != token &&
        (request.method == "POST" || (request.method == "DELETE" && !token.isEmpty()))) {
        json.insert(QStringLiteral("error"), key + QStringLiteral(" is lent to 127.0.0.1 (irigctl "
                                                                  "flash (pid 1)) until "
                                                                  "2026-12-08T14:03:07Z"));
        return {409, QJsonDocument(json).toJson()};
    }
    if (request.method == "GET") {
        json.insert(QStringLiteral("leased"), held);
    } else if (request.method == "DELETE") {
        json.insert(QStringLiteral("returned"), lent.remove(key) > 0);
    } else {
        lent.insert(key,
                    held ? token : QStringLiteral("%1").arg(requests.size(), 32, 10, QChar('0')));
        json.insert(QStringLiteral("seconds"), request.query.queryItemValue("seconds").toInt());
        json.insert(QStringLiteral("lease"), lent.value(key));
    }
    return {200, QJsonDocument(json).toJson()};
}

}  // namespace irig::test
