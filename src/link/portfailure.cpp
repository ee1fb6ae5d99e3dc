#include "link/portfailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "link/portmap.h"

namespace irig::link {

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
            return failure.detail.isEmpty()
                       ? QStringLiteral("%1 is in use by another program").arg(failure.device)
                       : QStringLiteral("%1 is in use by another program (process %2)")
                             .arg(failure.device, failure.detail);
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
