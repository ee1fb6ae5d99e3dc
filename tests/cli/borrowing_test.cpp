// Units borrowed from a monitor around their ports: each lease taken before its port opens and
// given back once it has closed, whatever the work's outcome; a refused lease is that unit's port
// that cannot be opened; a rollout borrows wave by wave; a busy port the local monitor watches is
// said to be. Against the scripted monitor, with simulated units in-process.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <csignal>

#include "support/fakemonitor.h"
#include "support/inprocess.h"

namespace irig::cli {
namespace {

using test::FakeMonitor;

class Borrowed : public InProcess {
protected:
    // Runs `arguments` borrowing from `url`; no port may be open while the monitor is asked.
    Ran RunBorrowing(const QString& arguments, const QUrl& url) {
        auto live = std::make_shared<int>(0);
        monitor.seen = [this, live](const FakeMonitor::Request& request) {
            seen << request.Line();
            EXPECT_EQ(*live, 0) << request.Line().toStdString() << " with a port open";
        };
        unit::PortMaker counted = [live, inner = Ports()]() mutable {
            auto port = inner();
            ++*live;
            QObject::connect(port.get(), &QObject::destroyed, [live] { --*live; });
            return port;
        };
        QStringList words = QString(arguments + QStringLiteral(" --monitor ") + url.toString())
                                .split(QLatin1Char(' '));
        return test::RunIrigctl(words, counted, &changes, localMonitor);
    }

