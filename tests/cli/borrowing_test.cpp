// Units borrowed from a monitor around their ports: each lease taken before its port opens and
// given back once it has closed, whatever the work's outcome; a refused lease is a port that
// cannot be opened; a rollout borrows wave by wave; a busy port the local monitor watches is said
// to be. Against the scripted monitor, with simulated units in-process.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QRegularExpression>
#include <csignal>

#include "support/fakemonitor.h"
#include "support/inprocess.h"

namespace irig::cli {
namespace {

using test::FakeMonitor;

class Borrowed : public InProcess {
protected:
    // Runs `arguments` with --monitor; `open` counts the ports open as each request reaches the
    // monitor.
    Ran RunBorrowing(const QString& arguments, const QUrl& url) {
        int live = 0;
        monitor.seen = [&](const FakeMonitor::Request& request) {
            seen << request.Line();
            open.push_back(live);
        };
        unit::PortMaker counted = [this, &live, inner = Ports()]() mutable {
            auto port = inner();
            ++live;
            QObject::connect(port.get(), &QObject::destroyed, [&live] { --live; });
            return port;
        };
        QStringList words = (arguments + QStringLiteral(" --monitor ") + url.toString())
                                .split(QLatin1Char(' '), Qt::SkipEmptyParts);
        words.replaceInStrings(QStringLiteral("DIR"), dir.path());
        return test::RunIrigctl(words, counted, &changes, localMonitor);
    }

