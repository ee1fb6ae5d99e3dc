#include "lease/leaseclient.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

namespace irig::lease {

namespace {

// An answer longer than this is no monitor's.
constexpr qint64 kMostAnswerBytes = qint64{64} * 1024;

QString WaitText(int ms) {
    return ms % 1000 == 0 ? QStringLiteral("%1 s").arg(ms / 1000) : QStringLiteral("%1 ms").arg(ms);
}

// What an answer's JSON says, printable: the monitor's "error" sentence, or a field.
QString Field(const QByteArray& body, const char* key) {
    const QJsonValue value = QJsonDocument::fromJson(body).object().value(QLatin1String(key));
    QString text = value.isString() ? value.toString() : QString();
    for (QChar& c : text) {
        if (!c.isPrint()) {
            c = QLatin1Char('?');
        }
    }
    return text;
}

// The TLS configuration that meets a monitor with `tls`'s files, or what is wrong with them.
std::variant<QSslConfiguration, QString> TlsFor(const MonitorTls& tls) {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (!tls.ca.isEmpty() && !config.addCaCertificates(tls.ca)) {
        return QStringLiteral("the CA file %1 holds no certificate (PEM)").arg(tls.ca);
    }
    if (tls.cert.isEmpty() != tls.key.isEmpty()) {
        return QStringLiteral("a client certificate needs its key: set both %1 and %2")
            .arg(QLatin1String(kCertVariable), QLatin1String(kKeyVariable));
    }
    if (tls.cert.isEmpty()) {
        return config;
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(tls.cert);
    if (certificates.isEmpty()) {
        return QStringLiteral("the client certificate %1 cannot be read (PEM)").arg(tls.cert);
    }
    QFile file(tls.key);
    const QByteArray pem =
        file.open(QIODevice::ReadOnly) ? file.read(kMostAnswerBytes) : QByteArray();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        if (key.isNull()) {
            key = QSslKey(pem, algorithm);
        }
    }
    if (key.isNull()) {
        return QStringLiteral("the client key %1 cannot be read (PEM, not encrypted)").arg(tls.key);
    }
    config.setLocalCertificateChain(certificates);
    config.setPrivateKey(key);
    return config;
}

}  // namespace

MonitorTls MonitorTls::Environment() {
    return {qEnvironmentVariable(kCaVariable), qEnvironmentVariable(kCertVariable),
            qEnvironmentVariable(kKeyVariable)};
}

MonitorTls MonitorTls::Over(const MonitorTls& under) const {
    return {ca.isEmpty() ? under.ca : ca, cert.isEmpty() ? under.cert : cert,
            key.isEmpty() ? under.key : key};
}

std::variant<QUrl, QString> ParseMonitorUrl(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty()) {
        return QStringLiteral(
                   "\"%1\" is not a monitor's URL (http://HOST:PORT or https://HOST:PORT)")
            .arg(text);
    }
    if (!url.userInfo().isEmpty()) {
        return QStringLiteral(
                   "the monitor's URL \"%1\" holds a user: put it and its password in ~/.netrc (or "
                   "the file %2 names) instead")
            .arg(url.toDisplayString(QUrl::RemoveUserInfo), QLatin1String(kNetrcVariable));
    }
    if (url.hasQuery() || url.hasFragment()) {
        return QStringLiteral("the monitor's URL \"%1\" has a query or a fragment").arg(text);
    }
    return url;
}

