#include "cli/commands.h"

#include <QDateTime>
#include <QTimer>
#include <chrono>

#include "link/framecodec.h"
#include "status/hostclock.h"
#include "status/replies.h"
#include "status/requests.h"
#include "status/settime.h"

namespace irig::cli {

namespace {

constexpr uint8_t kClock = 0x01;
constexpr uint8_t kOffsets = 0x02;
constexpr uint8_t kGps = 0x03;

Unit::Accept Reply(int16_t code, uint8_t command, qsizetype length) {
    return [=](int16_t endCode, const QByteArray& payload) {
        return endCode == code && !payload.isEmpty() && uint8_t(payload[0]) == command &&
               (length < 0 || payload.size() == length);
    };
}

QString OrNone(const std::optional<QString>& text) {
    return text && !text->isEmpty() ? *text : QStringLiteral("(none)");
}

// The clock fields of a decoded clock reply.
QJsonObject ClockJson(const status::StatusView& view) {
    QJsonObject json{{QStringLiteral("source"), view.source.value_or(QString())},
                     {QStringLiteral("date"), view.date.value_or(QString())},
                     {QStringLiteral("time"), view.time.value_or(QString())}};
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

int ReplyTimeout(const Request& request, qsizetype requestBytes, qsizetype replyBytes) {
    return request.timeoutMs.value_or(1000 + 4 * WireMilliseconds(requestBytes + replyBytes));
}

int RebootTimeout(const Request& request) {
    return request.timeoutMs.value_or(10'000);
}

Outcome NoAnswer(const Unit& unit, const QString& what) {
    Outcome outcome;
    outcome.exitCode = kUnitFailed;
    outcome.error = QStringLiteral("%1: %2: %3").arg(unit.Named(), what, unit.Failure());
    outcome.json =
        WithPort(unit, {{QStringLiteral("error"), what + QStringLiteral(": ") + unit.Failure()}});
    return outcome;
}

void Status(Unit& unit, const Request& request, const Done& done) {
    const QByteArray ask = status::StatusRequest();
    unit.Ask(ask, Reply(link::code::kEndRead, kClock, 10), ReplyTimeout(request, ask.size(), 16),
             [&unit, done](const std::optional<QByteArray>& payload) {
                 if (!payload) {
                     done(NoAnswer(unit, QStringLiteral("status")));
                     return;
                 }
                 const status::StatusView view =
                     status::DecodeReply(link::code::kEndRead, *payload);
                 Outcome outcome;
                 outcome.text = QStringLiteral("%1: %2  %3  %4  version %5\n")
                                    .arg(unit.Port(), OrNone(view.source), *view.date, *view.time,
                                         *view.version);
                 outcome.json = WithPort(unit, ClockJson(view));
                 done(outcome);
             });
}

// On time, as the window does it; then the unit's clock read back and compared with this
// computer's at whole-second resolution.
void SetTime(Unit& unit, const Request& request, const Done& done) {
    const std::optional<status::KernelClock> kernel = status::ReadKernelClock();
    const QString hostClock = status::HostClockText(kernel);
    if (request.requireSync && status::Trust(kernel) != status::ClockTrust::kSynchronised) {
        Outcome refused;
        refused.exitCode = kUnitFailed;
        refused.error =
            QStringLiteral("%1: not set, --require-sync: %2").arg(unit.Named(), hostClock);
        refused.json = WithPort(unit, {{QStringLiteral("error"), refused.error},
                                       {QStringLiteral("hostClock"), hostClock}});
        done(refused);
        return;
    }
    const status::SetTimeSend send = status::PlanSetTimeRequest(std::chrono::system_clock::now());
    const QString sent = send.plan.second.toString(QStringLiteral("MM/dd/yyyy HH:mm:ss"));
    auto readBack = [&unit, request, done, hostClock, sent](const status::StatusView& answer) {
        const QByteArray ask = status::StatusRequest();
        unit.Ask(
            ask, Reply(link::code::kEndRead, kClock, 10), ReplyTimeout(request, ask.size(), 16),
            [&unit, done, hostClock, sent, answer](const std::optional<QByteArray>& payload) {
                if (!payload) {
                    done(NoAnswer(unit, QStringLiteral("reading the clock back")));
                    return;
                }
                const QDateTime host = QDateTime::currentDateTime();
                const QDateTime unitClock(
                    QDate(uint8_t((*payload)[3]) << 8 | uint8_t((*payload)[2]), (*payload)[4],
                          (*payload)[5]),
                    QTime((*payload)[6], (*payload)[7], (*payload)[8]));
                const QDateTime hostSecond = host.addMSecs(-host.time().msec());
                const qint64 ahead = hostSecond.secsTo(unitClock);
                const status::StatusView read = status::DecodeReply(link::code::kEndRead, *payload);
                Outcome outcome;
                outcome.text =
                    QStringLiteral(
                        "%1: set to %2, its last byte arriving as that second "
                        "began; the unit answered %3  %4  %5\n"
                        "%1: read back %6, this computer %7: %8 (whole seconds)\n"
                        "%1: %9\n")
                        .arg(unit.Port(), sent, OrNone(answer.source), *answer.date, *answer.time,
                             *read.time, hostSecond.toString(QStringLiteral("HH:mm:ss")),
                             ahead == 0  ? QStringLiteral("the same second")
                             : ahead > 0 ? QStringLiteral("the unit is %1 s ahead").arg(ahead)
                                         : QStringLiteral("the unit is %1 s behind").arg(-ahead),
                             hostClock);
                outcome.json = WithPort(unit, {{QStringLiteral("sent"), sent},
                                               {QStringLiteral("answer"), ClockJson(answer)},
                                               {QStringLiteral("readBack"), ClockJson(read)},
                                               {QStringLiteral("unitAheadSeconds"), ahead},
                                               {QStringLiteral("hostClock"), hostClock}});
                done(outcome);
            });
    };
    QTimer::singleShot(
        std::chrono::round<std::chrono::milliseconds>(send.plan.wait), Qt::PreciseTimer, &unit,
        [&unit, request, done, send, readBack] {
            unit.Ask(send.frame, Reply(link::code::kEndSet, kClock, 9),
                     ReplyTimeout(request, send.frame.size(), 15),
                     [&unit, done, readBack](const std::optional<QByteArray>& payload) {
                         if (!payload) {
                             done(NoAnswer(unit, QStringLiteral("set-time")));
                             return;
                         }
                         // Read back in the middle of a second, where whole
                         // seconds on both sides compare fairly.
                         const int ms = QTime::currentTime().msec();
                         const auto answer = status::DecodeReply(link::code::kEndSet, *payload);
                         QTimer::singleShot((1500 - ms) % 1000, &unit,
                                            [readBack, answer] { readBack(answer); });
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
            status::SetOffsetsRequest(request.irigOffset, request.gpsOffset, ieee1344);
        unit.Ask(ask, Reply(link::code::kEndSet, kOffsets, 4),
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
    unit.Ask(read, Reply(link::code::kEndRead, kOffsets, 4), readTimeout,
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
    unit.Ask(ask, Reply(link::code::kEndRead, kGps, -1), ReplyTimeout(request, ask.size(), 200),
             [&unit, done](const std::optional<QByteArray>& payload) {
                 if (!payload) {
                     done(NoAnswer(unit, QStringLiteral("gps-message")));
                     return;
                 }
                 const QString message = QString::fromLatin1(payload->mid(1));
                 Outcome outcome;
                 outcome.text = message + QLatin1Char('\n');
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