    FakeMonitor monitor;
    QStringList seen;       // the requests the monitor was sent, without by and seconds
    std::vector<int> open;  // ports open at each
};

struct OutcomeRow {
    const char* name;
    const char* arguments;
    int exitCode;
    const char* says;      // a regular expression found on standard error
    bool lent = true;      // the monitor lends the unit
    bool opened = true;    // a port was made
    bool nowhere = false;  // no monitor answers
    std::function<std::optional<QByteArray>(const QByteArray&)> answerInstead = {};
    bool interruptAtTake = false;
};

class Outcomes : public Borrowed, public testing::WithParamInterface<OutcomeRow> {};

TEST_P(Outcomes, TakeBeforeOpenAndReturnAfterClose) {
    const OutcomeRow& row = GetParam();
    AddUnit();
    answerInstead = row.answerInstead;
    if (!row.lent) {
        monitor.lent.insert(QStringLiteral("/dev/ttyS0"), QStringLiteral("theirs"));
    }
    if (row.interruptAtTake) {
        monitor.script = [](const FakeMonitor::Request& request) {
            if (request.method == "POST") {
                std::raise(SIGINT);
            }
            return std::optional<FakeMonitor::Answer>();
        };
    }
    const QUrl url = row.nowhere ? FakeMonitor::Nowhere() : monitor.Url();
    const Ran ran = RunBorrowing(QLatin1String(row.arguments), url);
    EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err.toStdString();
    EXPECT_TRUE(QRegularExpression(QLatin1String(row.says)).match(ran.err).hasMatch())
        << ran.err.toStdString();
    EXPECT_EQ(ports.empty(), !row.opened);
    EXPECT_TRUE(std::all_of(open.begin(), open.end(), [](int live) { return live == 0; }))
        << "no port is open while a lease is taken or given back";
    if (!row.lent || row.nowhere) {
        return;
    }
    ASSERT_EQ(seen.size(), 2) << seen.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(seen[0], QStringLiteral("POST /lease port=/dev/ttyS0"));
    EXPECT_TRUE(seen[1].startsWith(QLatin1String("DELETE /lease port=/dev/ttyS0&lease=")))
        << seen[1].toStdString();
    EXPECT_TRUE(monitor.lent.isEmpty()) << "given back";
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Outcomes,
    testing::Values(OutcomeRow{"done", "status --port COM1", 0, "^$"},
                    OutcomeRow{"unit_failed", "check-time --port COM1 --timeout 50", 1,
                               "no answer within", true, true, false,
                               [](const QByteArray&) { return std::optional(QByteArray()); }},
                    OutcomeRow{"interrupted_at_work", "status --port COM1", 130, "", true, true,
                               false,
                               [](const QByteArray&) {
                                   std::raise(SIGINT);
                                   return std::optional<QByteArray>();
                               }},
                    OutcomeRow{"interrupted_while_lent",
                               "status --port COM1",
                               130,
                               "not started: interrupted",
                               true,
                               false,
                               false,
                               {},
                               true},
                    OutcomeRow{"lent_to_another", "status --port COM1 --json", 4,
                               "^COM1: cannot open the port: /dev/ttyS0 is lent to 127\\.0\\.0\\.1 "
                               "\\(irigctl flash \\(pid 1\\)\\) until 2026-12-08T14:03:07Z\\n$",
                               false, false},
                    OutcomeRow{"no_monitor", "reboot --port COM1", 4,
                               "^COM1: cannot open the port: no irigctl monitor answers at "
                               "http://127\\.0\\.0\\.1:\\d+ \\(connection refused\\)\\n$",
                               true, false, true}),
    [](const testing::TestParamInfo<OutcomeRow>& row) { return row.param.name; });

// A refused unit says so in its JSON entry too, and hides no other unit: the one lent is served.
TEST_F(Borrowed, ARefusalHidesNoOtherUnit) {
    AddUnit();
    AddUnit();
    monitor.lent.insert(QStringLiteral("/dev/ttyS0"), QStringLiteral("theirs"));
    const Ran ran = RunBorrowing(QStringLiteral("status -p COM1 -p COM2 --json"), monitor.Url());
    EXPECT_EQ(ran.exitCode, 4);
    const QJsonArray units = Json(ran)[QStringLiteral("units")].toArray();
    ASSERT_EQ(units.size(), 2);
    EXPECT_TRUE(units[0][QStringLiteral("error")].toString().contains(QLatin1String("is lent to")));
    EXPECT_EQ(units[1][QStringLiteral("source")].toString(), QStringLiteral("GPS"));
    EXPECT_EQ(monitor.lent.keys(), QStringList{QStringLiteral("/dev/ttyS0")}) << "theirs stays";
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
    EXPECT_EQ(seen[0], QStringLiteral("POST /lease port=/dev/ttyS0"));
    EXPECT_TRUE(seen[1].startsWith(QLatin1String("DELETE /lease port=/dev/ttyS0")));
    EXPECT_EQ(seen[2], QStringLiteral("POST /lease port=/dev/ttyS1"));
    EXPECT_TRUE(seen[3].startsWith(QLatin1String("DELETE /lease port=/dev/ttyS1")));
}

// A busy port, with no monitor named: the monitor of this computer is asked whether it watches it.
TEST_F(InProcess, ABusyPortSaysWhoWatchesIt) {
    const struct {
        QStringList watched;
        const char* says;  // %1: the local monitor's address
    } rows[] = {
        {{},
         "COM7: cannot open the port: COM7 is watched by irigctl monitor at %1: add --monitor "
         "http://%1 to borrow it\n"},
        {{QStringLiteral("/dev/ttyS0")},
         "COM7: cannot open the port: /dev/ttyS6 is in use by another program (process 25974)\n"},
    };
    FakeMonitor local;
    localMonitor = local.Url();
    failOpen = link::PortFailure{
        link::PortFailure::kInUse, QStringLiteral("/dev/ttyS6"), {}, QStringLiteral("25974")};
    for (const auto& row : rows) {
        units = {};
        AddUnit();
        local.watched = row.watched;
        const Ran ran = Run(QStringLiteral("status --port COM7"));
        EXPECT_EQ(ran.exitCode, 4);
        EXPECT_EQ(ran.err, QString::fromUtf8(row.says).replace(
                               QStringLiteral("%1"),
                               QStringLiteral("127.0.0.1:%1").arg(local.Url().port())));
        EXPECT_EQ(local.requests.back().Line(), QStringLiteral("GET /lease port=/dev/ttyS6"));
    }
}

}  // namespace
}  // namespace irig::cli
