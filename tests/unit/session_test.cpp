// One unit's session, with the fake serial component or a simulated unit: each request ends with
// its answer or one typed failure saying why; a late answer after a time-out never passes for the
// next request's; and a port that goes away comes back as itself and is opened again.
#include "unit/session.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include "link/framecodec.h"
#include "link/portswitch.h"
#include "status/requests.h"
#include "support/bytes.h"
#include "support/fakeportcontroller.h"
#include "support/portmapfolder.h"
#include "support/simulatedport.h"
#include "support/unitserver.h"
#include "support/wait.h"

namespace irig::unit {
namespace {

const QByteArray kClock = test::Bytes("80 E0 01 02 D6 07 03 07 09 05 1E 17 80 E1");

// A session on the fake component, opened.
struct OnFake {
    OnFake() {
        auto fake = std::make_unique<test::FakePortController>();
        port = fake.get();
        session = std::make_unique<Session>(QStringLiteral("COM1"), std::move(fake), Timeouts{});
        session->Open();
        EXPECT_TRUE(test::WaitUntil([&] { return session->IsOpen(); }));
    }
    // Asks for the clock with a 200 ms wait, the answer (or failure) kept.
    void AskClock() {
        got.reset();
        session->Ask(status::StatusRequest(), {link::code::kEndRead, 0x01, 10}, 200,
                     [this](Result<Session::Reply> reply) { got = std::move(reply); });
    }
    bool Answered(int ms = 2000) {
        return test::WaitUntil([&] { return got.has_value(); }, ms);
    }

