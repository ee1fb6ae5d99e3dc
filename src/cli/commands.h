// The commands that ask one unit something and report its answer: status, set-time, offsets,
// gps-message and reboot. Each runs asynchronously on a Unit and ends with an Outcome.
#pragma once

#include <QJsonObject>
#include <QString>
#include <functional>

#include "cli/commandline.h"
#include "cli/unit.h"
#include "status/hostclock.h"

namespace irig::cli {

struct Outcome {
    int exitCode = kDone;
    QString text;      // the result, for standard output
    QString error;     // what went wrong, for standard error
    QJsonObject json;  // the unit's part of the JSON document
};

using Done = std::function<void(const Outcome& outcome)>;

// The time-out of a request and its answer: --timeout, or 1 s and four times their wire time.
int ReplyTimeout(const Request& request, qsizetype requestBytes, qsizetype replyBytes);
// Asks the unit for its clock (the status request); `done` gets the clock reply's payload, or
// nothing when none came (the unit's last wait says why).
void AskClock(Unit& unit, const Request& request,
              std::function<void(std::optional<QByteArray>)> done);
// The time-out of a re-boot: --timeout, or 10 s.
int RebootTimeout(const Request& request);

void Status(Unit& unit, const Request& request, const Done& done);
void SetTime(Unit& unit, const Request& request, const Done& done);
void Offsets(Unit& unit, const Request& request, const Done& done);
void GpsMessage(Unit& unit, const Request& request, const Done& done);
void Reboot(Unit& unit, const Request& request, const Done& done);

// The outcome of a unit that did not answer (exit 1), with what the unit's last wait says.
Outcome NoAnswer(const Unit& unit, const QString& what);

// What the kernel says of this computer's clock, for --json: synchronised (true, false or null),
// maxErrorMs and the words of the text output.
QJsonObject HostClockJson(const std::optional<status::KernelClock>& kernel);

}  // namespace irig::cli