QString HostAndPort(const QUrl& monitor) {
    const int port = monitor.port(monitor.scheme() == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1:%2").arg(monitor.host()).arg(port);
}

LeaseClient::LeaseClient(QUrl monitor, QNetworkAccessManager* network, QObject* parent)
    : QObject(parent),
      monitor_(std::move(monitor)),
      network_(network != nullptr ? network : new QNetworkAccessManager(this)),
      credentials_(NetrcCredentialsFor) {
    renewal_.setSingleShot(true);
    connect(&renewal_, &QTimer::timeout, this, &LeaseClient::Renew);
}

LeaseClient::~LeaseClient() {
    if (inFlight_) {
        inFlight_->abort();
    }
}

void LeaseClient::Send(const QByteArray& verb, const QString& path,
                       const QList<QPair<QString, QString>>& query, int waitMs, Done done) {
    QUrl url = monitor_;
    QString base = url.path(QUrl::FullyEncoded);
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    url.setPath(base + path, QUrl::StrictMode);
    QStringList pairs;
    for (const auto& [key, value] : query) {
        pairs << key + QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value));
    }
    url.setQuery(pairs.join(QLatin1Char('&')), QUrl::StrictMode);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setRawHeader("Accept", "application/json");
    if (const std::optional<Credentials> credentials =
            credentials_ ? credentials_(monitor_.host()) : std::nullopt) {
        request.setRawHeader("Authorization", "Basic " + (credentials->login + QLatin1Char(':') +
                                                          credentials->password)
                                                             .toUtf8()
                                                             .toBase64());
    }
    if (url.scheme() == QLatin1String("https")) {
        const auto tls = TlsFor(tls_);
        if (const auto* wrong = std::get_if<QString>(&tls)) {
            QTimer::singleShot(0, this,
                               [done = std::move(done), why = *wrong] { done(0, {}, why, false); });
            return;
        }
        request.setSslConfiguration(std::get<QSslConfiguration>(tls));
    }
    QNetworkReply* reply = nullptr;
    if (verb == "POST") {
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QStringLiteral("application/x-www-form-urlencoded"));
        reply = network_->post(request, QByteArray());
    } else if (verb == "DELETE") {
        reply = network_->deleteResource(request);
    } else {
        reply = network_->get(request);
    }
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [reply] {
        reply->setProperty("late", true);
        reply->abort();
    });
    timer->start(waitMs);
    connect(reply, &QNetworkReply::encrypted, reply, [reply] { reply->setProperty("tls", true); });
    connect(reply, &QNetworkReply::sslErrors, reply,
            [reply] { reply->setProperty("untrusted", true); });
    connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > kMostAnswerBytes) {
            reply->setProperty("long", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, waitMs, done = std::move(done)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray body = reply->read(kMostAnswerBytes);
        const QString where = monitor_.toDisplayString();
        QString failure;
        bool refused = false;
        if (reply->property("late").toBool()) {
            failure = QStringLiteral("irigctl monitor at %1 did not answer within %2")
                          .arg(where, WaitText(waitMs));
        } else if (reply->property("long").toBool()) {
            failure = QStringLiteral("irigctl monitor at %1 answered more than %2 KiB")
                          .arg(where)
                          .arg(kMostAnswerBytes / 1024);
        } else if (status == 0) {
            refused = reply->error() == QNetworkReply::ConnectionRefusedError;
            failure = Unreached(*reply);
        }
        done(status, body, failure, refused);
    });
    if (verb != "GET") {
        inFlight_ = reply;
    }
}

// Why no answer came: refused, a monitor that asks for a client certificate none was given for
// (it closes the connection once the handshake is through, or ends the handshake with an alert
// where this side found nothing wrong), or what the network says.
QString LeaseClient::Unreached(const QNetworkReply& reply) const {
    const QString where = monitor_.toDisplayString();
    if (reply.error() == QNetworkReply::ConnectionRefusedError) {
        return QStringLiteral("no irigctl monitor answers at %1 (connection refused)").arg(where);
    }
    const bool closed =
        reply.property("tls").toBool() && reply.error() == QNetworkReply::RemoteHostClosedError;
    const bool failed = !reply.property("untrusted").toBool() &&
                        reply.error() == QNetworkReply::SslHandshakeFailedError &&
                        reply.errorString().contains(QLatin1String("alert"));
    if (tls_.cert.isEmpty() && (closed || failed)) {
        return QStringLiteral("irigctl monitor at %1 asks for a client certificate: set %2 and %3")
            .arg(where, QLatin1String(kCertVariable), QLatin1String(kKeyVariable));
    }
    return QStringLiteral("cannot reach irigctl monitor at %1: %2").arg(where, reply.errorString());
}

QString LeaseClient::Failure(int status, const QByteArray& body, const QString& failure) const {
    if (!failure.isEmpty()) {
        return failure;
    }
    if (status == 401) {
        return QStringLiteral(
                   "irigctl monitor at %1 lends to its users only: put credentials for %2 in "
                   "~/.netrc or in the file %3 names")
            .arg(monitor_.toDisplayString(), monitor_.host(), QLatin1String(kNetrcVariable));
    }
    if (QString said = Field(body, "error"); !said.isEmpty()) {
        return said;
    }
    return QStringLiteral("irigctl monitor at %1 answered HTTP %2")
        .arg(monitor_.toDisplayString())
        .arg(status);
}

QList<QPair<QString, QString>> LeaseClient::TargetQuery() const {
    return {{QStringLiteral("port"), target_.port}};
}

void LeaseClient::Take(const Target& target, int seconds, const QString& by) {
    target_ = target;
    asked_ = seconds;
    by_ = by;
    taking_ = true;
    auto query = TargetQuery();
    query.append(
        {{QStringLiteral("seconds"), QString::number(seconds)}, {QStringLiteral("by"), by}});
    Send("POST", QStringLiteral("/lease"), query, waits_.takeMs,
         [this](int status, const QByteArray& body, const QString& failure, bool) {
             TakeAnswered(status, body, failure);
         });
}

void LeaseClient::TakeAnswered(int status, const QByteArray& body, const QString& failure) {
    taking_ = false;
    const QString token = Field(body, "lease");
    if (status != 200 || token.isEmpty()) {
        const QString why = status == 200 ? QStringLiteral("irigctl monitor at %1 lent no lease")
                                                .arg(monitor_.toDisplayString())
                                          : Failure(status, body, failure);
        if (returnAfterTake_) {
            Finish({});
        } else {
            emit Refused(why);
        }
        return;
    }
    token_ = token;
    const int granted =
        QJsonDocument::fromJson(body).object().value(QLatin1String("seconds")).toInt();
    ScheduleRenewal(granted > 0 ? granted : asked_);
    if (returnAfterTake_) {
        SendReturn();
        return;
    }
    emit Taken();
}

