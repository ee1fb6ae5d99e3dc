#include "cli/commands.h"

#include <QDateTime>
#include <QTimer>
#include <chrono>
#include <cstdlib>

#include "cli/inspect.h"
#include "cli/writes.h"
#include "link/framecodec.h"
#include "link/printable.h"
#include "status/hostclock.h"
#include "status/replies.h"
#include "status/settime.h"
#include "unit/changerecord.h"

namespace irig::cli {

namespace {

using unit::Failure;
using unit::Result;
using unit::Session;

// The port as a result line names it: printable, as it came from a file or the command line.
QString PortShown(const Session& session) {
    return link::PrintableUtf8(session.Port());
}

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

// "COM1: IRIG-B offset 7, GPS offset -23, IEEE 1344 on" and its JSON, from the settings table's
// rows of what a unit keeps.
QString OffsetsText(const QString& port, const unit::Offsets& offsets) {
    const fleet::Observed observed = offsets.AsObserved();
    QStringList phrases;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (row.readBack == fleet::ReadBack::kOffsets) {
            phrases << fleet::Phrase(row.setting, *observed.Get(row.setting));
        }
    }
    return QStringLiteral("%1: %2\n").arg(port, phrases.join(QLatin1String(", ")));
}

QJsonObject OffsetsJson(const unit::Offsets& offsets) {
    const fleet::Observed observed = offsets.AsObserved();
    QJsonObject json;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (row.readBack == fleet::ReadBack::kOffsets) {
            json.insert(QLatin1String(row.jsonKey),
                        fleet::Json(row.setting, *observed.Get(row.setting)));
        }
    }
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

// Read back half a second after the setting, a unit's clock that kept it shows this computer's
// second, or one either side of it on a line with a long round trip.
constexpr qint64 kMostSecondsApart = 1;

// How far the unit's clock stands from this computer's, in whole seconds, in words.
QString Difference(qint64 ahead) {
    return ahead == 0  ? QStringLiteral("the same second")
           : ahead > 0 ? QStringLiteral("the unit is %1 s ahead").arg(ahead)
                       : QStringLiteral("the unit is %1 s behind").arg(-ahead);
}

}  // namespace

unit::Timeouts TimeoutsOf(const Request& request) {
    return {request.timeoutMs};
}

QJsonObject WithPort(const Session& session, QJsonObject json) {
    json.insert(QStringLiteral("port"), session.Port());
    if (!session.UnitName().isEmpty()) {
        json.insert(QStringLiteral("unit"), session.UnitName());
    }
    return json;
}

Outcome NoAnswer(const Session& session, const QString& what, const Failure& failure) {
    Outcome outcome;
    outcome.exitCode = kUnitFailed;
    outcome.error = QStringLiteral("%1: %2: %3").arg(session.Named(), what, failure.text);
    outcome.json =
        WithPort(session, {{QStringLiteral("error"), what + QStringLiteral(": ") + failure.text}});
    return outcome;
}

void Status(Session& session, const Request&, const Done& done) {
    session.AskClock([&session, done](const Result<Session::ClockAnswer>& answer) {
        if (!answer) {
            done(NoAnswer(session, QStringLiteral("status"), answer.Why()));
            return;
        }
        const QByteArray& payload = answer->reply.payload;
        const status::StatusView view = status::DecodeReply(link::code::kEndRead, payload);
        Outcome outcome;
        outcome.text =
            QStringLiteral("%1: %2  %3  %4  version %5\n")
                .arg(PortShown(session), OrNone(view.source), view.date.value_or(QString()),
                     view.time.value_or(QString()), view.version.value_or(QString()));
        outcome.json = WithPort(session, ClockJson(link::code::kEndRead, payload));
        done(outcome);
    });
}

