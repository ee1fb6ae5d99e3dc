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

QString ResolvePortName(const QString& name) {
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]{0,8})$"));
    const QRegularExpressionMatch match = comName.match(name);
    if (!match.hasMatch()) {
        return {};
    }
#ifdef Q_OS_WIN
    return name;
#else
    const QFileInfo entry(PortMapFolder() + QLatin1Char('/') + name);
    if (entry.exists() || entry.isSymLink()) {
        // A dangling link has no canonical path; opening the entry itself then reports the
        // missing device.
        const QString device = entry.canonicalFilePath();
        return device.isEmpty() ? entry.absoluteFilePath() : device;
    }
    return QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toLongLong() - 1);
#endif
}

}  // namespace irig::link