    FakeMonitor monitor;
    QStringList seen;  // the requests the monitor was sent, without by and seconds
};

struct OutcomeRow {
    const char* name;
    const char* arguments;
    int exitCode;
    std::function<std::optional<QByteArray>(const QByteArray&)> answerInstead;
    bool interruptAtTake = false;
};

class Outcomes : public Borrowed, public testing::WithParamInterface<OutcomeRow> {};

TEST_P(Outcomes, TakeBeforeOpenAndReturnAfterClose) {
    AddUnit();
    answerInstead = GetParam().answerInstead;
    if (GetParam().interruptAtTake) {
        monitor.script = [](const FakeMonitor::Request&) {
            std::raise(SIGINT);
            return std::optional<FakeMonitor::Answer>();
        };
    }
    const Ran ran = RunBorrowing(QLatin1String(GetParam().arguments), monitor.Url());
    EXPECT_EQ(ran.exitCode, GetParam().exitCode) << ran.err.toStdString();
    ASSERT_EQ(seen.size(), 2) << seen.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(seen[0], QStringLiteral("POST /lease port=/dev/ttyS0"));
    EXPECT_TRUE(seen[1].startsWith(QLatin1String("DELETE /lease port=/dev/ttyS0&lease=")));
    EXPECT_TRUE(monitor.lent.isEmpty()) << "given back";
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Outcomes,
    testing::Values(OutcomeRow{"unit_failed", "check-time --port COM1 --timeout 50", 1,
                               [](const QByteArray&) { return std::optional(QByteArray()); }},
                    OutcomeRow{"interrupted_at_work", "status --port COM1", 130,
                               [](const QByteArray&) {
                                   std::raise(SIGINT);
                                   return std::optional<QByteArray>();
                               }},
                    OutcomeRow{"interrupted_while_lent", "status --port COM1", 130, {}, true}),
    [](const testing::TestParamInfo<OutcomeRow>& row) { return row.param.name; });

// A refused unit fails as a port that cannot be opened, in the monitor's words, and hides no other
// unit: the one lent is served.
TEST_F(Borrowed, ARefusalIsThatUnitsAlone) {
    AddUnit();
    AddUnit();
    monitor.lent.insert(QStringLiteral("/dev/ttyS0"), QStringLiteral("theirs"));
    const Ran ran = RunBorrowing(QStringLiteral("status -p COM1 -p COM2 --json"), monitor.Url());
    EXPECT_EQ(ran.exitCode, 4);
    EXPECT_EQ(ran.err, QStringLiteral("COM1: cannot open the port: /dev/ttyS0 is lent to 127.0.0.1 "
                                      "(irigctl flash (pid 1)) until 2026-12-08T14:03:07Z\n"));
    const QJsonArray units = Json(ran)[QStringLiteral("units")].toArray();
    EXPECT_TRUE(units[0][QStringLiteral("error")].toString().contains(QLatin1String("is lent to")));
    EXPECT_EQ(units[1][QStringLiteral("source")].toString(), QStringLiteral("GPS"));
    EXPECT_EQ(monitor.lent.keys(), QStringList{QStringLiteral("/dev/ttyS0")}) << "theirs stays";
}

// A lease lost while its unit works (its first renewal, due after 2/3 s, refused while the unit
// keeps silent for its 5 s) is said at once, and that unit's work stops then.
TEST_F(Borrowed, ALeaseLostStopsItsUnitsWork) {
    AddUnit();
    answerInstead = [](const QByteArray&) { return std::optional(QByteArray()); };
    monitor.script = [](const FakeMonitor::Request& request) {
        if (request.method != "POST") {
            return std::optional<FakeMonitor::Answer>();
        }
        return std::optional(request.query.hasQueryItem(QStringLiteral("lease"))
                                 ? FakeMonitor::Answer{409, R"({"error": "your lease ended"})"}
                                 : FakeMonitor::Answer{200, R"({"lease": "1", "seconds": 1})"});
    };
    const Ran ran = test::RunIrigctl(
        {"status", "--port", "COM1", "--timeout", "5000", "--monitor", monitor.Url().toString()},
        Ports(), &changes, localMonitor);
    EXPECT_TRUE(ran.err.contains(QLatin1String("'s lease ended: your lease ended: stopping\n")))
        << ran.err.toStdString();
    EXPECT_FALSE(ran.err.contains(QLatin1String("no answer"))) << ran.err.toStdString();
}

// One at a time, each unit is borrowed only once the one before has been given back.
TEST_F(Borrowed, ARolloutBorrowsWaveByWave) {
    AddUnit();
    AddUnit();
    const test::FirmwareFile firmware = test::MakeFirmwareFile(dir.path(), 0x400, 24);
    const Ran ran =
        RunBorrowing(QStringLiteral("flash %1 -p COM1 -p COM2 --max-parallel 1").arg(firmware.path),
                     monitor.Url());
    EXPECT_EQ(ran.exitCode, 0) << ran.err.toStdString();
    ASSERT_EQ(seen.size(), 4) << seen.join(QLatin1Char('\n')).toStdString();
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(seen[i].startsWith(QStringLiteral("%1 /lease port=/dev/ttyS%2")
                                           .arg(QLatin1String(i % 2 == 0 ? "POST" : "DELETE"))
                                           .arg(i / 2)))
            << seen[i].toStdString();
    }
}

// A busy port, with no monitor named: the monitor of this computer is asked whether it watches it.
TEST_F(InProcess, ABusyPortSaysWhoWatchesIt) {
    FakeMonitor local;
    localMonitor = local.Url();
    failOpen = link::PortFailure{link::PortFailure::kInUse, QStringLiteral("/dev/ttyS6"), {}, {}};
    for (const char* watched : {"/dev/ttyS6", "/dev/ttyS0"}) {
        AddUnit();
        local.watched = QStringList{QLatin1String(watched)};
        const Ran ran = Run(QStringLiteral("status --port COM7"));
        EXPECT_EQ(ran.exitCode, 4);
        EXPECT_EQ(ran.err,
                  QStringLiteral("COM7: cannot open the port: %1\n")
                      .arg(watched[9] == '6'
                               ? QStringLiteral("COM7 is watched by irigctl monitor at "
                                                "127.0.0.1:%1: add --monitor "
                                                "http://127.0.0.1:%1 to borrow it")
                                     .arg(local.Url().port())
                               : QStringLiteral("/dev/ttyS6 is in use by another program")));
    }
}

}  // namespace
}  // namespace irig::cli
