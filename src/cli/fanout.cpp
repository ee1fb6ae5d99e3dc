#include "cli/fanout.h"

#include "link/printable.h"

namespace irig::cli {

FanOut::FanOut(std::vector<Target> targets, unit::PortMaker makePort, unit::Timeouts timeouts,
               std::shared_ptr<unit::ChangeRecord> changes, bool keepOpen)
    : targets_(std::move(targets)),
      makePort_(std::move(makePort)),
      timeouts_(timeouts),
      changes_(std::move(changes)),
      keepOpen_(keepOpen),
      sessions_(targets_.size(), nullptr) {}

FanOut::~FanOut() = default;

QString FanOut::Named(int unit) const {
    if (const unit::Session* session = SessionOf(unit); session != nullptr && session->IsOpen()) {
        return session->Named();
    }
    const Target& target = TargetOf(unit);
    return link::PrintableUtf8(target.name.isEmpty()
                                   ? target.port
                                   : QStringLiteral("%1 (%2)").arg(target.name, target.port));
}

void FanOut::Open(int unit) {
    const Target& target = TargetOf(unit);
    auto* session = new unit::Session(target.port, makePort_(), timeouts_, this);
    sessions_[static_cast<size_t>(unit)] = session;
    ++open_;
    session->SetChangeRecord(changes_);
    session->SetUnitName(target.name);
    if (keepOpen_) {
        session->KeepOpen();
    }
    connect(session, &unit::Session::Opened, this, [this, unit] { Identify(unit); });
    connect(session, &unit::Session::OpenFailed, this,
            [this, unit](const QString& why) { emit OpenFailed(unit, why); });
    session->Open();
}

// One unit under two names ("localhost" and "127.0.0.1", rfc2217:// and socket://) is served
// once: the second that reaches it is refused.
void FanOut::Identify(int unit) {
    const QString reached = SessionOf(unit)->Reached();
    if (!reached.isEmpty()) {
        if (const auto first = reached_.constFind(reached); first != reached_.cend()) {
            emit OpenFailed(unit, QStringLiteral("it reaches %1, as %2 does: one unit twice")
                                      .arg(reached, Named(*first)));
            return;
        }
        reached_.insert(reached, unit);
    }
    emit Opened(unit);
}

void FanOut::Close(int unit) {
    unit::Session*& session = sessions_[static_cast<size_t>(unit)];
    if (session == nullptr) {
        return;
    }
    session->disconnect(this);
    connect(session, &QObject::destroyed, this, [this, unit] { emit Closed(unit); });
    session->deleteLater();
    session = nullptr;
    --open_;
}

void FanOut::Interrupt() {
    for (unit::Session* session : sessions_) {
        if (session != nullptr) {
            session->Interrupt();
        }
    }
}

}  // namespace irig::cli