void LeaseClient::ScheduleRenewal(int seconds) {
    granted_ = seconds;
    sinceGrant_.start();
    // Renewed with a third of the time left: a borrower that died leaves at most `seconds`.
    renewal_.start(std::chrono::milliseconds(qint64{seconds} * 2000 / 3));
}

void LeaseClient::Renew() {
    if (!Held() || returning_) {
        return;
    }
    auto query = TargetQuery();
    query.append({{QStringLiteral("seconds"), QString::number(asked_)},
                  {QStringLiteral("by"), by_},
                  {QStringLiteral("lease"), token_}});
    Send("POST", QStringLiteral("/lease"), query, waits_.takeMs,
         [this](int status, const QByteArray& body, const QString& failure, bool) {
             Renewed(status, body, failure);
         });
}

void LeaseClient::Renewed(int status, const QByteArray& body, const QString& failure) {
    if (returning_ || !Held()) {
        return;
    }
    if (status == 200) {
        const QJsonObject answer = QJsonDocument::fromJson(body).object();
        if (const QString token = Field(body, "lease"); !token.isEmpty()) {
            token_ = token;
        }
        const int granted = answer.value(QLatin1String("seconds")).toInt();
        ScheduleRenewal(granted > 0 ? granted : asked_);
        return;
    }
    // No answer: tried again while the lease lasts; a refusal ends it.
    const qint64 leftMs = qint64{granted_} * 1000 - sinceGrant_.elapsed();
    if (status == 0 && leftMs > 2000) {
        renewal_.start(std::chrono::milliseconds(leftMs / 2));
        return;
    }
    token_.clear();
    emit Lost(Ended(status, body, failure));
}

// The monitor's "ended", "by" and "at" where it says how the lease ended; its time as this
// computer's clock shows it.
LostLease LeaseClient::Ended(int status, const QByteArray& body, const QString& failure) const {
    const QString ended = Field(body, "ended");
    const QString at = QDateTime::fromString(Field(body, "at"), Qt::ISODate)
                           .toLocalTime()
                           .toString(QStringLiteral("HH:mm:ss"));
    if (status == 409 && ended == QLatin1String("taken back")) {
        return {LostLease::kTakenBack, QStringLiteral("%1's lease was taken back by %2 at %3: "
                                                      "stopping")
                                           .arg(target_.port, Field(body, "by"), at)};
    }
    if (status == 409 && ended == QLatin1String("expired")) {
        return {LostLease::kExpired,
                QStringLiteral("%1's lease expired at %2: stopping").arg(target_.port, at)};
    }
    QString why = Failure(status, body, failure);
    why.remove(QRegularExpression(QStringLiteral("^your lease ended: ")));
    return {LostLease::kRefused,
            QStringLiteral("%1's lease ended: %2: stopping").arg(target_.port, why)};
}

void LeaseClient::Return() {
    if (returning_) {
        return;
    }
    returning_ = true;
    renewal_.stop();
    if (taking_) {
        returnAfterTake_ = true;  // the monitor may be lending it now: given back once it has
        return;
    }
    if (inFlight_) {
        inFlight_->abort();
    }
    if (!Held()) {
        QTimer::singleShot(0, this, [this] { Finish({}); });
        return;
    }
    SendReturn();
}

void LeaseClient::SendReturn() {
    auto query = TargetQuery();
    query.append({QStringLiteral("lease"), token_});
    Send("DELETE", QStringLiteral("/lease"), query, waits_.returnMs,
         [this](int status, const QByteArray& body, const QString& failure, bool) {
             token_.clear();
             Finish(status == 200 ? QString() : Failure(status, body, failure));
         });
}

void LeaseClient::Finish(const QString& problem) {
    emit Returned(problem);
}

void LeaseClient::Ask(const QString& port) {
    Send("GET", QStringLiteral("/lease"), {{QStringLiteral("port"), port}}, waits_.askMs,
         [this](int status, const QByteArray& body, const QString& failure, bool refused) {
             Watch watch;
             if (status == 200) {
                 watch.state = Watch::kWatched;
                 const QJsonObject json = QJsonDocument::fromJson(body).object();
                 watch.leased = json.value(QLatin1String("leased")).toBool();
                 watch.holder = Field(body, "holder");
             } else if (status == 404) {
                 watch.state = Watch::kNotWatched;
             } else {
                 watch.state = refused ? Watch::kNoMonitor : Watch::kUnknown;
                 watch.why = Failure(status, body, failure);
             }
             emit Answered(watch);
         });
}

}  // namespace irig::lease