namespace {

// What set-time says of the clock it read back half a second after the setting, at whole-second
// resolution; a unit more than a second away from this computer did not keep the setting.
Outcome ReadBackOutcome(const Session& session, const ClockSetting& setting,
                        const Session::ClockAnswer& answer,
                        const std::optional<status::KernelClock>& kernel,
                        unit::PendingChange& change) {
    const QString sent = setting.sent.toString(QStringLiteral("MM/dd/yyyy HH:mm:ss"));
    const QDateTime host = QDateTime::currentDateTime();
    const QDateTime hostSecond = host.addMSecs(-host.time().msec());
    const status::ClockReading& read = answer.clock;
    Outcome outcome;
    QJsonObject json{
        {QStringLiteral("sent"), setting.sent.toString(Qt::ISODate)},
        {QStringLiteral("answer"), ClockJson(link::code::kEndSet, setting.answer.reply.payload)},
        {QStringLiteral("readBack"), ClockJson(link::code::kEndRead, answer.reply.payload)},
        {QStringLiteral("hostClock"), HostClockJson(kernel)}};
    const QDateTime unitClock = read.DateTime();
    if (!unitClock.isValid()) {
        outcome.exitCode = kUnitFailed;
        outcome.error =
            QStringLiteral("%1: set to %2, but the unit read back an impossible date and time: %3")
                .arg(session.Named(), sent, read.Text());
        change.Done(QStringLiteral("%1 sent; read back an impossible date and time: %2")
                        .arg(sent, read.Text()));
        json.insert(QStringLiteral("error"), outcome.error);
        outcome.json = WithPort(session, json);
        return outcome;
    }
    const qint64 ahead = hostSecond.secsTo(unitClock);
    const bool kept = std::abs(ahead) <= kMostSecondsApart;
    change.Done(QStringLiteral("%1 sent; read back: %2%3")
                    .arg(sent, Difference(ahead), kept ? QString() : QStringLiteral(": not kept")));
    outcome.text =
        QStringLiteral(
            "%1: set to %2, its last byte arriving as that second began\n"
            "%1: read back %3, this computer %4: %5 (whole seconds)\n"
            "%1: its answer to the setting showed %6, its clock just before the new second took "
            "effect\n"
            "%1: %7\n")
            .arg(PortShown(session), sent, read.Text(),
                 hostSecond.toString(QStringLiteral("MM/dd/yyyy HH:mm:ss")), Difference(ahead),
                 setting.answer.clock.Text(), status::HostClockText(kernel));
    if (!kept) {
        outcome.exitCode = kUnitFailed;
        outcome.error =
            QStringLiteral("%1: set to %2, but the unit kept another clock: %3 (whole seconds)")
                .arg(session.Named(), sent, Difference(ahead));
        json.insert(QStringLiteral("error"), outcome.error);
    }
    json.insert(QStringLiteral("unitAheadSeconds"), ahead);
    outcome.json = WithPort(session, json);
    return outcome;
}

}  // namespace

// On time, as the window does it; then the unit's clock read back in the middle of a second and
// compared with this computer's at whole-second resolution.
void SetTime(Session& session, const Request& request, const Done& done) {
    const std::optional<status::KernelClock> kernel = status::ReadKernelClock();
    const status::ClockTrust trust = status::Trust(kernel);
    if (request.requireSync && trust != status::ClockTrust::kSynchronised) {
        Outcome refused;
        refused.exitCode = kUnitFailed;
        refused.error =
            QStringLiteral("%1: not set: %2 (--require-sync)")
                .arg(session.Named(), trust == status::ClockTrust::kUnknown
                                          ? QStringLiteral("the host clock's state is unknown")
                                          : QStringLiteral("the host clock is not synchronised"));
        refused.json = WithPort(session, {{QStringLiteral("error"), refused.error},
                                          {QStringLiteral("hostClock"), HostClockJson(kernel)}});
        done(refused);
        return;
    }
    const auto change = ClockChange(session, {});
    auto readBack = [&session, done, kernel, change](const ClockSetting& setting) {
        session.AskClock(
            [&session, done, kernel, setting, change](const Result<Session::ClockAnswer>& answer) {
                if (!answer) {
                    change->Done(setting.sent.toString(QStringLiteral("MM/dd/yyyy HH:mm:ss")) +
                                 QStringLiteral(" sent; answered, not read back: ") +
                                 answer.Why().text);
                    done(NoAnswer(session, QStringLiteral("reading the clock back"), answer.Why()));
                    return;
                }
                done(ReadBackOutcome(session, setting, *answer, kernel, *change));
            });
    };
    SetClockOnTime(session, change,
                   [&session, done, readBack](const Result<ClockSetting>& setting) {
                       if (!setting) {
                           done(NoAnswer(session, QStringLiteral("set-time"), setting.Why()));
                           return;
                       }
                       // Read back in the middle of a second, where whole seconds on both sides
                       // compare fairly.
                       const int ms = QTime::currentTime().msec();
                       session.After((1500 - ms) % 1000,
                                     [readBack, setting = *setting] { readBack(setting); });
                   });
}

