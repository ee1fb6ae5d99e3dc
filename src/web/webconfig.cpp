#include "web/webconfig.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <yaml-cpp/yaml.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <functional>
#include <memory>

namespace irig::web {

namespace {

constexpr qint64 kMostBytes = qint64{1024} * 1024;
// bcrypt's cost doubles the work at each step: 17 (htpasswd's highest) takes seconds a check.
constexpr int kHighestCost = 17;

struct Fault {
    YAML::Mark mark;
    QString what;
};

// The place of a value, or of its key when the value is empty and so has none.
YAML::Mark Where(const YAML::Node& value, const YAML::Node& key) {
    return value.Mark().is_null() ? key.Mark() : value.Mark();
}

QString Scalar(const YAML::Node& value, const YAML::Node& key, const QString& what) {
    if (!value.IsScalar()) {
        throw Fault{
            Where(value, key),
            QStringLiteral("%1 must be %2").arg(QString::fromStdString(key.Scalar()), what)};
    }
    return QString::fromStdString(value.Scalar());
}

// Calls `read` with each key of the map `node` (named `where`) and its value: each key once, and
// one of `known`. A key of the exporter toolkit's that is not served here is refused as such.
void ForEachKey(
    const YAML::Node& node, const QString& where, const QStringList& known,
    const QStringList& unsupported,
    const std::function<void(const QString&, const YAML::Node&, const YAML::Node&)>& read) {
    if (!node.IsMap()) {
        throw Fault{
            node.Mark(),
            QStringLiteral("%1 must be a map (%2)").arg(where, known.join(QStringLiteral(", ")))};
    }
    QSet<QString> seen;
    for (const auto& entry : node) {
        const QString key = QString::fromStdString(entry.first.Scalar());
        if (unsupported.contains(key)) {
            throw Fault{entry.first.Mark(),
                        QStringLiteral("%1 is the exporter toolkit's, but irigctl monitor does "
                                       "not support it")
                            .arg(key)};
        }
        if (!entry.first.IsScalar() || !known.contains(key)) {
            throw Fault{entry.first.Mark(), QStringLiteral("unknown key \"%1\" in %2 (%3)")
                                                .arg(key, where, known.join(QStringLiteral(", ")))};
        }
        if (seen.contains(key)) {
            throw Fault{entry.first.Mark(), QStringLiteral("%1 is given twice").arg(key)};
        }
        seen.insert(key);
        read(key, entry.first, entry.second);
    }
}

// The bytes of a file the configuration names, relative to its folder.
QByteArray ReadNamed(const QDir& folder, const QString& key, const QString& name,
                     const YAML::Mark& mark) {
    const QString path = folder.filePath(name);
    const QFileInfo info(path);
    const auto fault = [&](const QString& why) {
        return Fault{mark, QStringLiteral("%1 %2: %3").arg(key, path, why)};
    };
    if (!info.isFile()) {
        throw fault(info.exists() ? QStringLiteral("not a regular file")
                                  : QStringLiteral("no such file"));
    }
    if (info.size() > kMostBytes) {
        throw fault(QStringLiteral("larger than 1 MiB"));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw fault(file.errorString());
    }
    return file.read(kMostBytes);
}

gnutls_datum_t Datum(const QByteArray& bytes) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.constData())),
            static_cast<unsigned int>(bytes.size())};
}

// The key identifier of each certificate in `pem`, in order; none when one does not load.
QList<QByteArray> CertificateKeys(const QByteArray& pem) {
    gnutls_x509_crt_t* certificates = nullptr;
    unsigned int count = 0;
    const gnutls_datum_t data = Datum(pem);
    if (gnutls_x509_crt_list_import2(&certificates, &count, &data, GNUTLS_X509_FMT_PEM, 0) < 0) {
        return {};
    }
    QList<QByteArray> keys;
    for (unsigned int i = 0; i < count; ++i) {
        QByteArray id(64, '\0');
        size_t size = static_cast<size_t>(id.size());
        if (gnutls_x509_crt_get_key_id(certificates[i], 0,
                                       reinterpret_cast<unsigned char*>(id.data()), &size) == 0) {
            keys.append(id.left(static_cast<qsizetype>(size)));
        }
        gnutls_x509_crt_deinit(certificates[i]);
    }
    gnutls_free(certificates);
    return keys.size() == static_cast<qsizetype>(count) ? keys : QList<QByteArray>();
}

