// The window and a monitor of this computer: a picked port the monitor watches is borrowed before
// it opens and given back when another is picked or the window closes; one it does not watch, or
// with no monitor there, opens as it always did; one lent to another stays closed, saying so.
#include <QComboBox>
#include <QSignalSpy>

#include "lease/portborrower.h"
#include "support/fakemonitor.h"
#include "support/portmapfolder.h"
#include "support/wait.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

struct BorrowRow {
    const char* name;
    QStringList watched;  // by the monitor; empty: every port
    bool lentToAnother;   // COM1 is
    bool nowhere;         // no monitor answers
    bool opened;          // COM1 opens
    const char* status;   // part of the status line once decided
};

class WindowBorrowing : public WindowAccess, public testing::WithParamInterface<BorrowRow> {
protected:
    TempPortMap map;  // COMn is /dev/ttyS<n-1>
    FakeMonitor monitor;
    FakePortController port;
};

TEST_P(WindowBorrowing, BorrowsThePickedPortWhileItStaysPicked) {
    const BorrowRow& row = GetParam();
    monitor.watched = row.watched;
    if (row.lentToAnother) {
        monitor.lent.insert(QStringLiteral("/dev/ttyS0"), QStringLiteral("theirs"));
    }
    std::vector<bool> openAtRequest;
    monitor.seen = [&](const FakeMonitor::Request&) { openAtRequest.push_back(port.open); };
    lease::PortBorrower borrower(row.nowhere ? FakeMonitor::Nowhere() : monitor.Url());
    borrower.SetCredentials([](const QString&) { return std::nullopt; });
    QSignalSpy decided(&borrower, &lease::PortBorrower::Ready);
    QSignalSpy refused(&borrower, &lease::PortBorrower::Refused);
    window = std::make_unique<shell::IRIG>(port, &borrower);  // picks COM1
    ASSERT_TRUE(WaitUntil([&] { return decided.size() + refused.size() == 1; }));
    EXPECT_EQ(port.open, row.opened);
    EXPECT_TRUE(window->StatusLineText().contains(QLatin1String(row.status)))
        << window->StatusLineText().toStdString();
    EXPECT_TRUE(std::none_of(openAtRequest.begin(), openAtRequest.end(), [](bool open) {
        return open;
    })) << "the port opens only once lent";

    window->cmbComPort_GotFocus();
    auto* list = window->findChild<QComboBox*>(QStringLiteral("cmbComPort"));
    list->setCurrentIndex(1);
    window->cmbComPort_Click();
    ASSERT_TRUE(WaitUntil([&] { return decided.size() + refused.size() == 2; }));
    EXPECT_EQ(monitor.lent.contains(QStringLiteral("/dev/ttyS0")), row.lentToAnother)
        << "COM1 given back once another port is picked";
    EXPECT_EQ(monitor.lent.contains(QStringLiteral("/dev/ttyS1")),
              !row.nowhere && row.watched.isEmpty());

    QSignalSpy released(&borrower, &lease::PortBorrower::Released);
    window->close();
    ASSERT_TRUE(WaitUntil([&] { return !borrower.Returning(); }));
    EXPECT_FALSE(monitor.lent.contains(QStringLiteral("/dev/ttyS1"))) << "given back on closing";
    EXPECT_FALSE(port.open);
}

INSTANTIATE_TEST_SUITE_P(
    Window, WindowBorrowing,
    testing::Values(BorrowRow{"watched", {}, false, false, true, "borrowed from irigctl monitor"},
                    BorrowRow{
                        "not_watched", {QStringLiteral("/dev/ttyS7")}, false, false, true, "COM1"},
                    BorrowRow{"no_monitor", {}, false, true, true, "COM1"},
                    BorrowRow{"lent_to_another",
                              {},
                              true,
                              false,
                              false,
                              "/dev/ttyS0 is lent to 127.0.0.1 (irigctl flash (pid 1)) until"}),
    [](const testing::TestParamInfo<BorrowRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::test