    test::FakePortController* port = nullptr;
    std::unique_ptr<Session> session;
    std::optional<Result<Session::Reply>> got;
};

struct FailureRow {
    const char* name;
    std::function<void(OnFake&)> meanwhile;  // right after the clock is asked for
    std::optional<Failure::Kind> kind;       // none: the clock is the answer
    const char* text;                        // the failure's whole text
};

class Requests : public testing::TestWithParam<FailureRow> {};

TEST_P(Requests, EndWithTheAnswerOrOneFailureThatSaysWhy) {
    const FailureRow& row = GetParam();
    OnFake fake;
    fake.AskClock();
    QTimer::singleShot(0, fake.port, [&] { row.meanwhile(fake); });
    ASSERT_TRUE(fake.Answered());
    ASSERT_EQ(static_cast<bool>(*fake.got), !row.kind.has_value());
    if (row.kind) {
        EXPECT_EQ(fake.got->Why().kind, *row.kind);
        EXPECT_EQ(fake.got->Why().text, QString::fromUtf8(row.text));
    } else {
        EXPECT_EQ((*fake.got)->payload.size(), 10);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Session, Requests,
    testing::Values(
        FailureRow{"the_clock", [](OnFake& f) { f.port->Deliver(kClock); }, std::nullopt, ""},
        FailureRow{
            "a_stray_frame_then_the_clock",
            [](OnFake& f) { f.port->Deliver(test::Bytes("80 E0 02 00 00 00 80 E1") + kClock); },
            std::nullopt, ""},
        FailureRow{"a_short_clock",
                   [](OnFake& f) { f.port->Deliver(test::Bytes("80 E0 01 02 03 80 E1")); },
                   Failure::Kind::kMisfit,
                   "an answer that does not fit: 3 bytes where 10 were expected"},
        FailureRow{"a_megabyte",
                   [](OnFake& f) {
                       f.port->Deliver(test::Bytes("80 E0 01") + QByteArray(1 << 20, 'x') +
                                       test::Bytes("80 E1"));
                   },
                   Failure::Kind::kTooLong, "an answer that does not fit: more than 65536 bytes"},
        FailureRow{"silence", [](OnFake&) {}, Failure::Kind::kSilent, "no answer within 200 ms"},
        FailureRow{"the_port_lost",
                   [](OnFake& f) { f.port->Lose(QStringLiteral("the device went away")); },
                   Failure::Kind::kPortLost, "the port closed: the device went away"},
        FailureRow{"interrupted", [](OnFake& f) { f.session->Cancel(); },
                   Failure::Kind::kInterrupted, "interrupted"}),
    [](const testing::TestParamInfo<FailureRow>& row) { return row.param.name; });

// The unit answers after the wait: that answer comes while the next request waits for the line to
// be quiet, so it is heard and not taken; the next request goes after the quiet and gets its own.
TEST(Session, ALateAnswerAfterATimeOutNeverPassesForTheNextRequests) {
    OnFake fake;
    fake.AskClock();
    ASSERT_TRUE(fake.Answered());
    ASSERT_EQ(fake.got->Why().kind, Failure::Kind::kSilent);
    fake.AskClock();
    QTimer::singleShot(50, fake.port, [&] { fake.port->Deliver(kClock); });  // the first's, late
    EXPECT_FALSE(test::WaitUntil([&] { return fake.port->sent.size() > 1; }, 120))
        << "the next request waits for the quiet";
    ASSERT_TRUE(test::WaitUntil([&] { return fake.port->sent.size() == 2; }, 1000));
    EXPECT_FALSE(fake.got.has_value()) << "the late answer was not its answer";
    fake.port->Deliver(kClock);
    ASSERT_TRUE(fake.Answered());
    EXPECT_TRUE(*fake.got);
}

// A back-to-back measurement whose unit reads a date that cannot be ends saying so.
TEST(Session, AMeasurementOfAnImpossibleDateSaysSo) {
    OnFake fake;
    std::optional<Result<status::ClockOffset>> measured;
    fake.session->MeasureClock({}, [&](Result<status::ClockOffset> offset) { measured = offset; });
    fake.port->Deliver(test::Bytes("80 E0 01 02 EA 07 0D 07 09 05 1E 17 80 E1"));  // month 13
    ASSERT_TRUE(test::WaitUntil([&] { return measured.has_value(); }));
    ASSERT_FALSE(*measured);
    EXPECT_EQ(measured->Why().kind, Failure::Kind::kImpossibleDate);
    EXPECT_EQ(measured->Why().text,
              QStringLiteral("the unit read an impossible date and time: 13/07/2026 09:05:30"));
}

// A measurement that cannot narrow (a clock stuck on one second, each reply 900 ms late) stops at
// its 20 s with what it has, the request in flight included: not a reply wait later.
TEST(Session, AMeasurementEndsAtItsTimeWithTheRequestInFlightIncluded) {
    OnFake fake;
    std::optional<Result<status::ClockOffset>> measured;
    QElapsedTimer took;
    took.start();
    fake.session->MeasureClock({}, [&](Result<status::ClockOffset> offset) { measured = offset; });
    qsizetype answered = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        for (; answered < fake.port->sent.size(); ++answered) {
            QTimer::singleShot(600, fake.port, [&] {
                fake.port->Deliver(test::Bytes("80 E0 01 02 EA 07 0C 08 0A 00 00 17 80 E1"));
            });
        }
    });
    answer.start(5);
    ASSERT_TRUE(test::WaitUntil([&] { return measured.has_value(); }, 25'000));
    EXPECT_TRUE(*measured) << measured->Why().text.toStdString();
    EXPECT_GE(took.elapsed(), 19'000);
    EXPECT_LE(took.elapsed(), 20'900) << "not a reply wait past its 20 s";
}

// Closed for a loan: the request in flight gets its answer first, a measurement between two
// requests ends there, and nothing goes out until the port is opened again.
TEST(Session, ClosedWhenIdleAfterTheRequestInFlight) {
    OnFake fake;
    fake.AskClock();
    std::optional<bool> answeredFirst;
    fake.session->CloseWhenIdle([&] { answeredFirst = fake.got.has_value(); });
    fake.port->Deliver(kClock);
    ASSERT_TRUE(test::WaitUntil([&] { return answeredFirst.has_value(); }));
    EXPECT_TRUE(*answeredFirst);
    EXPECT_TRUE(*fake.got);
    EXPECT_FALSE(fake.session->IsOpen());
    fake.AskClock();
    ASSERT_TRUE(fake.Answered());
    EXPECT_EQ(fake.got->Why().kind, Failure::Kind::kInterrupted);
    EXPECT_EQ(fake.port->sent.size(), 1) << "nothing sent on a closed port";

    fake.session->Open();
    ASSERT_TRUE(test::WaitUntil([&] { return fake.session->IsOpen(); }));
    std::optional<Result<status::ClockOffset>> measured;
    fake.session->MeasureClock({}, [&](Result<status::ClockOffset> offset) { measured = offset; });
    fake.port->Deliver(kClock);
    bool closed = false;
    fake.session->CloseWhenIdle([&] { closed = true; });
    ASSERT_TRUE(test::WaitUntil([&] { return closed && measured.has_value(); }));
    ASSERT_FALSE(*measured);
    EXPECT_EQ(measured->Why().kind, Failure::Kind::kInterrupted);
    EXPECT_EQ(fake.port->sent.size(), 2) << "the measurement's first request only";
}

struct ComingBack {
    const char* name;
    // The port to open, after setting up what it names; how it goes away and comes back.
    std::function<QString(struct Presence&)> setUp;
    std::function<void(struct Presence&)> away;
    std::function<void(struct Presence&)> back;
};

struct Presence : test::PluggableDevice {
    test::SimulatedPort* simulated = nullptr;
    std::unique_ptr<test::UnitServer> server;
    quint16 serverPort = 0;
};

class Lost : public testing::TestWithParam<ComingBack> {};

TEST_P(Lost, PortsComeBackAsThemselvesAndOpenAgain) {
    const ComingBack& row = GetParam();
    Presence presence;
    const QString name = row.setUp(presence);
    std::unique_ptr<link::PortController> serial;
    if (presence.server) {
        serial = std::make_unique<link::PortSwitch>();
    } else {
        auto simulated = std::make_unique<test::SimulatedPort>();
        presence.simulated = simulated.get();
        serial = std::move(simulated);
    }
    Session session(name, std::move(serial), Timeouts{300});
    session.KeepOpen();
    QStringList said;
    QObject::connect(&session, &Session::Lost, [&](const QString& why) { said << "lost: " + why; });
    QObject::connect(&session, &Session::Reopened, [&] { said << QStringLiteral("back"); });
    session.Open();
    ASSERT_TRUE(test::WaitUntil([&] { return session.IsOpen(); })) << name.toStdString();
    row.away(presence);
    ASSERT_TRUE(test::WaitUntil([&] { return !session.IsOpen(); }));
    row.back(presence);
    ASSERT_TRUE(test::WaitUntil([&] { return session.IsOpen(); }, 5000))
        << said.join('\n').toStdString();
    EXPECT_EQ(said.size(), 2) << said.join('\n').toStdString();
    std::optional<Result<Session::ClockAnswer>> clock;
    session.AskClock([&](Result<Session::ClockAnswer> answer) { clock = answer; });
    ASSERT_TRUE(test::WaitUntil([&] { return clock.has_value(); }));
    EXPECT_TRUE(*clock) << clock->Why().text.toStdString();
}

void Unplug(Presence& p) {
    p.Unplug();
    p.simulated->Unplug();
}

INSTANTIATE_TEST_SUITE_P(
    Session, Lost,
    testing::Values(ComingBack{"a_device",
                               [](Presence& p) {
                                   EXPECT_TRUE(p.Plug());
                                   return p.device;
                               },
                               Unplug, [](Presence& p) { EXPECT_TRUE(p.Plug()); }},
                    ComingBack{"a_port_map_link",
                               [](Presence& p) {
                                   EXPECT_TRUE(p.Plug());
                                   EXPECT_TRUE(p.map.Map(QStringLiteral("COM1"), p.device));
                                   return QStringLiteral("COM1");
                               },
                               Unplug, [](Presence& p) { EXPECT_TRUE(p.Plug()); }},
                    ComingBack{"a_terminal_server",
                               [](Presence& p) {
                                   p.server = std::make_unique<test::UnitServer>(
                                       test::UnitServer::Behaviour::kRfc2217);
                                   p.serverPort = static_cast<quint16>(
                                       p.server->Address().section(QLatin1Char(':'), -1).toUInt());
                                   return p.server->Address();
                               },
                               [](Presence& p) { p.server.reset(); },
                               [](Presence& p) {
                                   p.server = std::make_unique<test::UnitServer>(
                                       test::UnitServer::Behaviour::kRfc2217,
                                       std::make_shared<test::SimUnit>(), p.serverPort);
                               }}),
    [](const testing::TestParamInfo<ComingBack>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::unit
