// The lending half of irigctl monitor as a test scripts it, on 127.0.0.1: by default it watches
// every port and unit (or those of `watched`) and lends each to one borrower at a time as the lease
// protocol says; `script` answers otherwise (a status and a body, or silence). A test that wants
// the real monitor instead needs only its URL.
#pragma once

#include <QHash>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>
#include <functional>
#include <optional>
#include <vector>

namespace irig::test {

// Where nothing listens: a connection is refused.
inline const QUrl kNowhere(QStringLiteral("http://127.0.0.1:1"));

class FakeMonitor final : public QObject {
public:
    struct Request {
        QByteArray method;
        QString path;  // "/lease", "/units/sub-a-1/lease"
        QUrlQuery query;
        QByteArray authorization;
        QString Line() const;  // "POST /lease port=/dev/ttyS0", without by and seconds
    };
    struct Answer {
        int status = 200;
        QByteArray body;
        bool silent = false;
    };

    FakeMonitor();
    QUrl Url() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()));
    }

    std::function<std::optional<Answer>(const Request&)> script;  // instead of the default
    std::function<void(const Request&)> seen;                     // as each request arrives
    QStringList watched;                                          // empty: every port and unit
    std::vector<Request> requests;
    QHash<QString, QString> lent;  // port or unit: its lease

private:
    void Serve(QTcpSocket* socket);
    Answer Default(const Request& request);

    QTcpServer server_;
};

}  // namespace irig::test