// The key identifier of the unencrypted private key in `pem` (RSA, EC, DSA, Ed25519), or empty.
QByteArray PrivateKeyId(const QByteArray& pem) {
    gnutls_x509_privkey_t key = nullptr;
    if (gnutls_x509_privkey_init(&key) < 0) {
        return {};
    }
    const gnutls_datum_t data = Datum(pem);
    QByteArray id(64, '\0');
    size_t size = static_cast<size_t>(id.size());
    const bool loaded = gnutls_x509_privkey_import2(key, &data, GNUTLS_X509_FMT_PEM, nullptr,
                                                    GNUTLS_PKCS_PLAIN) == 0 &&
                        gnutls_x509_privkey_get_key_id(
                            key, 0, reinterpret_cast<unsigned char*>(id.data()), &size) == 0;
    gnutls_x509_privkey_deinit(key);
    return loaded ? id.left(static_cast<qsizetype>(size)) : QByteArray();
}

// The exporter toolkit's (Go's) names of the TLS 1.2 suites served, as GnuTLS names their key
// exchange and cipher.
struct CipherSuite {
    const char* name;
    // cppcheck-suppress unusedStructMember ; read in ReadCipherSuites
    const char* exchange;
    // cppcheck-suppress unusedStructMember ; read in ReadCipherSuites
    const char* cipher;
};
constexpr CipherSuite kCipherSuites[] = {
    {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA", "AES-128-GCM"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA", "AES-256-GCM"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA", "CHACHA20-POLY1305"},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA", "AES-128-GCM"},
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA", "AES-256-GCM"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA", "CHACHA20-POLY1305"},
};

int TlsVersion(const QString& text, const YAML::Mark& mark, const QString& key) {
    if (text == QLatin1String("TLS12") || text == QLatin1String("TLS13")) {
        return text.right(2).toInt();
    }
    throw Fault{mark,
                text == QLatin1String("TLS10") || text == QLatin1String("TLS11")
                    ? QStringLiteral("%1 %2 is refused as unsafe: TLS12 or TLS13").arg(key, text)
                    : QStringLiteral("%1 must be TLS12 or TLS13").arg(key)};
}

// What tls_server_config names, before any file is read.
struct TlsSettings {
    struct Named {
        QString name;
        YAML::Mark mark;
    };
    Named certificateFile;
    Named keyFile;
    Named caFile;
    Named clientAuth;
    int lowest = 12;
    int highest = 13;
    YAML::Mark lowestMark;
    QStringList exchanges;  // of cipher_suites, as GnuTLS names them; empty: GnuTLS's own
    QStringList ciphers;
    YAML::Mark suitesMark;

    bool Verify() const { return clientAuth.name == QLatin1String("RequireAndVerifyClientCert"); }
};

void ReadCipherSuites(const YAML::Node& value, const YAML::Node& key, TlsSettings& tls) {
    if (!value.IsSequence() || value.size() == 0) {
        throw Fault{Where(value, key), QStringLiteral("cipher_suites must be a list of suites")};
    }
    tls.suitesMark = Where(value, key);
    for (const auto& item : value) {
        const QString name = Scalar(item, key, QStringLiteral("a list of suites"));
        const auto known =
            std::find_if(std::begin(kCipherSuites), std::end(kCipherSuites),
                         [&](const CipherSuite& suite) { return name == suite.name; });
        if (known == std::end(kCipherSuites)) {
            QStringList names;
            for (const CipherSuite& suite : kCipherSuites) {
                names.append(QLatin1String(suite.name));
            }
            throw Fault{item.Mark(), QStringLiteral("cipher suite %1 is not served: %2")
                                         .arg(name, names.join(QStringLiteral(", ")))};
        }
        for (const auto& [list, added] :
             {std::pair{&tls.exchanges, known->exchange}, std::pair{&tls.ciphers, known->cipher}}) {
            if (!list->contains(QLatin1String(added))) {
                list->append(QLatin1String(added));
            }
        }
    }
}

