// The clock measurement against a modelled unit and line, through both pacings: whatever the
// offset, the line's speed, the unit's delays, and replies that come late, after a time-out or not
// at all, every figure it gives holds the true offset, as narrow as the line allows; where replies
// come later than the poll, the window's pacing gives none and says so.
#include "unit/clockmeasurement.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <deque>
#include <random>

#include "link/protocol.h"
#include "unit/pollclock.h"
#include "unit/session.h"

namespace irig::unit {
namespace {

using status::ClockOffset;

constexpr qsizetype kRequest = 5;
constexpr qsizetype kReply = 14;
constexpr qint64 kHost = 1'765'000'000'123'456;  // the host's clock against the steady one, µs
constexpr int kPollMs = 500;

struct Line {
    const char* name;
    qint64 offset;      // the unit's clock minus the host's, µs
    bool paced;         // the bytes take their time at 19200 baud; else they arrive at once
    qint64 unitMost;    // the most the unit takes between a request's end and its reading, µs
    qint64 wayMost;     // the most the line (adapter, network) adds each way, µs
    qint64 widestMs;    // the uncertainty to reach; 0: no figure may come
    int stepAfter = 0;  // the host's clock steps by `step` µs after this many replies
    qint64 step = 0;
    qint64 late = 0;  // a request goes this much after its planned time, plus up to a tenth more
    bool busyHost = false;  // after the first reply, every other one is read 12 ms late
    qint64 wayLeast = 0;    // the least the line adds each way, µs
    Pacing pacing = Pacing::kBackToBack;
    int loseEvery = 0;           // every so many replies one is lost on the line
    bool figureRequired = true;  // (when widestMs is not 0)
};

// A reply on its way: when it arrives whole, and when the unit read its clock for it.
struct OnTheLine {
    qint64 arrival;
    qint64 reading;
};

status::ClockReading ReadingAt(qint64 unitSecond) {
    const QDateTime at = QDateTime::fromSecsSinceEpoch(unitSecond);
    status::ClockReading reading;
    reading.year = at.date().year();
    reading.month = at.date().month();
    reading.day = at.date().day();
    reading.hour = at.time().hour();
    reading.minute = at.time().minute();
    reading.second = at.time().second();
    return reading;
}

class Model {
public:
    explicit Model(const Line& line) : line_(line) {}

    // The unit reads its clock for a request sent at `sent` (steady µs); its reply joins the line
    // unless lost.
    void Send(qint64 sent) {
        const qint64 requestWire = line_.paced ? link::WireTime(kRequest).count() : 0;
        const qint64 replyWire = line_.paced ? link::WireTime(kReply).count() : 0;
        const qint64 reading = sent + OneWay() + requestWire + UpTo(line_.unitMost);
        const qint64 slowHost = line_.busyHost && replies_ % 2 == 1 ? 12'000 : 0;
        const qint64 arrival =
            std::max(reading + replyWire + OneWay() + slowHost, lastArrival_ + replyWire);
        if (line_.loseEvery > 0 && ++sentCount_ % line_.loseEvery == 0) {
            return;
        }
        lastArrival_ = arrival;
        line.push_back({arrival, reading});
    }
    qint64 Truth() const { return stepped_ ? line_.offset - line_.step : line_.offset; }
    qint64 Host() const { return stepped_ ? kHost + line_.step : kHost; }
    // The host's clock is stepped once so many replies have come.
    void BeforeSend() {
        stepped_ = stepped_ || (line_.stepAfter > 0 && replies_ == line_.stepAfter);
    }
    // The second the unit showed for a reading.
    qint64 UnitSecond(qint64 reading) {
        ++replies_;
        const qint64 micros = Host() + reading + Truth();
        return (micros >= 0 ? micros : micros - status::ClockCheck::kSecond + 1) /
               status::ClockCheck::kSecond;
    }
    qint64 UpTo(qint64 most) { return std::uniform_int_distribution<qint64>(0, most)(random_); }

    std::deque<OnTheLine> line;

private:
    qint64 OneWay() { return line_.wayLeast + UpTo(line_.wayMost - line_.wayLeast); }

