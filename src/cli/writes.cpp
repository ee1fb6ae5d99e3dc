#include "cli/writes.h"

#include <QStringList>
#include <chrono>

#include "status/settime.h"

namespace irig::cli {

using unit::Failure;
using unit::PendingChange;
using unit::Result;
using unit::Session;

QString OffsetsDiffer(const unit::Offsets& has, const unit::Offsets& wanted) {
    const fleet::Observed kept = has.AsObserved();
    const fleet::Observed written = wanted.AsObserved();
    QStringList differ;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        const std::optional<fleet::Value> value = kept.Get(row.setting);
        const std::optional<fleet::Value> meant = written.Get(row.setting);
        if (row.readBack == fleet::ReadBack::kOffsets && value != meant) {
            differ << QStringLiteral("%1, not %2")
                          .arg(fleet::Phrase(row.setting, *value),
                               fleet::Show(row.setting, *meant));
        }
    }
    return differ.join(QLatin1String("; "));
}

QString Unknown(const Failure& failure) {
    return failure.kind == Failure::Kind::kInterrupted
               ? QStringLiteral("unknown: interrupted while the unit was being set")
               : QStringLiteral("unknown: ") + failure.text;
}

void WriteOffsets(Session& session, const std::optional<unit::Offsets>& before,
                  const unit::Offsets& wanted, std::function<void(Result<unit::Offsets>)> done) {
    auto change = std::make_shared<PendingChange>(
        [record = session.ChangesShared(), named = session.RecordedAs(), before,
         wanted](const QString& outcome) { record->OffsetsSet(named, before, wanted, outcome); });
    session.SetOffsets(wanted, [&session, wanted, change,
                                done = std::move(done)](const Result<unit::Offsets>& answer) {
        if (!answer) {
            if (answer.Why().sent) {
                change->Done(Unknown(answer.Why()));
            } else {
                change->Unsent();
            }
            done(answer.Why());
            return;
        }
        if (const QString differ = OffsetsDiffer(*answer, wanted); !differ.isEmpty()) {
            const Failure failure = Failure::NotKept(QStringLiteral("the unit answered ") + differ);
            change->Done(failure.text);
            done(failure);
            return;
        }
        session.AskOffsets([wanted, change, done](const Result<unit::Offsets>& kept) {
            if (!kept) {
                change->Done(QStringLiteral("answered, not read back: ") + kept.Why().text);
                done(kept.Why());
                return;
            }
            if (const QString differ = OffsetsDiffer(*kept, wanted); !differ.isEmpty()) {
                const Failure failure = Failure::NotKept(QStringLiteral("the unit kept ") + differ);
                change->Done(failure.text);
                done(failure);
                return;
            }
            change->Done(QStringLiteral("read back"));
            done(*kept);
        });
    });
}

QString RecordedOffset(const status::ClockOffset& offset) {
    return status::OffsetText(offset).replace(QChar(0x00B1), QLatin1String("+/-"));
}

std::shared_ptr<PendingChange> ClockChange(const Session& session, const QString& before) {
    return std::make_shared<PendingChange>(
        [record = session.ChangesShared(), named = session.RecordedAs(),
         before](const QString& after) { record->ClockSet(named, before, after); });
}

void SetClockOnTime(Session& session, const std::shared_ptr<PendingChange>& change,
                    std::function<void(Result<ClockSetting>)> done) {
    const status::SetTimeSend send = status::PlanSetTimeRequest(std::chrono::system_clock::now());
    const auto wait = std::chrono::round<std::chrono::milliseconds>(send.plan.wait);
    session.After(static_cast<int>(wait.count()), [&session, change, done = std::move(done), send] {
        session.SetClock(send.frame,
                         [change, done, send](const Result<Session::ClockAnswer>& answer) {
                             if (!answer) {
                                 if (answer.Why().sent) {
                                     change->Done(Unknown(answer.Why()));
                                 } else {
                                     change->Unsent();
                                 }
                                 done(answer.Why());
                                 return;
                             }
                             done(ClockSetting{send.plan.second, *answer});
                         });
    });
}

}  // namespace irig::cli
