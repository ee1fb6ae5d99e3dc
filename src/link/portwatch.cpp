#include "link/portwatch.h"

#include <QDir>
#include <QFileInfo>

#include "link/portmap.h"

namespace irig::link {

namespace {

constexpr int kCheckMs = 500;

// The device a link names now, or empty when it dangles.
QString Target(const QString& link) {
    return QFileInfo(link).canonicalFilePath();
}

}  // namespace

PortIdentity IdentifyPort(const QString& name, const QString& device, const QString& byIdFolder) {
    PortIdentity identity{name, PortMapEntry(name), device, {}};
    const QDir folder(byIdFolder);
    for (const QString& entry : folder.entryList(QDir::System | QDir::Files, QDir::Name)) {
        const QString link = folder.filePath(entry);
        if (!device.isEmpty() && Target(link) == device) {
            identity.byId = link;
            break;
        }
    }
    return identity;
}

PortWhereabouts Locate(const PortIdentity& identity) {
    if (!identity.mapEntry.isEmpty()) {
        // A terminal server's address stands wherever its link names it; only a connection can
        // tell whether it is back.
        if (const std::optional<NetworkAddress> address =
                ParseNetworkAddress(LinkText(identity.mapEntry))) {
            return {address->Text(), {}};
        }
        const QFileInfo entry(identity.mapEntry);
        if (!entry.isSymLink() && !entry.exists()) {
            return {{},
                    QStringLiteral("waiting for its port-map link %1, which was removed (%2 is "
                                   "not looked for elsewhere)")
                        .arg(identity.mapEntry, identity.name)};
        }
        const QString device = Target(identity.mapEntry);
        if (device.isEmpty()) {
            return {
                {},
                QStringLiteral("waiting for %1, where its port-map link %2 points, to come back")
                    .arg(entry.symLinkTarget(), identity.mapEntry)};
        }
        return {device, {}};
    }
    if (!identity.byId.isEmpty()) {
        const QString device = Target(identity.byId);
        if (device.isEmpty()) {
            return {{},
                    QStringLiteral("waiting for %1 (%2) to come back")
                        .arg(identity.byId, QFileInfo(identity.byId).fileName())};
        }
        return {device, {}};
    }
    if (!ParseNetworkAddress(identity.device) && !QFileInfo::exists(identity.device)) {
        return {{}, QStringLiteral("waiting for %1 to come back").arg(identity.device)};
    }
    return {identity.device, {}};
}

PortWatch::PortWatch(PortController& port, QString byIdFolder, QObject* parent)
    : QObject(parent), port_(port), byIdFolder_(std::move(byIdFolder)) {
    timer_.setInterval(kCheckMs);
    connect(&timer_, &QTimer::timeout, this, &PortWatch::Check);
    connect(&port_, &PortController::PortLost, this, &PortWatch::Lost);
    connect(&port_, &PortController::OpenFinished, this, &PortWatch::OpenFinished);
}

void PortWatch::Opened(const QString& name) {
    timer_.stop();
    reopening_ = false;
    waiting_.clear();
    identity_ = IdentifyPort(name, port_.Device(), byIdFolder_);
}

void PortWatch::Await(const QString& name) {
    identity_ = IdentifyPort(name, ResolvePortName(name), byIdFolder_);
    Lost();
}

void PortWatch::Forget() {
    timer_.stop();
    reopening_ = false;
    waiting_.clear();
    identity_ = {};
}

void PortWatch::Lost() {
    if (identity_.name.isEmpty()) {
        return;
    }
    // The first look comes a moment later: a device that has just failed may not have gone yet.
    timer_.start();
    waiting_ = Locate(identity_).waiting;
    if (waiting_.isEmpty()) {
        waiting_ = QStringLiteral("waiting for %1 to come back").arg(identity_.device);
    }
    emit WaitingChanged(waiting_);
}

void PortWatch::Check() {
    if (!timer_.isActive() || reopening_) {
        return;
    }
    const PortWhereabouts now = Locate(identity_);
    if (now.device.isEmpty()) {
        if (now.waiting != waiting_) {
            waiting_ = now.waiting;
            emit WaitingChanged(waiting_);
        }
        return;
    }
    Reopen(now.device);
}

void PortWatch::Reopen(const QString& device) {
    const int result = port_.OpenDevice(identity_.name, device);
    if (result == kPortOpening) {
        reopening_ = true;
    } else if (result == kPortOpened) {
        Back();
    }
    // Otherwise there, but not yet usable (permissions being set, still held): look again.
}

// Only a connection this watch started; a failed one is tried again at the next look.
void PortWatch::OpenFinished(int result) {
    if (std::exchange(reopening_, false) && result == kPortOpened && timer_.isActive()) {
        Back();
    }
}

void PortWatch::Back() {
    const QString name = identity_.name;
    Opened(name);
    emit Reopened(name);
}

}  // namespace irig::link
