#include "link/sameplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "link/endpoint.h"
#include "link/portmap.h"

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace irig::link {

namespace {

// The file a device path reaches, its links followed, as "device:inode"; empty where none is.
QString FileKey(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        return QStringLiteral("%1:%2")
            .arg(static_cast<quint64>(status.st_dev))
            .arg(static_cast<quint64>(status.st_ino));
    }
#else
    Q_UNUSED(path);
#endif
    return {};
}

}  // namespace

Place Place::Of(const QString& port, const HostAddresses& hosts) {
    Place place;
    const QString resolved = ResolvePortName(port);
    if (const std::optional<NetworkAddress> address =
            ParseNetworkAddress(resolved.isEmpty() ? port : resolved)) {
        const QString host = address->host.toLower();
        if (!LiteralAddress(host)) {
            const QString shown = QStringLiteral("%1:%2").arg(host).arg(address->port);
            place.marks.push_back({QStringLiteral("host ") + shown, shown});
        }
        for (const QHostAddress& reached :
             EndpointOf(*address, hosts.value(address->host)).addresses) {
            const QString endpoint = Endpoint{{reached}, address->port}.Text();
            place.marks.push_back({QStringLiteral("endpoint ") + endpoint, endpoint});
        }
    } else if (resolved.isEmpty()) {
        place.marks.push_back({QStringLiteral("text ") + port, port});
    } else if (const QString file = FileKey(resolved); !file.isEmpty()) {
        place.marks.push_back({QStringLiteral("file ") + file, resolved});
    } else {
        const QString path = QDir::cleanPath(resolved);
        place.marks.push_back({QStringLiteral("path ") + path, path});
    }
    return place;
}

QString HostToLookUp(const QString& port) {
    const QString resolved = ResolvePortName(port);
    const std::optional<NetworkAddress> address =
        ParseNetworkAddress(resolved.isEmpty() ? port : resolved);
    return address && !LiteralAddress(address->host) ? address->host : QString();
}

std::optional<QString> SamePlace(const Place& one, const Place& other) {
    Places places;
    places.Add(one, 0);
    if (const std::optional<Places::Found> found = places.Find(other)) {
        return found->shown;
    }
    return std::nullopt;
}

std::optional<Places::Found> Places::Find(const Place& place) const {
    for (const Place::Mark& mark : place.marks) {
        if (const auto found = byKey_.constFind(mark.key); found != byKey_.cend()) {
            return Found{*found, mark.shown};
        }
    }
    return std::nullopt;
}

void Places::Add(const Place& place, int index) {
    for (const Place::Mark& mark : place.marks) {
        if (!byKey_.contains(mark.key)) {
            byKey_.insert(mark.key, index);
        }
    }
}

}  // namespace irig::link
