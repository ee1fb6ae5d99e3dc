#include "link/portfailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <optional>

#include "link/portmap.h"

namespace irig::link {

namespace {

// Where an irigctl monitor listens when its command line does not say: irigctl monitor --listen's
// default.
constexpr char kMonitorListenDefault[] = "127.0.0.1:9810";

QString InUseText(const PortFailure& failure) {
    if (failure.detail.isEmpty()) {
        return QStringLiteral("%1 is in use by another program").arg(failure.device);
    }
    const QString pid = failure.detail;
    const Holder holder = HolderOf(CommandLineOf(pid), [&pid](const QString& path) {
        QFile file(QDir(QStringLiteral("/proc/%1/cwd").arg(pid)).filePath(path));
        constexpr qint64 kMost = qint64{64} * 1024;
        return file.open(QIODevice::ReadOnly) ? file.read(kMost) : QByteArray();
    });
    QString text =
        QStringLiteral("%1 is in use by %2 (process %3)")
            .arg(failure.device,
                 holder.program.isEmpty() ? QStringLiteral("another program") : holder.program,
                 failure.detail);
    if (!holder.monitor.isEmpty()) {
        text += QStringLiteral(": borrow it with --monitor %1 (the window: IRIGCTL_MONITOR=%1)")
                    .arg(holder.monitor);
    }
    return text;
}

// "0.0.0.0:9811" as "http://127.0.0.1:9811" (https:// with TLS); nothing for port 0 or a text
// that is no address.
QString MonitorUrl(const QString& listen, bool tls) {
    static const QRegularExpression form(
        QStringLiteral("^([0-9.]+|\\[[0-9A-Fa-f:.]+\\]):([0-9]{1,5})$"));
    const QRegularExpressionMatch match = form.match(listen);
    const int port = match.captured(2).toInt();
    if (!match.hasMatch() || port < 1 || port > 65535) {
        return {};
    }
    QString host = match.captured(1);
    if (host == QLatin1String("0.0.0.0")) {
        host = QStringLiteral("127.0.0.1");
    } else if (host == QLatin1String("[::]")) {
        host = QStringLiteral("[::1]");
    }
    return QStringLiteral("%1://%2:%3").arg(tls ? "https" : "http", host).arg(port);
}

}  // namespace

Holder HolderOf(const QStringList& commandLine,
                const std::function<QByteArray(const QString&)>& read) {
    if (commandLine.isEmpty()) {
        return {};
    }
    Holder holder{QFileInfo(commandLine.front()).fileName(), {}};
    if (holder.program != QLatin1String("irigctl")) {
        return holder;
    }
    const QStringList arguments = commandLine.mid(1);
    const auto command = std::find_if(arguments.begin(), arguments.end(), [](const QString& word) {
        return !word.startsWith(QLatin1Char('-'));
    });
    if (command == arguments.end()) {
        return holder;
    }
    holder.program += QLatin1Char(' ') + *command;
    if (*command == QLatin1String("monitor")) {
        const auto option = [&arguments](const QString& name) {
            std::optional<QString> value;
            for (qsizetype i = 0; i < arguments.size(); ++i) {
                if (arguments[i] == name && i + 1 < arguments.size()) {
                    value = arguments[i + 1];
                } else if (arguments[i].startsWith(name + QLatin1Char('='))) {
                    value = arguments[i].mid(name.size() + 1);
                }
            }
            return value;
        };
        const std::optional<QString> web = option(QStringLiteral("--web-config"));
        static const QRegularExpression tls(QStringLiteral("(^|\\n)tls_server_config\\s*:"));
        holder.monitor =
            MonitorUrl(option(QStringLiteral("--listen")).value_or(kMonitorListenDefault),
                       web && read && QString::fromUtf8(read(*web)).contains(tls));
    }
    return holder;
}

QStringList CommandLineOf(const QString& pid) {
    constexpr qint64 kLongest = qint64{64} * 1024;
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (cmdline.open(QIODevice::ReadOnly)) {
        QByteArray words = cmdline.read(kLongest);
        if (words.endsWith('\0')) {
            words.chop(1);
        }
        if (!words.isEmpty()) {
            QStringList line;
            for (const QByteArray& word : words.split('\0')) {
                line.append(QFile::decodeName(word));
            }
            return line;
        }
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    const QString name =
        comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.read(64).trimmed()) : QString();
    return name.isEmpty() ? QStringList() : QStringList{name};
}

QString FailureText(const QString& name, const PortFailure& failure) {
    switch (failure.kind) {
        case PortFailure::kNone:
            return {};
        case PortFailure::kNoSuchDevice:
            if (failure.device.isEmpty()) {
                return QStringLiteral("no such device: %1 is neither COMn nor a device path")
                    .arg(name);
            }
            if (!failure.mapEntry.isEmpty()) {
                // The link's own text names what is missing; the device is the link itself
                // when it dangles.
                const QString target = LinkText(failure.mapEntry);
                return QStringLiteral(
                           "no such device: %1 is mapped by %2 to %3, which is not there")
                    .arg(name, failure.mapEntry, target.isEmpty() ? failure.device : target);
            }
            if (failure.device != name) {
                return QStringLiteral(
                           "no such device: %1 is %2, which is not there (map %1 to your adapter "
                           "with a link %3/%1)")
                    .arg(name, failure.device, PortMapFolder());
            }
            return QStringLiteral("no such device: %1 is not there").arg(name);
        case PortFailure::kPermissionDenied: {
            // Serial devices belong to a group (dialout on Debian) whose members may use them.
            const QFileInfo device(failure.device);
            const QFile::Permissions groupUse = QFile::ReadGroup | QFile::WriteGroup;
            if ((device.permissions() & groupUse) == groupUse && !device.group().isEmpty()) {
                return QStringLiteral(
                           "permission denied on %1: it belongs to the group %2; add yourself "
                           "with \"sudo adduser $USER %2\", then log out and in again")
                    .arg(failure.device, device.group());
            }
            return QStringLiteral("permission denied on %1: only its owner %2 may use it")
                .arg(failure.device, device.owner());
        }
        case PortFailure::kInUse:
            return InUseText(failure);
        case PortFailure::kBadAddress:
            if (!failure.mapEntry.isEmpty()) {
                return QStringLiteral(
                           "%1 is mapped to \"%2\" by %3, which is not a terminal server's "
                           "address: %4")
                    .arg(name, failure.device, failure.mapEntry, failure.detail);
            }
            return QStringLiteral("\"%1\" is not a terminal server's address: %2")
                .arg(failure.device, failure.detail);
        case PortFailure::kUnreachable:
        case PortFailure::kClosedWhileSetUp:
            return QStringLiteral("cannot connect to %1: %2").arg(failure.device, failure.detail);
        case PortFailure::kOther:
            return QStringLiteral("cannot open %1: %2").arg(failure.device, failure.detail);
    }
    return {};
}

QString LockHolder(const QString& device) {
    // LCK.. and the device's path under /dev with "/" as "_": LCK..ttyUSB0, LCK..pts_3.
    QString path = device;
    if (path.startsWith(QLatin1String("/dev/"))) {
        path.remove(0, 5);
    }
    const QString lockName =
        QStringLiteral("LCK..") + path.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString& folder :
         {QStringLiteral("/var/lock"), QStringLiteral("/run/lock"),
          QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"), QDir::tempPath(),
          QStringLiteral("/var/tmp")}) {
        QFile lock(folder + QLatin1Char('/') + lockName);
        if (lock.open(QIODevice::ReadOnly)) {
            const QByteArray pid = lock.readLine(32).trimmed();
            bool number = false;
            pid.toLongLong(&number);
            if (number) {
                return QString::fromLatin1(pid);
            }
        }
    }
    return {};
}

}  // namespace irig::link
