// A lost port is found again only as itself: each row maps or names a device, loses the port,
// changes what the system shows, and looks once. Devices are plain files in a temporary folder.
// A terminal server that refuses is tried with growing waits between tries.
#include "link/portwatch.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <functional>

#include "link/networkportcontroller.h"
#include "support/fakeportcontroller.h"
#include "support/portmapfolder.h"
#include "support/wait.h"

namespace irig::link {
namespace {

struct System {
    test::TempPortMap map;
    QTemporaryDir dev;
    QString byId = dev.filePath(QStringLiteral("by-id"));

    System() { QDir().mkpath(byId); }
    QString Device(const char* name) const { return dev.filePath(QLatin1String(name)); }
    void Plug(const char* name) const {
        QFile device(Device(name));
        EXPECT_TRUE(device.open(QIODevice::WriteOnly));
    }
    void Unplug(const char* name) const { QFile::remove(Device(name)); }
    void NameById(const char* device) const {
        QFile::remove(byId + QStringLiteral("/usb-FTDI_A1234"));
        EXPECT_TRUE(QFile::link(Device(device), byId + QStringLiteral("/usb-FTDI_A1234")));
    }
};

struct WatchRow {
    const char* name;
    const char* port;                           // COMn, or a device of the folder
    std::function<void(const System&)> before;  // with the port open
    std::function<void(const System&)> after;   // while it is lost
    const char* reopenedAt;                     // a device of the folder, or none
    const char* waitingFor;    // part of what the watch says while the port is not there
    bool neverOpened = false;  // the port was not there to open: the watch awaits it
};

class Watch : public testing::TestWithParam<WatchRow> {};

TEST_P(Watch, ReopensOnlyWhatTheChoiceNames) {
    const WatchRow& row = GetParam();
    System system;
    test::FakePortController port;
    PortWatch watch(port, system.byId);
    QSignalSpy reopened(&watch, &PortWatch::Reopened);
    system.Plug("ttyA");
    row.before(system);
    const QString name =
        QString(row.port).startsWith(QLatin1String("tty")) ? system.Device(row.port) : row.port;
    if (row.neverOpened) {
        system.Unplug("ttyA");
        watch.Await(name);
    } else {
        port.device = QFileInfo(system.Device("ttyA")).canonicalFilePath();
        watch.Opened(name);
        port.Lose(QStringLiteral("the device went away"));
        system.Unplug("ttyA");
    }
    watch.Check();
    port.calls.clear();
    const QString waitedFor = watch.Waiting();
    row.after(system);
    watch.Check();

    // What the status line says while the port is not back.
    const QString waiting = row.reopenedAt == nullptr ? watch.Waiting() : waitedFor;
    EXPECT_TRUE(waiting.contains(QLatin1String(row.waitingFor))) << waiting.toStdString();
    if (row.reopenedAt == nullptr) {
        EXPECT_TRUE(port.calls.isEmpty()) << port.calls.join(',').toStdString();
        EXPECT_TRUE(reopened.isEmpty());
        EXPECT_TRUE(watch.Watching());
    } else {
        const QString at = QFileInfo(system.Device(row.reopenedAt)).canonicalFilePath();
        EXPECT_EQ(port.calls, QStringList{QStringLiteral("open %1 at %2").arg(name, at)});
        EXPECT_EQ(reopened.size(), 1);
        EXPECT_FALSE(watch.Watching());
    }
}

void Nothing(const System&) {}

INSTANTIATE_TEST_SUITE_P(
    PortWatch, Watch,
    testing::Values(
        WatchRow{"same_link_and_target_back", "COM1",
                 [](const System& s) { s.map.Map(QStringLiteral("COM1"), s.Device("ttyA")); },
                 [](const System& s) { s.Plug("ttyA"); }, "ttyA", "where its port-map link"},
        WatchRow{"link_retargeted", "COM1",
                 [](const System& s) { s.map.Map(QStringLiteral("COM1"), s.Device("ttyA")); },
                 [](const System& s) {
                     s.Plug("ttyB");
                     s.map.Map(QStringLiteral("COM1"), s.Device("ttyB"));
                 },
                 "ttyB", "ttyA"},
        WatchRow{"link_removed", "COM1",
                 [](const System& s) { s.map.Map(QStringLiteral("COM1"), s.Device("ttyA")); },
                 [](const System& s) {
                     QFile::remove(s.map.Entry(QStringLiteral("COM1")));
                     s.Plug("ttyA");
                 },
                 nullptr, "which was removed"},
        WatchRow{"same_device_path_back", "ttyA", Nothing, [](const System& s) { s.Plug("ttyA"); },
                 "ttyA", "waiting for"},
        WatchRow{"by_id_name_back_at_another_device", "ttyA",
                 [](const System& s) { s.NameById("ttyA"); },
                 [](const System& s) {
                     s.Plug("ttyB");
                     s.NameById("ttyB");
                 },
                 "ttyB", "usb-FTDI_A1234"},
        WatchRow{"another_adapter_at_the_by_id_devices_old_path", "ttyA",
                 [](const System& s) { s.NameById("ttyA"); },
                 [](const System& s) {
                     QFile::remove(s.byId + QStringLiteral("/usb-FTDI_A1234"));
                     s.Plug("ttyA");
                 },
                 nullptr, "usb-FTDI_A1234"},
        WatchRow{"mapped_port_not_there_at_the_start", "COM1",
                 [](const System& s) { s.map.Map(QStringLiteral("COM1"), s.Device("ttyA")); },
                 [](const System& s) { s.Plug("ttyA"); }, "ttyA", "where its port-map link", true},
        WatchRow{"device_not_there_at_the_start", "ttyA", Nothing,
                 [](const System& s) { s.Plug("ttyA"); }, "ttyA", "waiting for", true}),
    [](const testing::TestParamInfo<WatchRow>& row) { return row.param.name; });

struct BackoffRow {
    const char* name;
    int capMs;
    double draw;             // the same for every wait
    std::vector<int> waits;  // in turn, from the first step of 1 s
};

class Waits : public testing::TestWithParam<BackoffRow> {};

TEST_P(Waits, DoubleUpToTheCapWithinTheUpperHalfOfEachStep) {
    const BackoffRow& row = GetParam();
    Backoff backoff(PortWatch::kFirstRetryMs, row.capMs);
    std::vector<int> waits;
    for (size_t i = 0; i < row.waits.size(); ++i) {
        waits.push_back(backoff.Next(row.draw));
    }
    EXPECT_EQ(waits, row.waits);
    backoff.Reset();
    EXPECT_EQ(backoff.Next(row.draw), row.waits.front()) << "starts over";
}

INSTANTIATE_TEST_SUITE_P(
    Backoff, Waits,
    testing::Values(
        BackoffRow{"monitor_longest", 30'000, 1.0, {1000, 2000, 4000, 8000, 16000, 30000, 30000}},
        BackoffRow{"monitor_shortest", 30'000, 0.0, {500, 1000, 2000, 4000, 8000, 15000, 15000}},
        BackoffRow{"window_midway", kRetryCapMs, 0.5, {750, 1500, 3000, 3750, 3750}},
        BackoffRow{"cap_below_the_first_step", 400, 1.0, {400, 400}}),
    [](const testing::TestParamInfo<BackoffRow>& row) { return row.param.name; });

// A server that refuses: each try ends before the next starts, no sooner than the lower half of
// its step, and each step is said once, up to the window's cap.
TEST(Backoff, ARefusingServerIsTriedLessAndLessOften) {
    quint16 closed = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closed = probe.serverPort();
    }
    NetworkPortController port;
    PortWatch watch(port);
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> tries;
    QObject::connect(&port, &PortController::OpenFinished, [&](int result) {
        EXPECT_NE(result, kPortOpened);
        tries.push_back(clock.elapsed());
    });
    QStringList said;
    QObject::connect(&watch, &PortWatch::WaitingChanged,
                     [&](const QString& waiting) { said.append(waiting); });
    watch.Await(QStringLiteral("socket://127.0.0.1:%1").arg(closed));
    ASSERT_TRUE(test::WaitUntil([&] { return tries.size() >= 3; }, 15'000));
    // Each wait is drawn from the upper half of its step; Qt's coarse timers may end 5% early.
    EXPECT_GE(tries[0], 475);
    EXPECT_GE(tries[1] - tries[0], 950);
    EXPECT_GE(tries[2] - tries[1], 1900);
    ASSERT_EQ(said.size(), 4) << said.join('\n').toStdString();
    const int steps[] = {1, 2, 4, kRetryCapMs / 1000};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(said[i].endsWith(QStringLiteral("next try within %1 s").arg(steps[i])))
            << said[i].toStdString();
    }
    EXPECT_TRUE(said[1].contains(QLatin1String("refused"))) << said[1].toStdString();
}

}  // namespace
}  // namespace irig::link