// The versions and suites as a GnuTLS priority string; a suite list applies to TLS 1.2, as the
// toolkit's does, TLS 1.3 keeping its own.
QByteArray Priorities(const TlsSettings& tls) {
    QByteArray priorities = "NORMAL:-VERS-ALL";
    for (int version = tls.lowest; version <= tls.highest; ++version) {
        priorities += ":+VERS-TLS1." + QByteArray::number(version - 10);
    }
    if (!tls.ciphers.isEmpty()) {
        priorities += ":-CIPHER-ALL:-KX-ALL";
        for (const QString& name : tls.ciphers + tls.exchanges) {
            priorities += ":+" + name.toLatin1();
        }
        if (tls.highest == 13) {
            priorities += ":+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305";
        }
    }
    gnutls_priority_t checked = nullptr;
    if (gnutls_priority_init(&checked, priorities.constData(), nullptr) < 0) {
        throw Fault{tls.suitesMark, QStringLiteral("GnuTLS takes no such priorities: %1")
                                        .arg(QString::fromLatin1(priorities))};
    }
    gnutls_priority_deinit(checked);
    return priorities;
}

TlsSettings ReadTlsSettings(const YAML::Node& node) {
    using Named = TlsSettings::Named;
    TlsSettings tls;
    tls.clientAuth = {QStringLiteral("NoClientCert"), node.Mark()};
    ForEachKey(
        node, QStringLiteral("tls_server_config"),
        {QStringLiteral("cert_file"), QStringLiteral("key_file"),
         QStringLiteral("client_auth_type"), QStringLiteral("client_ca_file"),
         QStringLiteral("min_version"), QStringLiteral("max_version"),
         QStringLiteral("cipher_suites")},
        {QStringLiteral("cert"), QStringLiteral("key"), QStringLiteral("client_ca"),
         QStringLiteral("client_allowed_sans"), QStringLiteral("prefer_server_cipher_suites"),
         QStringLiteral("curve_preferences")},
        [&tls](const QString& key, const YAML::Node& name, const YAML::Node& value) {
            if (key == QLatin1String("cipher_suites")) {
                ReadCipherSuites(value, name, tls);
                return;
            }
            const Named read{Scalar(value, name, QStringLiteral("a string")), Where(value, name)};
            if (key == QLatin1String("min_version")) {
                tls.lowest = TlsVersion(read.name, read.mark, key);
                tls.lowestMark = read.mark;
            } else if (key == QLatin1String("max_version")) {
                tls.highest = TlsVersion(read.name, read.mark, key);
            } else if (key == QLatin1String("client_auth_type")) {
                tls.clientAuth = read;
            } else {
                if (read.name.isEmpty()) {
                    throw Fault{read.mark, QStringLiteral("%1 must name a file").arg(key)};
                }
                (key == QLatin1String("cert_file")  ? tls.certificateFile
                 : key == QLatin1String("key_file") ? tls.keyFile
                                                    : tls.caFile) = read;
            }
        });
    for (const auto& [named, key] :
         {std::pair{&tls.certificateFile, "cert_file"}, std::pair{&tls.keyFile, "key_file"}}) {
        if (named->name.isEmpty()) {
            throw Fault{node.Mark(), QStringLiteral("tls_server_config needs %1").arg(key)};
        }
    }
    return tls;
}

