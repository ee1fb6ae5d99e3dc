#include "link/portmap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "link/portfailure.h"

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace irig::link {

QString PortMapFolder() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty()) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/irig-config/ports");
}

namespace {

const QRegularExpression& ComName() {
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]{0,8})$"));
    return comName;
}

// The device a path names: its symlinks resolved, or the path itself when it dangles (opening it
// then reports the missing device).
QString Canonical(const QFileInfo& path) {
    const QString device = path.canonicalFilePath();
    return device.isEmpty() ? path.absoluteFilePath() : device;
}

}  // namespace

QString PortMapEntry(const QString& name) {
#ifdef Q_OS_WIN
    Q_UNUSED(name);
    return {};
#else
    if (!ComName().match(name).hasMatch()) {
        return {};
    }
    const QFileInfo entry(PortMapFolder() + QLatin1Char('/') + name);
    return entry.exists() || entry.isSymLink() ? entry.absoluteFilePath() : QString();
#endif
}

QString NetworkAddress::Text() const {
    return QStringLiteral("%1://%2:%3")
        .arg(kind == kRfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("socket"),
             host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host)
        .arg(port);
}

std::optional<NetworkAddress> ParseNetworkAddress(const QString& text) {
    static const QRegularExpression address(
        QStringLiteral("^(rfc2217|socket)://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\]):([0-9]{1,5})$"));
    const QRegularExpressionMatch match = address.match(text);
    const int port = match.hasMatch() ? match.captured(3).toInt() : 0;
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    QString host = match.captured(2);
    if (host.startsWith(QLatin1Char('['))) {
        host = host.mid(1, host.size() - 2);
    }
    return NetworkAddress{match.captured(1) == QLatin1String("rfc2217") ? NetworkAddress::kRfc2217
                                                                        : NetworkAddress::kSocket,
                          host, static_cast<quint16>(port)};
}

std::optional<QString> PortArgument(const QString& text) {
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,8})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch match = com.match(text); match.hasMatch()) {
        return QStringLiteral("COM") + match.captured(1);
    }
    if (const std::optional<NetworkAddress> address = ParseNetworkAddress(text)) {
        return address->Text();
    }
#ifndef Q_OS_WIN
    if (text.startsWith(QLatin1Char('/'))) {
        return text;
    }
#endif
    return std::nullopt;
}

QString PortArgumentProblem(const QString& text) {
    if (PortArgument(text)) {
        return {};
    }
    const QString quoted = QLatin1Char('"') + text + QLatin1Char('"');
    if (LooksLikeAddress(text)) {
        return quoted +
               QStringLiteral(
                   " is no terminal server's address (rfc2217://HOST:PORT or "
                   "socket://HOST:PORT): ") +
               AddressProblem(text);
    }
    static const QRegularExpression comZero(QStringLiteral("^COM0[0-9]*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (comZero.match(text).hasMatch()) {
        return quoted + QStringLiteral(": COM ports are numbered from COM1");
    }
    return quoted + QStringLiteral(
                        " is neither COMn (n from 1), a device path, "
                        "rfc2217://HOST:PORT nor socket://HOST:PORT");
}

bool LooksLikeAddress(const QString& text) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    return scheme.match(text).hasMatch();
}

QString AddressProblem(const QString& text) {
    if (ParseNetworkAddress(text)) {
        return {};
    }
    static const QRegularExpression form(QStringLiteral(
        "^([A-Za-z][A-Za-z0-9+.-]*)://([^/?#:\\[\\]]*|\\[[^\\]]*\\])(:([^/?#]*))?(.*)$"));
    const QRegularExpressionMatch match = form.match(text);
    const QString scheme = match.captured(1);
    if (!match.hasMatch() ||
        (scheme != QLatin1String("rfc2217") && scheme != QLatin1String("socket"))) {
        return QStringLiteral("only rfc2217://HOST:PORT and socket://HOST:PORT are taken");
    }
    if (match.captured(2).isEmpty()) {
        return QStringLiteral("no host");
    }
    if (!match.captured(5).isEmpty()) {
        const QChar first = match.captured(5).front();
        if (match.captured(5) == QLatin1String("/")) {
            return QStringLiteral("a trailing \"/\" after the port");
        }
        return first == QLatin1Char('?')   ? QStringLiteral("a query after the port")
               : first == QLatin1Char('#') ? QStringLiteral("a fragment after the port")
                                           : QStringLiteral("a path after the port");
    }
    if (match.captured(3).isEmpty()) {
        return QStringLiteral("no port");
    }
    bool number = false;
    const int port = match.captured(4).toInt(&number);
    if (!number || port < 1 || port > 65535) {
        return QStringLiteral("port %1 is not a port from 1 to 65535").arg(match.captured(4));
    }
    return QStringLiteral("the host is neither a name nor an IP address");
}

QString PortAddressProblem(const QString& name) {
    PortFailure failure{PortFailure::kBadAddress, name, {}, {}};
    if (!LooksLikeAddress(name)) {
        failure.mapEntry = PortMapEntry(name);
        failure.device = failure.mapEntry.isEmpty() ? QString() : LinkText(failure.mapEntry);
    }
    failure.detail = LooksLikeAddress(failure.device) ? AddressProblem(failure.device) : QString();
    return failure.detail.isEmpty() ? QString() : FailureText(name, failure);
}

QString LinkText(const QString& link) {
#ifdef Q_OS_UNIX
    char target[4096];
    const ssize_t size = ::readlink(QFile::encodeName(link).constData(), target, sizeof target - 1);
    return size > 0 ? QFile::decodeName(QByteArray(target, size)) : QString();
#else
    return QFileInfo(link).symLinkTarget();
#endif
}

QString ResolvePortName(const QString& name) {
    if (const std::optional<NetworkAddress> address = ParseNetworkAddress(name)) {
        return address->Text();
    }
    const QRegularExpressionMatch match = ComName().match(name);
    if (!match.hasMatch()) {
        return name.startsWith(QLatin1Char('/')) ? Canonical(QFileInfo(name)) : QString();
    }
#ifdef Q_OS_WIN
    return name;
#else
    const QString entry = PortMapEntry(name);
    if (!entry.isEmpty()) {
        QString target = LinkText(entry);
        if (const std::optional<NetworkAddress> address = ParseNetworkAddress(target)) {
            return address->Text();
        }
        if (LooksLikeAddress(target)) {
            return target;
        }
        return Canonical(QFileInfo(entry));
    }
    return QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toLongLong() - 1);
#endif
}

QString PortAsOpened(const QString& name) {
    if (ParseNetworkAddress(name)) {
        return name;
    }
    const QString device = ResolvePortName(name);
    return device.isEmpty() ? name : device;
}

QString DeviceDescription(const QString& device, const QList<QSerialPortInfo>& known) {
    for (const QSerialPortInfo& info : known) {
        if (info.systemLocation() != device) {
            continue;
        }
        QStringList parts;
        for (const QString& part : {info.description(), info.manufacturer()}) {
            if (!part.isEmpty() && !parts.contains(part)) {
                parts.append(part);
            }
        }
        if (!info.serialNumber().isEmpty()) {
            parts.append(QStringLiteral("serial ") + info.serialNumber());
        }
        return parts.join(QLatin1String(", "));
    }
    return {};
}

}  // namespace irig::link
