#include "cli/commands.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "cli/ask.h"
#include "cli/commandline.h"
#include "cli/inspect.h"
#include "cli/writes.h"
#include "diagnosis/diagnosis.h"
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

QJsonObject HostClockJson(const std::optional<status::KernelClock>& kernel, status::ClockUse use) {
    const status::ClockTrust trust = status::Trust(kernel);
    return {{QStringLiteral("synchronised"),
             trust == status::ClockTrust::kUnknown
                 ? QJsonValue()
                 : QJsonValue(trust == status::ClockTrust::kSynchronised)},
            {QStringLiteral("maxErrorMs"),
             kernel ? QJsonValue(static_cast<qint64>((kernel->maxErrorUs + 999) / 1000))
                    : QJsonValue()},
            {QStringLiteral("text"), status::HostClockText(kernel, use)}};
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

namespace {

void Status(Session& session, const Done& done) {
    session.AskClock([&session, done](const Result<Session::ClockAnswer>& answer) {
        if (!answer) {
            done(NoAnswer(session, QLatin1String(kStatus.name), answer.Why()));
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
        {QStringLiteral("hostClock"), HostClockJson(kernel, status::ClockUse::kSetting)}};
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
                 setting.answer.clock.Text(),
                 status::HostClockText(kernel, status::ClockUse::kSetting));
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

// On time, as the window does it; then the unit's clock read back in the middle of a second and
// compared with this computer's at whole-second resolution.
void SetTime(Session& session, bool requireSync, const Done& done) {
    const std::optional<status::KernelClock> kernel = status::ReadKernelClock();
    const status::ClockTrust trust = status::Trust(kernel);
    if (requireSync && trust != status::ClockTrust::kSynchronised) {
        Outcome refused;
        refused.exitCode = kUnitFailed;
        refused.error =
            QStringLiteral("%1: not set: %2 (--require-sync)")
                .arg(session.Named(), trust == status::ClockTrust::kUnknown
                                          ? QStringLiteral("the host clock's state is unknown")
                                          : QStringLiteral("the host clock is not synchronised"));
        refused.json = WithPort(session, {{QStringLiteral("error"), refused.error},
                                          {QStringLiteral("hostClock"),
                                           HostClockJson(kernel, status::ClockUse::kSetting)}});
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
                           done(NoAnswer(session, QLatin1String(kSetTime.name), setting.Why()));
                           return;
                       }
                       // Read back in the middle of a second, where whole seconds on both sides
                       // compare fairly.
                       const int ms = QTime::currentTime().msec();
                       session.After((1500 - ms) % 1000,
                                     [readBack, setting = *setting] { readBack(setting); });
                   });
}

// The diagnosis's part of --json: what it names and advises, and the kind's own figures.
QJsonObject DiagnosisJson(const diagnosis::Diagnosis& d,
                          const std::optional<diagnosis::Drift>& drift) {
    QJsonObject json{{QStringLiteral("kind"), QLatin1String(diagnosis::RowOf(d.kind).key)},
                     {QStringLiteral("certain"), d.certain},
                     {QStringLiteral("text"), d.text},
                     {QStringLiteral("advice"), d.advice}};
    const auto figure = [&json](const char* key, const auto& value) {
        if (value) {
            json.insert(QLatin1String(key), *value);
        }
    };
    figure("weeks", d.weeks);
    figure("hours", d.hours);
    figure("seconds", d.seconds);
    figure("year", d.year);
    figure("driftPpm", d.driftPpm);
    if (drift) {
        json.insert(QStringLiteral("driftUncertaintyPpm"), drift->uncertaintyPpm);
        figure("driftSecondsToBound", drift->secondsToBound);
    }
    if (!d.notes.isEmpty()) {
        json.insert(QStringLiteral("notes"), QJsonArray::fromStringList(d.notes));
    }
    return json;
}

// check-time on one unit: a measurement, or with --for one after another until the time is up,
// their drift followed; then the offset, its diagnosis and, for whole hours on a reference, the
// offsets the advice is computed from.
class TimeCheck : public std::enable_shared_from_this<TimeCheck> {
public:
    TimeCheck(Session& session, const CheckTimeOptions& options, Done done)
        : session_(session),
          options_(options),
          done_(std::move(done)),
          tracker_(options.maxOffsetMs.value_or(kDriftBoundMs)),
          endsMs_(status::SteadyMs() + options.forSeconds.value_or(0) * 1000LL) {}

    void Measure() {
        session_.MeasureClock(
            [self = shared_from_this()](const Session::ClockAnswer& answer) {
                self->source_ = answer.clock.source;
            },
            [self = shared_from_this()](const Result<status::ClockOffset>& offset) {
                self->Measured(offset);
            });
    }

private:
    static constexpr qint64 kDriftBoundMs = 2;

    void Measured(const Result<status::ClockOffset>& offset) {
        const QString name = QLatin1String(kCheckTime.name);
        if (!offset && offset.Why().kind != Failure::Kind::kImpossibleDate) {
            done_(NoAnswer(session_, name, offset.Why()));
            return;
        }
        if (!offset) {
            Outcome outcome;
            outcome.exitCode = kUnitFailed;
            outcome.error =
                QStringLiteral("%1: %2: %3").arg(session_.Named(), name, offset.Why().text);
            outcome.json = {{QStringLiteral("port"), session_.Port()},
                            {QStringLiteral("error"), offset.Why().text}};
            done_(outcome);
            return;
        }
        tracker_.Add(status::HostNow(), *offset, source_);
        if (status::SteadyMs() < endsMs_) {
            Measure();
            return;
        }
        inputs_ = diagnosis::ThisComputer(*offset);
        inputs_.source = source_;
        inputs_.port = session_.Port();
        inputs_.drift = tracker_.Current();
        inputs_.boundMs = options_.maxOffsetMs.value_or(kDriftBoundMs);
        const diagnosis::Diagnosis first = diagnosis::Diagnose(inputs_);
        if (first.kind != diagnosis::Kind::kHourOffset ||
            source_ == link::source::kInternalCrystal) {
            Finish(first);
            return;
        }
        session_.AskOffsets([self = shared_from_this()](const Result<unit::Offsets>& offsets) {
            if (offsets) {
                self->inputs_.offsets =
                    status::OffsetsReading{offsets->irig, offsets->gps, offsets->ieee1344};
            }
            self->Finish(diagnosis::Diagnose(self->inputs_));
        });
    }

    // "COM1: the unit is 137 ms ahead (±5 ms); host clock synchronised (±2 ms)", the diagnosis
    // and its notes a line each, the JSON, and exit 1 beyond --max-offset.
    void Finish(const diagnosis::Diagnosis& diagnosis) {
        const status::ClockOffset& offset = inputs_.offset;
        const QString port = PortShown(session_);
        Outcome outcome;
        outcome.text =
            QStringLiteral("%1: the unit is %2; %3\n%1: %4\n")
                .arg(port, status::OffsetText(offset),
                     status::HostClockText(inputs_.hostClock, status::ClockUse::kMeasuring),
                     diagnosis::Line(diagnosis));
        for (const QString& note : diagnosis.notes) {
            outcome.text += QStringLiteral("%1: %2\n").arg(port, note);
        }
        outcome.json = {{QStringLiteral("port"), session_.Port()},
                        {QStringLiteral("offsetMs"), offset.offsetMs},
                        {QStringLiteral("uncertaintyMs"), offset.uncertaintyMs},
                        {QStringLiteral("hostClock"),
                         HostClockJson(inputs_.hostClock, status::ClockUse::kMeasuring)},
                        {QStringLiteral("diagnosis"), DiagnosisJson(diagnosis, inputs_.drift)}};
        const std::optional<int> most = options_.maxOffsetMs;
        if (most && std::abs(offset.offsetMs) + offset.uncertaintyMs > *most) {
            outcome.exitCode = kUnitFailed;
            outcome.error = QStringLiteral("%1: the unit may be more than %2 ms off (--max-offset)")
                                .arg(session_.Named())
                                .arg(*most);
        }
        done_(outcome);
    }

    Session& session_;
    CheckTimeOptions options_;
    Done done_;
    diagnosis::DriftTracker tracker_;
    qint64 endsMs_;
    std::optional<uint8_t> source_;
    diagnosis::Inputs inputs_;
};

void Offsets(Session& session, const OffsetsOptions& options, const Done& done) {
    auto show = [&session, done](const unit::Offsets& offsets) {
        Outcome outcome;
        outcome.text = OffsetsText(PortShown(session), offsets);
        outcome.json = WithPort(session, OffsetsJson(offsets));
        done(outcome);
    };
    auto set = [&session, options, done, show](const std::optional<unit::Offsets>& before,
                                               bool ieee1344) {
        WriteOffsets(session, before,
                     {*options.offsets.irigOffset, *options.offsets.gpsOffset, ieee1344},
                     [&session, done, show](const Result<unit::Offsets>& offsets) {
                         if (offsets) {
                             show(*offsets);
                         } else {
                             done(NoAnswer(session, QStringLiteral("set offsets"), offsets.Why()));
                         }
                     });
    };
    if (options.set && options.offsets.ieee1344) {
        set(std::nullopt, *options.offsets.ieee1344);
        return;
    }
    // Reading first: the offsets to show, or the flag that --set without --ieee1344 keeps.
    session.AskOffsets([&session, options, done, show, set](const Result<unit::Offsets>& offsets) {
        if (!offsets) {
            done(NoAnswer(session, QLatin1String(kOffsets.name), offsets.Why()));
        } else if (options.set) {
            set(*offsets, offsets->ieee1344);
        } else {
            show(*offsets);
        }
    });
}

void GpsMessage(Session& session, const Done& done) {
    session.AskGpsMessage([&session, done](const Result<QString>& message) {
        if (!message) {
            done(NoAnswer(session, QLatin1String(kGpsMessage.name), message.Why()));
            return;
        }
        Outcome outcome;
        outcome.text = link::Printable(*message) + QLatin1Char('\n');
        outcome.json = WithPort(session, {{QStringLiteral("message"), *message}});
        done(outcome);
    });
}

void Reboot(Session& session, const Done& done) {
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

constexpr Option kJsonWatched{
    .name = "json", .help = "Write the result as one JSON document (with --watch, one a line)."};
constexpr Option kWatch{.name = "watch", .help = "Ask again every 500 ms until interrupted."};
constexpr Option kRequireSync{
    .name = "require-sync",
    .help = "Refuse (exit 1) when this computer's clock is not synchronised."};
constexpr Option kMaxOffset{
    .name = "max-offset",
    .value = "MS",
    .help =
        "Exit 1 unless the unit's offset, with its uncertainty, lies within MS milliseconds of "
        "this computer's clock.",
    .range = Range{0, 3'600'000, " milliseconds"}};
constexpr Option kFor{
    .name = "for",
    .value = "DURATION",
    .help =
        "Measure again and again for DURATION (90s, 10m, 2h; 10 s to a day) and give the "
        "drift."};
constexpr Option kSet{.name = "set", .help = "Change the offsets (and the flag) first."};
constexpr Option kIrig{
    .name = "irig",
    .value = "H",
    .help = "The IRIG-B offset, a whole number of hours from -23 to 23, with --set."};
constexpr Option kGps{
    .name = "gps",
    .value = "H",
    .help = "The GPS offset, a whole number of hours from -23 to 23, with --set."};
constexpr Option kIeee1344{
    .name = "ieee1344", .value = "on|off", .help = "The IEEE 1344 flag, on or off, with --set."};

std::optional<QString> ReadOffsets(const Given& given, Request& request) {
    OffsetsOptions options;
    options.set = given.IsSet(kSet);
    const bool values = given.IsSet(kIrig) || given.IsSet(kGps) || given.IsSet(kIeee1344);
    if (!options.set && values) {
        return QStringLiteral("offsets: --irig, --gps and --ieee1344 need --set");
    }
    if (options.set && (!given.IsSet(kIrig) || !given.IsSet(kGps))) {
        return QStringLiteral("offsets --set needs --irig and --gps");
    }
    // Each value as the settings table reads that setting on a command line.
    for (const Option* option : {&kIrig, &kGps, &kIeee1344}) {
        if (!given.IsSet(*option)) {
            continue;
        }
        const auto row = std::find_if(fleet::kSettings.begin(), fleet::kSettings.end(),
                                      [option](const fleet::SettingRow& setting) {
                                          return std::strcmp(option->name, setting.option) == 0;
                                      });
        const auto parsed =
            fleet::Parse(row->setting, given.Value(*option), fleet::Spelling::kCommandLine);
        if (const auto* refusal = std::get_if<QString>(&parsed)) {
            return *refusal;
        }
        options.offsets.Set(row->setting, std::get<fleet::Value>(parsed));
    }
    request.options = options;
    return std::nullopt;
}

std::optional<QString> ReadStatus(const Given& given, Request& request) {
    request.options = StatusOptions{given.IsSet(kWatch)};
    return std::nullopt;
}

int RunStatus(const Request& request, const Context& context) {
    return AskEach(request, context, Status, request.OptionsOf<StatusOptions>().watch);
}

std::optional<QString> ReadSetTime(const Given& given, Request& request) {
    request.options = SetTimeOptions{given.IsSet(kRequireSync)};
    return std::nullopt;
}

int RunSetTime(const Request& request, const Context& context) {
    const bool requireSync = request.OptionsOf<SetTimeOptions>().requireSync;
    return AskEach(request, context, [requireSync](Session& session, const Done& done) {
        SetTime(session, requireSync, done);
    });
}

// "90s", "10m", "2h" or plain seconds, 10 s to a day.
std::optional<int> DurationSeconds(const QString& text) {
    static const QRegularExpression duration(QStringLiteral("^(\\d{1,5})([smh]?)$"));
    const QRegularExpressionMatch match = duration.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const QString unit = match.captured(2);
    const int seconds = match.captured(1).toInt() * (unit == QLatin1String("h")   ? 3600
                                                     : unit == QLatin1String("m") ? 60
                                                                                  : 1);
    return seconds >= 10 && seconds <= 86'400 ? std::optional(seconds) : std::nullopt;
}

std::optional<QString> ReadCheckTime(const Given& given, Request& request) {
    CheckTimeOptions options;
    std::optional<QString> wrong = given.Number(kMaxOffset, options.maxOffsetMs);
    if (given.IsSet(kFor)) {
        options.forSeconds = DurationSeconds(given.Value(kFor));
        if (!options.forSeconds) {
            wrong = QStringLiteral("--for must be a duration from 10 s to a day: 90s, 10m or 2h");
        }
    }
    request.options = options;
    return wrong;
}

int RunCheckTime(const Request& request, const Context& context) {
    const CheckTimeOptions options = request.OptionsOf<CheckTimeOptions>();
    return AskEach(request, context, [options](Session& session, const Done& done) {
        std::make_shared<TimeCheck>(session, options, done)->Measure();
    });
}

int RunOffsets(const Request& request, const Context& context) {
    const OffsetsOptions options = request.OptionsOf<OffsetsOptions>();
    return AskEach(request, context, [options](Session& session, const Done& done) {
        Offsets(session, options, done);
    });
}

constexpr char kCheckTimeDescription[] =
    "Measures how far the unit's clock is from this computer's: polls until the unit's second\n"
    "changes, then places each request so that the unit reads its clock on its second boundary,\n"
    "narrowing the bounds as far as the line allows (a few seconds). Prints the offset with an\n"
    "uncertainty that holds: the true offset lies within offset ± uncertainty, wider on a line\n"
    "with a longer round trip. With --max-offset, exits 1 unless the whole of that lies within\n"
    "the limit.\n"
    "\n"
    "A second line names what the offset means and what to do: a GPS week-number rollover\n"
    "(1024 weeks behind), GPS time shown for UTC (18 s ahead), whole hours off this computer's\n"
    "local time (with the offsets command that corrects them), a default date, or a plain\n"
    "offset; \"possibly\" where this computer's clock error, the uncertainty or an expired\n"
    "leap-second list (/usr/share/zoneinfo/leap-seconds.list) leaves it open. With --for, it\n"
    "measures again and again for that long and gives the drift in ppm, and when it leaves\n"
    "±2 ms (or --max-offset).";

constexpr char kOffsetsDescription[] =
    "Shows the unit's IRIG-B and GPS offsets (whole hours) and its IEEE 1344 flag. With --set,\n"
    "changes them first: each offset a whole number of hours from -23 to 23 (anything else is\n"
    "refused before the port is opened); without --ieee1344 the unit's flag is kept. What is\n"
    "set is read back: a unit that answers or keeps another value fails (exit 1).";

}  // namespace

const Command kStatus{
    .name = "status",
    .summary = "show the unit's source, date, time and firmware version",
    .description =
        "Shows each unit's reference source, date (month/day/year), time and firmware version, as\n"
        "the window shows them. With --watch, again every 500 ms until interrupted.",
    .options = {UnitWork(Ports::kSeveral), kJsonWatched, kQuiet, kWatch},
    .read = ReadStatus,
    .run = RunStatus,
};

const Command kSetTime{
    .name = "set-time",
    .summary = "set the unit's clock from this computer's clock",
    .description =
        "Sets the unit's clock from this computer's local clock and shows what the unit answered.",
    .options = {UnitWork(Ports::kOne), Output(), kRequireSync},
    .read = ReadSetTime,
    .run = RunSetTime,
};

const Command kCheckTime{
    .name = "check-time",
    .summary = "measure the unit's clock against this computer's, to the millisecond",
    .description = kCheckTimeDescription,
    .options = {UnitWork(Ports::kOne), Output(), kMaxOffset, kFor},
    .read = ReadCheckTime,
    .run = RunCheckTime,
};

const Command kOffsets{
    .name = "offsets",
    .summary = "show, or with --set change, the offsets and the IEEE 1344 flag",
    .description = kOffsetsDescription,
    .options = {UnitWork(Ports::kOne), Output(), kSet, kIrig, kGps, kIeee1344},
    .read = ReadOffsets,
    .run = RunOffsets,
};

const Command kGpsMessage{
    .name = "gps-message",
    .summary = "show the unit's GPS message",
    .description = "Shows the unit's GPS message.",
    .options = {UnitWork(Ports::kOne), Output()},
    .run = [](const Request& request,
              const Context& context) { return AskEach(request, context, GpsMessage); },
};

const Command kReboot{
    .name = "reboot",
    .summary = "re-boot the unit and wait until it is back",
    .description = "Re-boots the unit and waits for it to report that the re-boot is complete.",
    .options = {UnitWork(Ports::kOne), Output()},
    .run = [](const Request& request,
              const Context& context) { return AskEach(request, context, Reboot); },
};

}  // namespace irig::cli
