#include "link/portwatch.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>

#include "link/portmap.h"

namespace irig::link {

namespace {

// The device a link names now, or empty when it dangles.
QString Target(const QString& link) {
    return QFileInfo(link).canonicalFilePath();
}

}  // namespace

int Backoff::Next(double draw) {
    const int step = stepMs_;
    stepMs_ = step > capMs_ / 2 ? capMs_ : 2 * step;
    const int half = step / 2;
    return half + static_cast<int>(std::clamp(draw, 0.0, 1.0) * (step - half));
}

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
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &PortWatch::Check);
    connect(&port_, &PortController::PortLost, this, &PortWatch::Lost);
    connect(&port_, &PortController::OpenFinished, this, &PortWatch::OpenFinished);
}

void PortWatch::Opened(const QString& name) {
    timer_.stop();
    watching_ = reopening_ = false;
    waiting_.clear();
    opened_.start();
    identity_ = IdentifyPort(name, port_.Device(), byIdFolder_);
}

void PortWatch::Await(const QString& name) {
    identity_ = IdentifyPort(name, ResolvePortName(name), byIdFolder_);
    opened_.invalidate();
    Lost();
}

void PortWatch::Forget() {
    timer_.stop();
    backoff_.Reset();
    saidStepMs_ = 0;
    watching_ = reopening_ = false;
    waiting_.clear();
    identity_ = {};
}

// A port that stayed open a while starts the waits over; one that fell again at once goes on
// where they stood (and says no step twice), so that a server that takes each connection and
// drops it is not stormed.
void PortWatch::Lost() {
    if (identity_.name.isEmpty()) {
        return;
    }
    watching_ = true;
    reopening_ = false;
    if (!opened_.isValid() || opened_.elapsed() >= retryCapMs_) {
        backoff_.Reset();
        saidStepMs_ = 0;
    }
    QString waiting = Locate(identity_).waiting;
    if (!waiting.isEmpty()) {
        // The first look comes a moment later: a device that has just failed may not have gone.
        timer_.start(kLookMs);
        Say(waiting);
        return;
    }
    Retry({});
}

void PortWatch::Check() {
    if (!watching_ || reopening_) {
        return;
    }
    const PortWhereabouts now = Locate(identity_);
    if (now.device.isEmpty()) {
        timer_.start(kLookMs);
        if (now.waiting != waiting_) {
            Say(now.waiting);
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
    } else if (LooksLikeAddress(device)) {
        Retry(port_.LastFailure().detail);
    } else {
        // There, but not yet usable (permissions being set, still held): look again.
        timer_.start(kLookMs);
    }
}

// Only a connection this watch started.
void PortWatch::OpenFinished(int result) {
    if (!std::exchange(reopening_, false) || !watching_) {
        return;
    }
    if (result == kPortOpened) {
        Back();
    } else {
        Retry(port_.LastFailure().detail);
    }
}

// The next try on a terminal server after the back-off's wait; each step said once, with why
// the last try failed.
void PortWatch::Retry(const QString& why) {
    const int stepMs = backoff_.StepMs();
    timer_.start(backoff_.Next(QRandomGenerator::global()->generateDouble()));
    if (stepMs > saidStepMs_) {
        saidStepMs_ = stepMs;
        Say(QStringLiteral("waiting for %1 to come back%2; next try within %3 s")
                .arg(identity_.device, why.isEmpty() ? QString() : QStringLiteral(": ") + why)
                .arg((stepMs + 999) / 1000));
    }
}

void PortWatch::Say(const QString& waiting) {
    waiting_ = waiting;
    emit WaitingChanged(waiting_);
}

void PortWatch::Back() {
    const QString name = identity_.name;
    Opened(name);
    emit Reopened(name);
}

}  // namespace irig::link