// "COM1: the unit is 137 ms ahead (±5 ms); host clock synchronised (±2 ms)", its JSON, and exit 1
// beyond --max-offset.
void CheckTime(Session& session, const Request& request, const Done& done) {
    session.MeasureClock({}, [&session, request, done](const Result<status::ClockOffset>& offset) {
        if (!offset && offset.Why().kind != Failure::Kind::kImpossibleDate) {
            done(NoAnswer(session, QStringLiteral("check-time"), offset.Why()));
            return;
        }
        Outcome outcome;
        if (!offset) {
            outcome.exitCode = kUnitFailed;
            outcome.error =
                QStringLiteral("%1: check-time: %2").arg(session.Named(), offset.Why().text);
            outcome.json = {{QStringLiteral("port"), session.Port()},
                            {QStringLiteral("error"), offset.Why().text}};
            done(outcome);
            return;
        }
        const std::optional<status::KernelClock> kernel = status::ReadKernelClock();
        outcome.text = QStringLiteral("%1: the unit is %2; %3\n")
                           .arg(PortShown(session), status::OffsetText(*offset),
                                status::HostClockText(kernel));
        outcome.json = {{QStringLiteral("port"), session.Port()},
                        {QStringLiteral("offsetMs"), offset->offsetMs},
                        {QStringLiteral("uncertaintyMs"), offset->uncertaintyMs},
                        {QStringLiteral("hostClock"), HostClockJson(kernel)}};
        if (request.maxOffsetMs &&
            std::abs(offset->offsetMs) + offset->uncertaintyMs > *request.maxOffsetMs) {
            outcome.exitCode = kUnitFailed;
            outcome.error = QStringLiteral("%1: the unit may be more than %2 ms off (--max-offset)")
                                .arg(session.Named())
                                .arg(*request.maxOffsetMs);
        }
        done(outcome);
    });
}

void Offsets(Session& session, const Request& request, const Done& done) {
    auto show = [&session, done](const unit::Offsets& offsets) {
        Outcome outcome;
        outcome.text = OffsetsText(PortShown(session), offsets);
        outcome.json = WithPort(session, OffsetsJson(offsets));
        done(outcome);
    };
    auto set = [&session, request, done, show](const std::optional<unit::Offsets>& before,
                                               bool ieee1344) {
        WriteOffsets(session, before,
                     {*request.offsets.irigOffset, *request.offsets.gpsOffset, ieee1344},
                     [&session, done, show](const Result<unit::Offsets>& offsets) {
                         if (offsets) {
                             show(*offsets);
                         } else {
                             done(NoAnswer(session, QStringLiteral("set offsets"), offsets.Why()));
                         }
                     });
    };
    if (request.setOffsets && request.offsets.ieee1344) {
        set(std::nullopt, *request.offsets.ieee1344);
        return;
    }
    // Reading first: the offsets to show, or the flag that --set without --ieee1344 keeps.
    session.AskOffsets([&session, request, done, show, set](const Result<unit::Offsets>& offsets) {
        if (!offsets) {
            done(NoAnswer(session, QStringLiteral("offsets"), offsets.Why()));
        } else if (request.setOffsets) {
            set(*offsets, offsets->ieee1344);
        } else {
            show(*offsets);
        }
    });
}

void GpsMessage(Session& session, const Request&, const Done& done) {
    session.AskGpsMessage([&session, done](const Result<QString>& message) {
        if (!message) {
            done(NoAnswer(session, QStringLiteral("gps-message"), message.Why()));
            return;
        }
        Outcome outcome;
        outcome.text = link::Printable(*message) + QLatin1Char('\n');
        outcome.json = WithPort(session, {{QStringLiteral("message"), *message}});
        done(outcome);
    });
}

void Reboot(Session& session, const Request&, const Done& done) {
    session.Reboot([&session, done](const std::optional<Failure>& failure) {
        if (failure) {
            done(NoAnswer(session, QStringLiteral("re-boot"), *failure));
            return;
        }
        Outcome outcome;
        outcome.text = QStringLiteral("%1: re-boot complete\n").arg(PortShown(session));
        outcome.json = WithPort(session, {{QStringLiteral("result"), QStringLiteral("re-booted")}});
        done(outcome);
    });
}

}  // namespace irig::cli