// The client authentication and the versions, each as the toolkit means it and this serves it.
void CheckTlsSettings(const TlsSettings& tls) {
    const TlsSettings::Named& clientAuth = tls.clientAuth;
    if (!tls.Verify() && clientAuth.name != QLatin1String("NoClientCert")) {
        const bool toolkits =
            QStringList{"RequestClientCert", "RequireAnyClientCert", "VerifyClientCertIfGiven"}
                .contains(clientAuth.name);
        throw Fault{clientAuth.mark,
                    QStringLiteral("client_auth_type %1%2: NoClientCert or "
                                   "RequireAndVerifyClientCert")
                        .arg(clientAuth.name, toolkits ? QStringLiteral(" verifies no certificate")
                                                       : QStringLiteral(" is unknown"))};
    }
    if (tls.Verify() && tls.caFile.name.isEmpty()) {
        throw Fault{clientAuth.mark, QStringLiteral("RequireAndVerifyClientCert needs "
                                                    "client_ca_file")};
    }
    if (!tls.Verify() && !tls.caFile.name.isEmpty()) {
        throw Fault{tls.caFile.mark, QStringLiteral("client_ca_file needs client_auth_type: "
                                                    "RequireAndVerifyClientCert")};
    }
    if (tls.lowest > tls.highest) {
        throw Fault{tls.lowestMark, QStringLiteral("min_version is above max_version")};
    }
}

// The files the settings name, each loaded and checked, as the server's TLS configuration.
TlsConfig LoadTls(const TlsSettings& settings, const QDir& folder) {
    const TlsSettings::Named& certificateFile = settings.certificateFile;
    const TlsSettings::Named& keyFile = settings.keyFile;
    const TlsSettings::Named& caFile = settings.caFile;
    TlsConfig tls;
    tls.certificatePem =
        ReadNamed(folder, QStringLiteral("cert_file"), certificateFile.name, certificateFile.mark);
    const QList<QByteArray> chain = CertificateKeys(tls.certificatePem);
    if (chain.isEmpty()) {
        throw Fault{certificateFile.mark,
                    QStringLiteral("cert_file %1 holds no PEM certificate that loads")
                        .arg(certificateFile.name)};
    }
    tls.keyPem = ReadNamed(folder, QStringLiteral("key_file"), keyFile.name, keyFile.mark);
    const QByteArray key = PrivateKeyId(tls.keyPem);
    if (key.isEmpty()) {
        throw Fault{keyFile.mark, QStringLiteral("key_file %1 holds no private key that loads (an "
                                                 "RSA, EC or DSA key in PEM, unencrypted)")
                                      .arg(keyFile.name)};
    }
    if (key != chain.first()) {
        throw Fault{keyFile.mark, QStringLiteral("key_file %1 is not the key of cert_file %2")
                                      .arg(keyFile.name, certificateFile.name)};
    }
    if (settings.Verify()) {
        tls.clientCaPem =
            ReadNamed(folder, QStringLiteral("client_ca_file"), caFile.name, caFile.mark);
        if (CertificateKeys(tls.clientCaPem).isEmpty()) {
            throw Fault{caFile.mark, QStringLiteral("client_ca_file %1 holds no PEM certificate "
                                                    "that loads")
                                         .arg(caFile.name)};
        }
    }
    tls.priorities = Priorities(settings);
    return tls;
}

TlsConfig ReadTls(const YAML::Node& node, const QDir& folder) {
    const TlsSettings settings = ReadTlsSettings(node);
    CheckTlsSettings(settings);
    return LoadTls(settings, folder);
}

