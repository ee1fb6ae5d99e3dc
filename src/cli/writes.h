// The writes irigctl makes to a unit, each read back and recorded once: the offsets and the flag
// (set, the answer compared, then retrieved and compared: one rule for offsets and apply), and the
// clock, set on time. A unit that answers or keeps another value than the one written has failed,
// and the failure names both. What each command then measures or shows is its own.
#pragma once

#include <QDateTime>
#include <functional>
#include <memory>
#include <optional>

#include "status/clockcheck.h"
#include "unit/changerecord.h"
#include "unit/session.h"

namespace irig::cli {

// What differs between what a unit has and what was written, "GPS offset 0, not 7"; empty when
// nothing does.
QString OffsetsDiffer(const unit::Offsets& has, const unit::Offsets& wanted);

// Sets the offsets and the flag, then reads them back; `done` gets what the unit keeps, or why
// not. Recorded with `before`, where it was read, and the outcome.
void WriteOffsets(unit::Session& session, const std::optional<unit::Offsets>& before,
                  const unit::Offsets& wanted,
                  std::function<void(unit::Result<unit::Offsets>)> done);

// An offset as the record says it, in printable ASCII: "5003 ms ahead (+/-2 ms)".
QString RecordedOffset(const status::ClockOffset& offset);
// The record of a clock set, "BEFORE -> what followed", written once (PendingChange): `before` as
// measured, or empty where it is unknown.
std::shared_ptr<unit::PendingChange> ClockChange(const unit::Session& session,
                                                 const QString& before);
// "unknown: no answer within 1044 ms": the outcome of a write whose request went out unanswered.
QString Unknown(const unit::Failure& failure);

// Sets the unit's clock from this computer's, on time as the window does it (its frame's last byte
// arriving as the second it carries begins): the second sent and the unit's answer, its clock just
// before that second took effect. `change` is told when the frame never went out.
struct ClockSetting {
    QDateTime sent;
    unit::Session::ClockAnswer answer;
};
void SetClockOnTime(unit::Session& session, const std::shared_ptr<unit::PendingChange>& change,
                    std::function<void(unit::Result<ClockSetting>)> done);

}  // namespace irig::cli
