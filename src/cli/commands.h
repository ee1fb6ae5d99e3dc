// The commands that ask one unit something and print its answer: status, set-time, check-time,
// offsets, gps-message and reboot. Each runs asynchronously on a session and ends with an
// Outcome; asking is the session's, saying it is these.
#pragma once

#include <QJsonObject>
#include <QString>
#include <functional>

#include "cli/commandline.h"
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

// The waits of a request: --timeout, or each wait's own.
unit::Timeouts TimeoutsOf(const Request& request);

// The unit's JSON: "port", and "unit" where the unit has a name.
QJsonObject WithPort(const unit::Session& session, QJsonObject json);

void Status(unit::Session& session, const Request& request, const Done& done);
void SetTime(unit::Session& session, const Request& request, const Done& done);
void CheckTime(unit::Session& session, const Request& request, const Done& done);
void Offsets(unit::Session& session, const Request& request, const Done& done);
void GpsMessage(unit::Session& session, const Request& request, const Done& done);
void Reboot(unit::Session& session, const Request& request, const Done& done);

// The outcome of a request that came to nothing (exit 1), saying why.
Outcome NoAnswer(const unit::Session& session, const QString& what, const unit::Failure& failure);

// What the kernel says of this computer's clock, for --json: synchronised (true, false or null),
// maxErrorMs and the words of the text output.
QJsonObject HostClockJson(const std::optional<status::KernelClock>& kernel);

}  // namespace irig::cli
