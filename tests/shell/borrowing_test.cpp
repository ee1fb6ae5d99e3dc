// The window and a monitor of this computer: a picked port the monitor watches is borrowed before
// it opens and given back when another is picked or the window closes; one it does not watch, or
// with no monitor there, opens as it always did; one lent to another stays closed, saying so.
#include <QComboBox>
#include <QSignalSpy>

#include "support/fakemonitor.h"
#include "support/portmapfolder.h"
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
    lease::PortBorrower borrower(row.monitor.isEmpty() ? monitor.Url() : row.monitor);
    borrower.SetCredentials([](const QString&) { return std::nullopt; });
    QSignalSpy ready(&borrower, &lease::PortBorrower::Ready);
    QSignalSpy refused(&borrower, &lease::PortBorrower::Refused);
    window = std::make_unique<shell::IRIG>(port, &borrower);  // picks COM1
    ASSERT_TRUE(WaitUntil([&] { return ready.size() + refused.size() == 1; }));
    EXPECT_EQ(port.open, !row.lent);
    EXPECT_TRUE(window->StatusLineText().contains(QLatin1String(row.status)));

    window->cmbComPort_GotFocus();  // and COM2 picked
    Find<QComboBox>("cmbComPort")->setCurrentIndex(1);
    window->cmbComPort_Click();
    ASSERT_TRUE(WaitUntil([&] { return ready.size() + refused.size() == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return !borrower.Returning(); })) << "COM1's return answered";
    EXPECT_EQ(monitor.lent.contains(QStringLiteral("/dev/ttyS0")), row.lent) << "COM1 given back";
    EXPECT_EQ(monitor.lent.contains(QStringLiteral("/dev/ttyS1")),
              row.watched.isEmpty() && row.monitor.isEmpty());
    window->close();
    ASSERT_TRUE(WaitUntil([&] { return !borrower.Returning(); }));
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

}  // namespace
}  // namespace irig::test
