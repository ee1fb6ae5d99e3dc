#include <QAction>
#include <QComboBox>
#include <QFocusEvent>
#include <QTest>
#include <QWheelEvent>

#include "support/windowtest.h"

namespace irig::test {
namespace {

const char* const kLinkButtons[] = {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset",
                                    "cmdRetreiveGpsMessage", "cmdReBoot"};

class PortSelection : public WindowTest {
protected:
    PortSelection() {
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        port.calls.clear();
        list = Find<QComboBox>("cmbComPort");
    }

    void EnterList() { list->setFocus(Qt::TabFocusReason); }
    void Pick(int index) {
        list->setCurrentIndex(index);
        emit list->activated(index);
    }

    QComboBox* list = nullptr;
};

TEST_F(PortSelection, PickThatCannotOpenReplacesTheLogAndDisablesTheLinkButtons) {
    port.failingPorts.insert(QStringLiteral("COM7"));
    EnterList();
    Pick(6);
    EXPECT_EQ(Log(), QStringLiteral("Error opening port COM7"));
    for (const char* name : kLinkButtons) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    EXPECT_EQ(list->currentText(), QStringLiteral("COM7"));
    EXPECT_EQ(QApplication::focusWidget(), Find<QWidget>("txtFlashStatus"));
    window->tmrDateTime_Timer();
    EXPECT_TRUE(port.sent.isEmpty());
}

TEST_F(PortSelection, EnteringTheListClosesThePortAndStopsOnlyThePoll) {
    Button("cmdRetreiveOffset")->setEnabled(false);  // a state the entry must not touch
    EnterList();
    EXPECT_EQ(port.calls, QStringList{QStringLiteral("close")});
    EXPECT_FALSE(Enabled("cmdSetTime"));
    EXPECT_TRUE(Enabled("cmdSetOffset"));
    EXPECT_FALSE(Enabled("cmdRetreiveOffset"));
    EXPECT_TRUE(Enabled("cmdRetreiveGpsMessage"));
    EXPECT_TRUE(Enabled("cmdReBoot"));
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened."));

    // Leaving without a pick keeps the port closed and the poll silent.
    Find<QWidget>("txtGpsMessage")->setFocus(Qt::TabFocusReason);
    window->tmrDateTime_Timer();
    EXPECT_TRUE(port.sent.isEmpty());
    EXPECT_EQ(port.calls, QStringList{QStringLiteral("close")});
}

// The buttons stay enabled with the port closed; what they would send says it was not sent.
TEST_F(PortSelection, ACommandWithThePortClosedSaysItWasNotSent) {
    const std::pair<const char*, const char*> rows[] = {
        {"cmdReBoot", "Re-Boot"},
        {"cmdFlashMode", "Flash Mode"},
        {"cmdSetOffset", "Set (offsets)"},
        {"cmdRetreiveOffset", "Retreive (offsets)"},
        {"cmdRetreiveGpsMessage", "Retreive (GPS message)"}};
    EnterList();
    Find<QWidget>("txtGpsMessage")->setFocus(Qt::TabFocusReason);
    for (const auto& [button, command] : rows) {
        Button(button)->setEnabled(true);
        Button(button)->click();
        EXPECT_TRUE(
            Log().endsWith(QStringLiteral("%1 not sent: the port is closed; pick a port\r\n")
                               .arg(QLatin1String(command))))
            << Log().toStdString();
    }
    EXPECT_FALSE(Log().contains(QStringLiteral("Command Sent")));
    EXPECT_TRUE(port.sent.isEmpty());
}

TEST_F(PortSelection, FocusBackFromTheListsOwnPopupIsNotANewEntry) {
    for (Qt::FocusReason reason : {Qt::PopupFocusReason, Qt::ActiveWindowFocusReason}) {
        QFocusEvent focusIn(QEvent::FocusIn, reason);
        QApplication::sendEvent(list, &focusIn);
    }
    EXPECT_TRUE(port.calls.isEmpty());
    EXPECT_TRUE(Enabled("cmdSetTime"));
}

TEST_F(PortSelection, SecondPickClosesTheFirstPortBeforeOpeningAndReportsOnlyItself) {
    EnterList();
    Pick(1);
    EXPECT_EQ(port.calls, (QStringList{QStringLiteral("close"), QStringLiteral("open COM2")}));
    EXPECT_EQ(Log(), QStringLiteral("Com port COM2 opened."));
    for (const char* name : kLinkButtons) {
        EXPECT_TRUE(Enabled(name)) << name;
    }
    EXPECT_EQ(QApplication::focusWidget(), Find<QWidget>("txtFlashStatus"));
}

TEST_F(PortSelection, PickingTheSelectedEntryAgainReopensIt) {
    port.failingPorts.insert(QStringLiteral("COM1"));
    EnterList();
    Pick(0);
    EXPECT_EQ(Log(), QStringLiteral("Error opening port COM1"));
    port.failingPorts.clear();
    EnterList();
    Pick(0);
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened."));
    EXPECT_TRUE(Enabled("cmdSetTime"));
}

void Wheel(QWidget* widget, int notches) {
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent wheel(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &wheel);
}

TEST_F(PortSelection, WheelOverTheListWithoutItsFocusPicksNothingAndClosesNothing) {
    Find<QWidget>("cmdSetOffset")->setFocus(Qt::TabFocusReason);
    for (int notches : {1, -1}) {
        Wheel(list, notches);
    }
    EXPECT_TRUE(port.calls.isEmpty());
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_TRUE(Enabled("cmdSetTime"));
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened."));
}

TEST_F(PortSelection, WheelInTheEnteredListPicksThePort) {
    EnterList();
    Wheel(list, 1);
    EXPECT_EQ(list->currentIndex(), 1);
    EXPECT_EQ(port.calls, (QStringList{QStringLiteral("close"), QStringLiteral("open COM2")}));
    EXPECT_EQ(Log(), QStringLiteral("Com port COM2 opened."));
}

class MenuEntries : public PortSelection, public testing::WithParamInterface<int> {};

TEST_P(MenuEntries, ChoosingAnEntryOnlyMovesTheCheckMark) {
    const int chosen = GetParam();
    window->findChild<QAction*>(QStringLiteral("mnuCom%1").arg(chosen))->trigger();
    window->findChild<QAction*>(QStringLiteral("mnuCom%1").arg(chosen))
        ->trigger();  // stays checked
    for (int entry = 1; entry <= 8; ++entry) {
        EXPECT_EQ(window->findChild<QAction*>(QStringLiteral("mnuCom%1").arg(entry))->isChecked(),
                  entry == chosen)
            << entry;
    }
    EXPECT_TRUE(port.calls.isEmpty());
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened."));
}

INSTANTIATE_TEST_SUITE_P(PortSelection, MenuEntries, testing::Range(1, 9));

}  // namespace
}  // namespace irig::test
