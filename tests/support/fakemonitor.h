// The lending half of irigctl monitor as a test scripts it, on 127.0.0.1: by default it watches
// every port and unit (or those of `watched`) and lends each to one borrower at a time, as the
// lease protocol says; `script` answers a request otherwise (a status, a body, silence). A test
// that wants the real monitor instead needs only its URL.
#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>
#include <functional>
#include <optional>
#include <vector>

namespace irig::test {

class FakeMonitor final : public QObject {
    Q_OBJECT

public:
    struct Request {
        QByteArray method;
        QString path;  // "/lease", "/units/sub-a-1/lease"
        QUrlQuery query;
        QByteArray authorization;
        QString Key() const;   // the port or unit asked for
        QString Line() const;  // "POST /lease port=COM1" without by, for comparing
    };
    struct Answer {
        int status = 200;
        QByteArray body;
        bool silent = false;  // never answers
    };

    FakeMonitor();
    ~FakeMonitor() override;

    QUrl Url() const;
    // A URL where nothing listens: connections to it are refused.
    static QUrl Nowhere();

    // An answer instead of the default one, when it gives one.
    std::function<std::optional<Answer>(const Request&)> script;
    // Called as each request arrives, before it is answered.
    std::function<void(const Request&)> seen;
    QStringList watched;      // empty: every port and unit
    int mostSeconds = 10800;  // what is granted at most
    std::vector<Request> requests;
    QHash<QString, QString> lent;  // port or unit: its lease token

private:
    void Serve(QTcpSocket* socket);
    Answer Default(const Request& request);

    QTcpServer server_;
    QHash<QTcpSocket*, QByteArray> buffers_;
    int tokens_ = 0;
};

}  // namespace irig::test