std::map<QByteArray, QByteArray> ReadUsers(const YAML::Node& node) {
    static const QRegularExpression bcrypt(
        QStringLiteral("^\\$2[aby]\\$([0-9]{2})\\$[./A-Za-z0-9]{53}$"));
    std::map<QByteArray, QByteArray> users;
    if (node.IsNull()) {
        return users;
    }
    if (!node.IsMap()) {
        throw Fault{node.Mark(), QStringLiteral("basic_auth_users must be a map of user names to "
                                                "bcrypt hashes")};
    }
    for (const auto& entry : node) {
        const QString name = Scalar(entry.first, entry.first, QStringLiteral("a user name"));
        if (name.isEmpty() || name.contains(QLatin1Char(':'))) {
            throw Fault{entry.first.Mark(),
                        QStringLiteral("a user name must be given and hold no colon")};
        }
        if (users.count(name.toUtf8()) > 0) {
            throw Fault{entry.first.Mark(), QStringLiteral("the user %1 is given twice").arg(name)};
        }
        const QString hash = Scalar(entry.second, entry.first, QStringLiteral("a bcrypt hash"));
        const QRegularExpressionMatch match = bcrypt.match(hash);
        if (!match.hasMatch()) {
            const QString pasted = name + QLatin1Char(':');
            throw Fault{Where(entry.second, entry.first),
                        hash.startsWith(pasted)
                            ? QStringLiteral("the password of %1 is not a bcrypt hash: it begins "
                                             "with \"%2\", as htpasswd's line does; give only "
                                             "what follows")
                                  .arg(name, pasted)
                            : QStringLiteral("the password of %1 is not a bcrypt hash ($2a$, $2b$ "
                                             "or $2y$, as irigctl hash-password prints one)")
                                  .arg(name)};
        }
        const int cost = match.captured(1).toInt();
        if (cost < 4 || cost > kHighestCost) {
            throw Fault{Where(entry.second, entry.first),
                        QStringLiteral("the hash of %1 has the cost %2: 4 to %3")
                            .arg(name)
                            .arg(cost)
                            .arg(kHighestCost)};
        }
        users.emplace(name.toUtf8(), hash.toLatin1());
    }
    return users;
}

std::vector<std::pair<QByteArray, QByteArray>> ReadHeaders(const YAML::Node& node) {
    static const QRegularExpression token(QStringLiteral("^[!#$%&'*+.^_`|~0-9A-Za-z-]+$"));
    // What the server itself says or what frames a response.
    static const QStringList reserved{"content-length", "content-type", "transfer-encoding",
                                      "connection",     "keep-alive",   "upgrade",
                                      "trailer",        "date",         "www-authenticate",
                                      "allow",          "retry-after"};
    // The exporter toolkit's, so that one file serves a site's every exporter.
    static const QStringList allowed{"Strict-Transport-Security", "X-Content-Type-Options",
                                     "X-Frame-Options", "X-XSS-Protection",
                                     "Content-Security-Policy"};
    static const QMap<QString, QStringList> values{
        {QStringLiteral("x-frame-options"), {"deny", "sameorigin"}},
        {QStringLiteral("x-content-type-options"), {"nosniff"}}};
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    if (node.IsNull()) {
        return headers;
    }
    if (!node.IsMap()) {
        throw Fault{node.Mark(), QStringLiteral("headers must be a map of names to values")};
    }
    QSet<QString> seen;
    for (const auto& entry : node) {
        const QString name = Scalar(entry.first, entry.first, QStringLiteral("a header name"));
        const QString lower = name.toLower();
        if (!token.match(name).hasMatch()) {
            throw Fault{entry.first.Mark(), QStringLiteral("\"%1\" is no header name").arg(name)};
        }
        if (reserved.contains(lower)) {
            throw Fault{entry.first.Mark(),
                        QStringLiteral("%1 is the server's own header").arg(name)};
        }
        if (!allowed.contains(name, Qt::CaseInsensitive)) {
            throw Fault{entry.first.Mark(),
                        QStringLiteral("%1 is not a header the exporter toolkit allows (%2)")
                            .arg(name, allowed.join(QStringLiteral(", ")))};
        }
        if (seen.contains(lower)) {
            throw Fault{entry.first.Mark(), QStringLiteral("%1 is given twice").arg(name)};
        }
        seen.insert(lower);
        const QString value = Scalar(entry.second, entry.first, QStringLiteral("a string"));
        const YAML::Mark mark = Where(entry.second, entry.first);
        if (value.isEmpty()) {
            continue;  // as the toolkit: a blank header is not sent
        }
        if (std::any_of(value.begin(), value.end(), [](QChar c) {
                return (c < QLatin1Char(' ') && c != QLatin1Char('\t')) || c == QChar(0x7f);
            })) {
            throw Fault{mark,
                        QStringLiteral("the value of %1 holds a control character").arg(name)};
        }
        if (values.contains(lower) && !values[lower].contains(value.toLower())) {
            throw Fault{mark, QStringLiteral("%1 must be %2")
                                  .arg(name, values[lower].join(QStringLiteral(" or ")))};
        }
        headers.emplace_back(name.toLatin1(), value.toUtf8());
    }
    return headers;
}

