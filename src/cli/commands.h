// The commands that ask one unit something and print its answer: status, set-time, check-time,
// offsets, gps-message and reboot, each declared here beside its code. Each runs asynchronously on
// a session and ends with an Outcome; asking is the session's, saying it is these, running them
// over many units AskEach's.
#pragma once

#include <QJsonObject>
#include <QString>
#include <functional>

#include "cli/command.h"
#include "status/hostclock.h"
#include "unit/session.h"

namespace irig::cli {

struct Outcome {
    int exitCode = kDone;
    QString text;      // the result, for standard output
    QString error;     // what went wrong, for standard error
    QJsonObject json;  // the unit's part of the JSON document
};

using Done = std::function<void(const Outcome& outcome)>;

// The unit's JSON: "port", and "unit" where the unit has a name.
QJsonObject WithPort(const unit::Session& session, QJsonObject json);

struct StatusOptions {
    bool watch = false;
};
struct SetTimeOptions {
    bool requireSync = false;
};
struct CheckTimeOptions {
    std::optional<int> maxOffsetMs;  // exit 1 when the unit may be farther off
    std::optional<int> forSeconds;   // measure again and again for this long, for the drift
};
struct OffsetsOptions {
    bool set = false;
    fleet::Intended offsets;  // --set: the offsets, and the flag (unset: keep the unit's)
};

extern const Command kStatus;
extern const Command kSetTime;
extern const Command kCheckTime;
extern const Command kOffsets;
extern const Command kGpsMessage;
extern const Command kReboot;

// The outcome of a request that came to nothing (exit 1), saying why.
Outcome NoAnswer(const unit::Session& session, const QString& what, const unit::Failure& failure);

// What the kernel says of this computer's clock, for --json: synchronised (true, false or null),
// maxErrorMs and the words of the text output.
QJsonObject HostClockJson(const std::optional<status::KernelClock>& kernel, status::ClockUse use);

}  // namespace irig::cli