    const Line& line_;
    std::mt19937 random_{7};
    qint64 lastArrival_ = 0;
    int replies_ = 0;
    int sentCount_ = 0;
    bool stepped_ = false;
};

// Back to back, as a session sends: each request when the measurement says, once the line is quiet
// after a time-out; the first reply after it is sent, within its wait, is its answer.
std::optional<ClockOffset> BackToBack(const Line& line, Model& model) {
    const qint64 wait = qint64{Timeouts{}.Reply(kRequest, kClockAnswerBytes)} * 1000;
    ClockMeasurement measurement(Pacing::kBackToBack);
    QuietAfterTimeout quiet;
    qint64 now = 0;
    for (int requests = 0; !measurement.Done() && requests < 400; ++requests) {
        model.BeforeSend();
        const qint64 planned = measurement.NextSend(model.Host() + now) - model.Host();
        qint64 sent = std::max(planned + line.late + model.UpTo(line.late / 10), now);
        for (;;) {  // what arrives before it goes is heard, and no answer
            sent = std::max(sent, quiet.SendableAt() * 1000);
            if (model.line.empty() || model.line.front().arrival > sent) {
                break;
            }
            quiet.Heard(model.line.front().arrival / 1000);
            model.line.pop_front();
        }
        model.Send(sent);
        if (model.line.empty() || model.line.front().arrival > sent + wait) {
            now = sent + wait;
            quiet.TimedOut(now / 1000, static_cast<int>(wait / 1000));
            continue;
        }
        const OnTheLine answer = model.line.front();
        model.line.pop_front();
        const qint64 host = model.Host();
        measurement.Add(ReadingAt(model.UnitSecond(answer.reading)), {host + sent, sent},
                        host + planned, host + answer.arrival, kReply);
        now = answer.arrival;
    }
    return measurement.Offset();
}

// Within the window's poll: a tick every 500 ms (counted again from a request placed late), each
// request sent, placed or held as the pacing says; every reply heard as it arrives.
std::optional<ClockOffset> WithinThePoll(const Line& line, Model& model, bool* gaveUp,
                                         std::optional<ClockOffset>* first) {
    PollPacing pacing;
    pacing.PortOpened();
    const qint64 never = std::numeric_limits<qint64>::max();
    qint64 nextTick = 0;
    qint64 placedAt = never;
    qint64 lookAt = never;
    std::optional<status::HostMicros> placedFor;
    auto send = [&](qint64 at, std::optional<status::HostMicros> planned) {
        model.BeforeSend();
        pacing.Sent({model.Host() + at, at}, planned, at / 1000);
        model.Send(at);
    };
    for (qint64 now = 0; pacing.Measuring() && now < 90'000'000;) {
        const qint64 arrival = model.line.empty() ? never : model.line.front().arrival;
        now = std::min({nextTick, placedAt, lookAt, arrival});
        if (now == arrival) {
            const OnTheLine reply = model.line.front();
            model.line.pop_front();
            const status::ClockReading clock = ReadingAt(model.UnitSecond(reply.reading));
            const std::optional<ClockOffset> offset =
                pacing.Heard(now / 1000, &clock, model.Host() + now, kReply);
            if (offset && !pacing.Measuring()) {
                return offset;
            }
            if (offset && !first->has_value()) {
                *first = offset;
                EXPECT_LT(now, 5'000'000) << "the first figure comes within seconds";
            }
        } else if (now == placedAt) {
            placedAt = never;
            const qint64 at = now + line.late + model.UpTo(line.late / 10);
            send(at, placedFor);
            nextTick = at + kPollMs * 1000;
        } else if (now == lookAt) {
            lookAt = never;
            const PollPacing::Look look = pacing.OnLook(now / 1000);
            if (look.kind == PollPacing::Look::kWait) {
                lookAt = look.lookAtMs * 1000;
            } else {
                *gaveUp = look.kind == PollPacing::Look::kGiveUp;
                send(now, std::nullopt);
                nextTick = now + kPollMs * 1000;
            }
        } else {
            nextTick = now + kPollMs * 1000;
            if (pacing.Holding() || placedAt != never) {
                continue;
            }
            const PollPacing::Tick tick = pacing.OnTick(model.Host() + now, now / 1000, kPollMs);
            if (tick.kind == PollPacing::Tick::kSend) {
                send(now, std::nullopt);
            } else if (tick.kind == PollPacing::Tick::kPlace) {
                placedAt = now + tick.delayMicros;
                placedFor = model.Host() + placedAt;
            } else {
                lookAt = now;
            }
        }
    }
    return std::nullopt;
}

class ModelledUnit : public testing::TestWithParam<Line> {};

TEST_P(ModelledUnit, EveryFigureHoldsTheTrueOffsetAsNarrowAsTheLineAllows) {
    const Line& line = GetParam();
    Model model(line);
    bool gaveUp = false;
    std::optional<ClockOffset> first;  // within the poll, the figure shown before the final one
    const std::optional<ClockOffset> found = line.pacing == Pacing::kBackToBack
                                                 ? BackToBack(line, model)
                                                 : WithinThePoll(line, model, &gaveUp, &first);
    if (first) {
        EXPECT_LE(std::abs(first->offsetMs * 1000 - model.Truth()), first->uncertaintyMs * 1000)
            << "the first figure: " << first->offsetMs << " ms ±" << first->uncertaintyMs;
    }
    if (line.widestMs == 0) {
        EXPECT_FALSE(found.has_value());
        EXPECT_TRUE(gaveUp) << "it says it cannot measure";
        return;
    }
    if (!found) {
        EXPECT_FALSE(line.figureRequired);
        return;
    }
    EXPECT_LE(std::abs(found->offsetMs * 1000 - model.Truth()), found->uncertaintyMs * 1000)
        << found->offsetMs << " ms ±" << found->uncertaintyMs;
    EXPECT_LE(found->uncertaintyMs, line.widestMs);
}

INSTANTIATE_TEST_SUITE_P(
    ClockMeasurement, ModelledUnit,
    testing::Values(
        Line{"ahead_at_19200", 137'000, true, 1'000, 200, 3},
        Line{"behind_at_19200", -2'500'000, true, 1'000, 200, 3},
        Line{"on_time_at_19200", 0, true, 1'000, 200, 3},
        Line{"a_fraction_behind_unthrottled", -1'234, false, 300, 100, 3},
        Line{"ahead_unthrottled", 137'000, false, 300, 100, 3},
        Line{"slow_unit_at_19200", 137'000, true, 6'000, 200, 10},
        // The host's clock is stepped 300 ms ahead once the boundary has been caught.
        Line{"host_clock_stepped_meanwhile", 137'000, true, 1'000, 200, 3, 60, 300'000},
        // A terminal server 25 ms away: readings cannot be placed closer than the round trip,
        // and the uncertainty says so.
        Line{"behind_a_far_terminal_server", 137'000, true, 1'000, 13'000, 30, 0, 0, 0, false,
             12'000},
        // The host's timer wakes 3 ms after the planned moment, give or take.
        Line{"late_timer_at_19200", 137'000, true, 1'000, 200, 2, 0, 0, 3'000},
        Line{"late_timer_unthrottled", 137'000, false, 300, 100, 2, 0, 0, 3'000},
        // A busy host reads some replies late, as late as a 19200 line would give them; the
        // first came back sooner than that line allows.
        Line{"unthrottled_behind_a_busy_host", 137'000, false, 300, 100, 3, 0, 0, 0, true},
        // Replies around the time-out: a late one never passes for the next request's answer.
        Line{"replies_around_the_time_out", 42'000, true, 1'000, 580'000, 2'000, 0, 0, 0, false,
             470'000, Pacing::kBackToBack, 0, false},
        Line{"lost_replies_back_to_back", 137'000, true, 1'000, 200, 3, 0, 0, 0, false, 0,
             Pacing::kBackToBack, 5},
        Line{"within_the_poll_at_19200", 137'000, true, 1'000, 200, 3, 0, 0, 0, false, 0,
             Pacing::kWithinPoll},
        Line{"within_the_poll_behind", -2'500'000, true, 1'000, 200, 3, 0, 0, 0, false, 0,
             Pacing::kWithinPoll},
        Line{"within_the_poll_losing_replies", 137'000, true, 1'000, 200, 3, 0, 0, 0, false, 0,
             Pacing::kWithinPoll, 7},
        // A satellite link: 600 ms each way, replies later than the poll.
        Line{"round_trip_above_the_poll", 42'000, true, 1'000, 620'000, 0, 0, 0, 0, false, 600'000,
             Pacing::kWithinPoll}),
    [](const testing::TestParamInfo<Line>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace irig::unit