WebConfig Read(const YAML::Node& root, const QDir& folder) {
    WebConfig config;
    if (root.IsNull()) {
        return config;
    }
    ForEachKey(
        root, QStringLiteral("the web configuration"),
        {QStringLiteral("tls_server_config"), QStringLiteral("http_server_config"),
         QStringLiteral("basic_auth_users")},
        {QStringLiteral("rate_limit")},
        [&](const QString& key, const YAML::Node&, const YAML::Node& value) {
            if (key == QLatin1String("basic_auth_users")) {
                config.users = ReadUsers(value);
            } else if (value.IsNull()) {
                // An empty section says nothing.
            } else if (key == QLatin1String("tls_server_config")) {
                config.tls = ReadTls(value, folder);
            } else {
                ForEachKey(
                    value, key, {QStringLiteral("headers"), QStringLiteral("http2")}, {},
                    [&](const QString& field, const YAML::Node& name, const YAML::Node& setting) {
                        if (field == QLatin1String("headers")) {
                            config.headers = ReadHeaders(setting);
                            return;
                        }
                        // HTTP/2 or not, this server answers in HTTP/1.1.
                        const QString text = Scalar(setting, name, QStringLiteral("true or false"));
                        if (text != QLatin1String("true") && text != QLatin1String("false")) {
                            throw Fault{Where(setting, name),
                                        QStringLiteral("http2 must be true or false")};
                        }
                    });
            }
        });
    return config;
}

}  // namespace

QString WebConfigFault::Text() const {
    return line > 0 ? QStringLiteral("%1:%2:%3: %4").arg(file).arg(line).arg(column).arg(what)
                    : QStringLiteral("%1: %2").arg(file, what);
}

std::variant<WebConfig, WebConfigFault> ParseWebConfig(const QByteArray& yaml,
                                                       const QString& file) {
    try {
        return Read(YAML::Load(yaml.toStdString()), QFileInfo(file).absoluteDir());
    } catch (const Fault& fault) {
        return WebConfigFault{file, fault.mark.line + 1, fault.mark.column + 1, fault.what};
    } catch (const YAML::Exception& error) {
        return WebConfigFault{file, error.mark.line + 1, error.mark.column + 1,
                              QString::fromStdString(error.msg)};
    }
}

std::optional<QString> Weakening(const WebConfig& before, const WebConfig& after) {
    if (before.tls && !after.tls) {
        return QStringLiteral("it would turn TLS off");
    }
    if (before.tls && before.tls->VerifiesClients() && !after.tls->VerifiesClients()) {
        return QStringLiteral("it would no longer verify client certificates");
    }
    if (!before.users.empty() && after.users.empty()) {
        return QStringLiteral("it would let everyone in without a password");
    }
    return std::nullopt;
}

std::variant<WebConfig, WebConfigFault> LoadWebConfig(const QString& path) {
    const QFileInfo info(path);
    if (!info.isFile()) {
        return WebConfigFault{
            path, 0, 0,
            info.exists() ? QStringLiteral("not a regular file") : QStringLiteral("no such file")};
    }
    if (info.size() > kMostBytes) {
        return WebConfigFault{path, 0, 0, QStringLiteral("larger than 1 MiB")};
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return WebConfigFault{path, 0, 0, file.errorString()};
    }
    return ParseWebConfig(file.read(kMostBytes), path);
}

}  // namespace irig::web
