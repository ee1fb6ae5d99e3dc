#include "unit/changerecord.h"

#include <QStringList>
#include <utility>

#include "link/printable.h"
#include "unit/systemlog.h"

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace irig::unit {

ChangeRecord::Sink ChangeRecord::SystemLog(const char* identifier) {
    return SystemLogSink(identifier);
}

QString ChangeRecord::User() {
#ifdef Q_OS_UNIX
    if (const char* login = getlogin()) {
        return QString::fromLocal8Bit(login);
    }
    if (const passwd* entry = getpwuid(geteuid())) {
        return QString::fromLocal8Bit(entry->pw_name);
    }
    return QStringLiteral("uid %1").arg(geteuid());
#else
    return qEnvironmentVariable("USERNAME", QStringLiteral("unknown"));
#endif
}

// Whatever the unit's name, a file's or a unit's words hold, one change is one line of printable
// text.
void ChangeRecord::Say(const QString& unit, const QString& what, const QString& rest) const {
    if (sink_) {
        sink_(link::PrintableBytes(
            QStringLiteral("%1: %2 by %3: %4").arg(unit, what, User(), rest).toUtf8()));
    }
}

void ChangeRecord::OffsetsSet(const QString& unit, const std::optional<Offsets>& before,
                              const Offsets& after, const QString& outcome) const {
    const std::optional<fleet::Observed> was =
        before ? std::optional(before->AsObserved()) : std::nullopt;
    const fleet::Observed now = after.AsObserved();
    QStringList changed;
    QStringList unchanged;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (row.readBack != fleet::ReadBack::kOffsets) {
            continue;
        }
        const QString caption = QLatin1String(row.caption);
        const QString nowText = fleet::Show(row.setting, *now.Get(row.setting));
        const QString wasText = was ? fleet::Show(row.setting, *was->Get(row.setting)) : QString();
        if (!was) {
            changed.append(QStringLiteral("%1 -> %2").arg(caption, nowText));
        } else if (wasText != nowText) {
            changed.append(QStringLiteral("%1 %2 -> %3").arg(caption, wasText, nowText));
        } else {
            unchanged.append(QStringLiteral("%1 %2").arg(caption, nowText));
        }
    }
    QString text =
        changed.isEmpty() ? QStringLiteral("nothing changed") : changed.join(QLatin1String(", "));
    if (!unchanged.isEmpty()) {
        text += QStringLiteral(" (%1 unchanged)").arg(unchanged.join(QLatin1String(", ")));
    }
    if (!before) {
        text += QStringLiteral(" (before unknown)");
    }
    Say(unit, QStringLiteral("offsets set"), text + QStringLiteral(", ") + outcome);
}

void ChangeRecord::ClockSet(const QString& unit, const QString& before,
                            const QString& after) const {
    Say(unit, QStringLiteral("clock set"),
        QStringLiteral("%1 -> %2")
            .arg(before.isEmpty() ? QStringLiteral("(before unknown)") : before, after));
}

void ChangeRecord::FlashEvent(const QString& unit, Flash event, const QString& detail) const {
    const char* what = event == Flash::kStarted  ? "flash started"
                       : event == Flash::kDone   ? "flash done"
                       : event == Flash::kFailed ? "flash failed"
                                                 : "flash left";
    Say(unit, QLatin1String(what), detail);
}

void ChangeRecord::LeaseEvent(const QString& unit, const QString& what) const {
    if (sink_) {
        sink_(link::PrintableBytes(QStringLiteral("%1: %2").arg(unit, what).toUtf8()));
    }
}

PendingChange::~PendingChange() {
    Done(QStringLiteral("unknown: interrupted while the unit was being set"));
}

void PendingChange::Done(const QString& outcome) {
    if (const auto write = std::exchange(write_, {})) {
        write(outcome);
    }
}

}  // namespace irig::unit
