#include "link/portmap.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

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

QString ResolvePortName(const QString& name) {
    const QRegularExpressionMatch match = ComName().match(name);
    if (!match.hasMatch()) {
        return name.startsWith(QLatin1Char('/')) ? Canonical(QFileInfo(name)) : QString();
    }
#ifdef Q_OS_WIN
    return name;
#else
    const QString entry = PortMapEntry(name);
    if (!entry.isEmpty()) {
        return Canonical(QFileInfo(entry));
    }
    return QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toLongLong() - 1);
#endif
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
