#include "cli/commands.h"

#include <QDateTime>
#include <QTimer>
#include <chrono>

#include "cli/inspect.h"
#include "link/framecodec.h"
#include "status/hostclock.h"
#include "status/replies.h"
#include "status/requests.h"
#include "status/settime.h"

namespace irig::cli {

namespace {

using link::command::kClock;
using link::command::kGpsMessage;
using link::command::kOffsets;

QString OrNone(const std::optional<QString>& text) {
    return text && !text->isEmpty() ? *text : QStringLiteral("(none)");
}

// The clock fields of a clock reply: the window's texts, and the date and time in ISO 8601 (null
// for a date that cannot be).
QJsonObject ClockJson(int16_t code, const QByteArray& payload) {
    const status::StatusView view = status::DecodeReply(code, payload);
    QJsonObject json{{QStringLiteral("source"), view.source.value_or(QString())},
                     {QStringLiteral("date"), view.date.value_or(QString())},
                     {QStringLiteral("time"), view.time.value_or(QString())}};
    const std::optional<status::ClockReading> clock = status::ReadClock(code, payload);
    const QDateTime at = clock ? clock->DateTime() : QDateTime();
    json.insert(QStringLiteral("dateTime"),
                at.isValid() ? QJsonValue(at.toString(Qt::ISODate)) : QJsonValue());
    if (view.version) {
        json.insert(QStringLiteral("version"), *view.version);
    }
    return json;
}

QJsonObject OffsetsJson(const QByteArray& payload) {
    return {{QStringLiteral("irigOffset"), static_cast<int8_t>(payload[1])},
            {QStringLiteral("gpsOffset"), static_cast<int8_t>(payload[2])},
            {QStringLiteral("ieee1344"), payload[3] != 0}};
}

QString OffsetsText(const QString& port, const QByteArray& payload) {
    return QStringLiteral("%1: IRIG-B offset %2, GPS offset %3, IEEE 1344 %4\n")
        .arg(port, status::OffsetText(uint8_t(payload[1])).trimmed(),
             status::OffsetText(uint8_t(payload[2])).trimmed(),
             payload[3] != 0 ? QStringLiteral("on") : QStringLiteral("off"));
}

QJsonObject WithPort(const Unit& unit, QJsonObject json) {
    json.insert(QStringLiteral("port"), unit.Port());
    return json;
}

}  // namespace

QJsonObject HostClockJson(const std::optional<status::KernelClock>& kernel) {
    const status::ClockTrust trust = status::Trust(kernel);
    return {{QStringLiteral("synchronised"),
             trust == status::ClockTrust::kUnknown
                 ? QJsonValue()
                 : QJsonValue(trust == status::ClockTrust::kSynchronised)},
            {QStringLiteral("maxErrorMs"),
             kernel ? QJsonValue(static_cast<qint64>((kernel->maxErrorUs + 999) / 1000))
                    : QJsonValue()},
            {QStringLiteral("text"), status::HostClockText(kernel)}};
}

namespace {

// How far the unit's clock stands from this computer's, in whole seconds, in words.
QString Difference(qint64 ahead) {
    return ahead == 0  ? QStringLiteral("the same second")
           : ahead > 0 ? QStringLiteral("the unit is %1 s ahead").arg(ahead)
                       : QStringLiteral("the unit is %1 s behind").arg(-ahead);
}

}  // namespace

int ReplyTimeout(const Request& request, qsizetype requestBytes, qsizetype replyBytes) {
    return request.timeoutMs.value_or(1000 + 4 * link::WireMilliseconds(requestBytes + replyBytes));
}

void AskClock(Unit& unit, const Request& request,
              std::function<void(std::optional<QByteArray>)> done) {
    const QByteArray ask = status::StatusRequest();
    unit.Ask(ask, {link::code::kEndRead, kClock, link::length::kClockRead},
             ReplyTimeout(request, ask.size(), 16), std::move(done));
}

int RebootTimeout(const Request& request) {
    return request.timeoutMs.value_or(10'000);
}

Outcome NoAnswer(const Unit& unit, const QString& what) {
    Outcome outcome;
    outcome.exitCode = kUnitFailed;
    outcome.error = QStringLiteral("%1: %2: %3").arg(unit.Named(), what, unit.Failure());
    if (unit.Silent()) {
        outcome.error += QStringLiteral(
                             "\n%1: a unit left in flash mode (after an interrupted or failed "
                             "update) answers nothing but the flash commands: run \"irigctl "
                             "flash\" again, or \"irigctl reboot\"")
                             .arg(unit.Named());
    }
    outcome.json =
        WithPort(unit, {{QStringLiteral("error"), what + QStringLiteral(": ") + unit.Failure()}});
    return outcome;
}

void Status(Unit& unit, const Request& request, const Done& done) {
    AskClock(unit, request, [&unit, done](const std::optional<QByteArray>& payload) {
        if (!payload) {
            done(NoAnswer(unit, QStringLiteral("status")));
            return;
        }
        const status::StatusView view = status::DecodeReply(link::code::kEndRead, *payload);
        Outcome outcome;
        outcome.text = QStringLiteral("%1: %2  %3  %4  version %5\n")
                           .arg(unit.Port(), OrNone(view.source), view.date.value_or(QString()),
                                view.time.value_or(QString()), view.version.value_or(QString()));
        outcome.json = WithPort(unit, ClockJson(link::code::kEndRead, *payload));
        done(outcome);
    });
}

// On time, as the window does it; then the unit's clock read back in the middle of a second and
// compared with this computer's at whole-second resolution.
void SetTime(Unit& unit, const Request& request, const Done& done) {
    const std::optional<status::KernelClock> kernel = status::ReadKernelClock();
    const QString hostClock = status::HostClockText(kernel);
    const status::ClockTrust trust = status::Trust(kernel);
    if (request.requireSync && trust != status::ClockTrust::kSynchronised) {
        Outcome refused;
        refused.exitCode = kUnitFailed;
        refused.error =
            QStringLiteral("%1: not set: %2 (--require-sync)")
                .arg(unit.Named(), trust == status::ClockTrust::kUnknown
                                       ? QStringLiteral("the host clock's state is unknown")
                                       : QStringLiteral("the host clock is not synchronised"));
        refused.json = WithPort(unit, {{QStringLiteral("error"), refused.error},
                                       {QStringLiteral("hostClock"), HostClockJson(kernel)}});
        done(refused);
        return;
    }
    const status::SetTimeSend send = status::PlanSetTimeRequest(std::chrono::system_clock::now());
    const QString sent = send.plan.second.toString(QStringLiteral("MM/dd/yyyy HH:mm:ss"));
    const QString sentIso = send.plan.second.toString(Qt::ISODate);
    auto readBack = [&unit, request, done, hostClock, kernel, sent,
                     sentIso](const QByteArray& answer) {
        AskClock(
            unit, request,
            [&unit, done, hostClock, kernel, sent, sentIso,
             answer](const std::optional<QByteArray>& payload) {
                if (!payload) {
                    done(NoAnswer(unit, QStringLiteral("reading the clock back")));
                    return;
                }
                const QDateTime host = QDateTime::currentDateTime();
                const QDateTime hostSecond = host.addMSecs(-host.time().msec());
                const status::ClockReading read =
                    *status::ReadClock(link::code::kEndRead, *payload);
                const std::optional<status::ClockReading> before =
                    status::ReadClock(link::code::kEndSet, answer);
                Outcome outcome;
                QJsonObject json{
                    {QStringLiteral("sent"), sentIso},
                    {QStringLiteral("answer"), ClockJson(link::code::kEndSet, answer)},
                    {QStringLiteral("readBack"), ClockJson(link::code::kEndRead, *payload)},
                    {QStringLiteral("hostClock"), HostClockJson(kernel)}};
                const QDateTime unitClock = read.DateTime();
                if (!unitClock.isValid()) {
                    outcome.exitCode = kUnitFailed;
                    outcome.error = QStringLiteral(
                                        "%1: set to %2, but the unit read back an "
                                        "impossible date and time: %3")
                                        .arg(unit.Named(), sent, read.Text());
                    json.insert(QStringLiteral("error"), outcome.error);
                    outcome.json = WithPort(unit, json);
                    done(outcome);
                    return;
                }
                const qint64 ahead = hostSecond.secsTo(unitClock);
                outcome.text =
                    QStringLiteral(
                        "%1: set to %2, its last byte arriving as that second began\n"
                        "%1: read back %3, this computer %4: %5 (whole seconds)\n"
                        "%1: its answer to the setting showed %6, its clock just before the new "
                        "second took effect\n"
                        "%1: %7\n")
                        .arg(unit.Port(), sent, read.Text(),
                             hostSecond.toString(QStringLiteral("MM/dd/yyyy HH:mm:ss")),
                             Difference(ahead),
                             before ? before->Text() : QStringLiteral("nothing readable"),
                             hostClock);
                json.insert(QStringLiteral("unitAheadSeconds"), ahead);
                outcome.json = WithPort(unit, json);
                done(outcome);
            });
    };
    QTimer::singleShot(
        std::chrono::round<std::chrono::milliseconds>(send.plan.wait), Qt::PreciseTimer, &unit,
        [&unit, request, done, send, readBack] {
            unit.Ask(send.frame, {link::code::kEndSet, kClock, link::length::kClockSet},
                     ReplyTimeout(request, send.frame.size(), 15),
                     [&unit, done, readBack](const std::optional<QByteArray>& payload) {
                         if (!payload) {
                             done(NoAnswer(unit, QStringLiteral("set-time")));
                             return;
                         }
                         // Read back in the middle of a second, where whole
                         // seconds on both sides compare fairly.
                         const int ms = QTime::currentTime().msec();
                         QTimer::singleShot((1500 - ms) % 1000, &unit,
                                            [readBack, answer = *payload] { readBack(answer); });
                     });
        });
}

void Offsets(Unit& unit, const Request& request, const Done& done) {
    const QByteArray read = status::RetrieveOffsetsRequest();
    const int readTimeout = ReplyTimeout(request, read.size(), 10);
    auto show = [&unit, done](const QByteArray& payload) {
        Outcome outcome;
        outcome.text = OffsetsText(unit.Port(), payload);
        outcome.json = WithPort(unit, OffsetsJson(payload));
        done(outcome);
    };
    auto set = [&unit, request, done, show](bool ieee1344) {
        const QByteArray ask =
            status::SetOffsetsRequest(static_cast<int16_t>(request.irigOffset),
                                      static_cast<int16_t>(request.gpsOffset), ieee1344);
        unit.Ask(ask, {link::code::kEndSet, kOffsets, link::length::kOffsets},
                 ReplyTimeout(request, ask.size(), 10),
                 [&unit, done, show](const std::optional<QByteArray>& payload) {
                     if (payload) {
                         show(*payload);
                     } else {
                         done(NoAnswer(unit, QStringLiteral("set offsets")));
                     }
                 });
    };
    if (request.setOffsets && request.ieee1344) {
        set(*request.ieee1344);
        return;
    }
    // Reading first: the offsets to show, or the flag that --set without --ieee1344 keeps.
    unit.Ask(read, {link::code::kEndRead, kOffsets, link::length::kOffsets}, readTimeout,
             [&unit, request, done, show, set](const std::optional<QByteArray>& payload) {
                 if (!payload) {
                     done(NoAnswer(unit, QStringLiteral("offsets")));
                 } else if (request.setOffsets) {
                     set((*payload)[3] != 0);
                 } else {
                     show(*payload);
                 }
             });
}

void GpsMessage(Unit& unit, const Request& request, const Done& done) {
    const QByteArray ask = status::RetrieveGpsMessageRequest();
    unit.Ask(ask, {link::code::kEndRead, kGpsMessage, -1}, ReplyTimeout(request, ask.size(), 200),
             [&unit, done](const std::optional<QByteArray>& payload) {
                 if (!payload) {
                     done(NoAnswer(unit, QStringLiteral("gps-message")));
                     return;
                 }
                 const QString message = QString::fromLatin1(payload->mid(1));
                 Outcome outcome;
                 outcome.text = Printable(message) + QLatin1Char('\n');
                 outcome.json = WithPort(unit, {{QStringLiteral("message"), message}});
                 done(outcome);
             });
}

void Reboot(Unit& unit, const Request& request, const Done& done) {
    unit.AwaitCode(link::SingleCode(link::code::kReBoot), link::code::kReBoot,
                   RebootTimeout(request), [&unit, done](bool complete) {
                       if (!complete) {
                           done(NoAnswer(unit, QStringLiteral("re-boot")));
                           return;
                       }
                       Outcome outcome;
                       outcome.text = QStringLiteral("%1: re-boot complete\n").arg(unit.Port());
                       outcome.json = WithPort(
                           unit, {{QStringLiteral("result"), QStringLiteral("re-booted")}});
                       done(outcome);
                   });
}

}  // namespace irig::cli
