// The window and a monitor of this computer: a picked port the monitor watches is borrowed before
// it opens and given back when another is picked or the window closes, or SIGTERM or SIGHUP ends
// it; one it does not watch, or with no monitor there, opens as it always did; one lent to another
// stays closed, saying so.
#include <QComboBox>
#include <QCoreApplication>
#include <QTimer>
#include <csignal>

#include "link/portfailure.h"
#include "link/portswitch.h"

#include "support/fakemonitor.h"
#include "support/portmapfolder.h"
#include "support/pty.h"
#include "support/wait.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

struct BorrowRow {
    const char* name;
    QStringList watched;  // by the monitor; empty: every port
    bool lent;            // COM1 is lent to another
    QUrl monitor;         // empty: the scripted monitor's
    const char* status;   // part of the status line once decided; COM1 opens unless lent
};

class WindowBorrowing : public WindowAccess, public testing::WithParamInterface<BorrowRow> {};

TEST_P(WindowBorrowing, BorrowsThePickedPortWhileItStaysPicked) {
    const BorrowRow& row = GetParam();
    const TempPortMap map;  // COMn is /dev/ttyS<n-1>
    FakeMonitor monitor;
    FakePortController port;
    monitor.watched = row.watched;
    monitor.lent.insert(row.lent ? QStringLiteral("/dev/ttyS0") : QString(),
                        QStringLiteral("theirs"));
    monitor.seen = [&port](const auto&) { EXPECT_FALSE(port.open) << "opened only once lent"; };
    lease::Borrower borrower(row.monitor.isEmpty() ? monitor.Url() : row.monitor,
                             QStringLiteral("irig-config (test)"), 1);
    borrower.SetCredentials([](const QString&) { return std::nullopt; });
    window = std::make_unique<shell::IRIG>(port, &borrower);  // picks COM1
    ASSERT_TRUE(WaitUntil([&] {
        return port.open != row.lent &&
               window->StatusLineText().contains(QLatin1String(row.status));
    })) << window->StatusLineText().toStdString();

    window->cmbComPort_GotFocus();  // and COM2 picked
    Find<QComboBox>("cmbComPort")->setCurrentIndex(1);
    window->cmbComPort_Click();
    const bool lentCom2 = row.watched.isEmpty() && row.monitor.isEmpty();
    ASSERT_TRUE(WaitUntil([&] {
        return port.open && borrower.Outstanding() == (lentCom2 ? 1 : 0);
    })) << "COM1's return answered";
    EXPECT_EQ(monitor.lent.contains(QStringLiteral("/dev/ttyS0")), row.lent) << "COM1 given back";
    EXPECT_EQ(monitor.lent.contains(QStringLiteral("/dev/ttyS1")), lentCom2);
    window->close();
    ASSERT_TRUE(WaitUntil([&] { return borrower.Outstanding() == 0; }));
    EXPECT_FALSE(monitor.lent.contains(QStringLiteral("/dev/ttyS1"))) << "given back on closing";
}

INSTANTIATE_TEST_SUITE_P(
    Window, WindowBorrowing,
    testing::Values(BorrowRow{"watched", {}, false, {}, "borrowed from irigctl monitor"},
                    BorrowRow{"not_watched", {QStringLiteral("/dev/ttyS7")}, false, {}, "COM1"},
                    BorrowRow{"no_monitor", {}, false, kNowhere, "COM1"},
                    BorrowRow{"lent_to_another",
                              {},
                              true,
                              {},
                              "/dev/ttyS0 is lent to 127.0.0.1 (irigctl flash (pid 1)) until"}),
    [](const testing::TestParamInfo<BorrowRow>& row) { return row.param.name; });

struct EndRow {
    const char* name;
    int signal;
    int exitCode;
};

class WindowEnded : public WindowAccess, public testing::WithParamInterface<EndRow> {};

// As a logout or kill ends it: the port on a real device closes, its lock file gone, and the loan
// goes back before RunWindow returns.
TEST_P(WindowEnded, GivesItsLoanBackAndLeavesNoLockFile) {
    const TempPortMap map;
    const Pty pty;
    ASSERT_TRUE(map.Map(QStringLiteral("COM1"), pty.SlavePath()));
    FakeMonitor monitor;
    lease::Borrower borrower(monitor.Url(), QStringLiteral("irig-config (test)"), 1);
    borrower.SetCredentials([](const QString&) { return std::nullopt; });
    link::PortSwitch port;
    window = std::make_unique<shell::IRIG>(port, &borrower);  // picks COM1
    const QString pid = QString::number(QCoreApplication::applicationPid());
    QTimer open;  // the signal, once COM1 is lent and open
    QObject::connect(&open, &QTimer::timeout, [&] {
        if (!monitor.lent.isEmpty() && link::LockHolder(pty.SlavePath()) == pid) {
            open.stop();
            std::raise(GetParam().signal);
        }
    });
    open.start(20);
    QTimer::singleShot(30'000, window.get(), &QWidget::close);  // a failing test still ends
    EXPECT_EQ(shell::RunWindow(*window, &borrower), GetParam().exitCode);
    EXPECT_FALSE(open.isActive()) << "never lent and open";
    EXPECT_TRUE(monitor.lent.isEmpty()) << "given back";
    EXPECT_EQ(link::LockHolder(pty.SlavePath()), QString());
}

INSTANTIATE_TEST_SUITE_P(Window, WindowEnded,
                         testing::Values(EndRow{"sigterm", SIGTERM, 143},
                                         EndRow{"sighup", SIGHUP, 129}),
                         [](const testing::TestParamInfo<EndRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::test
