#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "support/windowtest.h"

namespace irig::test {
namespace {

class Startup : public WindowTest {};

TEST_F(Startup, SetsTheSpeedBeforeOpeningCom1AndReportsIt) {
    EXPECT_EQ(port.calls, (QStringList{QStringLiteral("baud 19200"), QStringLiteral("open COM1")}));
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened."));
    port.sent.clear();
    Receive(QByteArray::fromHex("80F2FF80F3"));  // idle: an erase result starts nothing
    EXPECT_TRUE(port.sent.isEmpty());
}

TEST_F(Startup, ListsCom1ToCom4096WithCom1Selected) {
    auto* list = Find<QComboBox>("cmbComPort");
    ASSERT_EQ(list->count(), 4096);
    EXPECT_EQ(list->itemText(0), QStringLiteral("COM1"));
    EXPECT_EQ(list->itemText(9), QStringLiteral("COM10"));
    EXPECT_EQ(list->itemText(4095), QStringLiteral("COM4096"));
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_FALSE(list->isEditable());
}

TEST_F(Startup, LinkButtonsEnabledFlashButtonsDisabledProgressHidden) {
    for (const char* name : {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset",
                             "cmdRetreiveGpsMessage", "cmdReBoot"}) {
        EXPECT_TRUE(Enabled(name)) << name;
    }
    for (const char* name : {"cmdFlashMode", "cmdLoad", "cmdProgram", "cmdFlashExit"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    EXPECT_TRUE(Find<QProgressBar>("prbProgram")->isHidden());
    EXPECT_EQ(Find<QCheckBox>("chkIEEE1344")->checkState(), Qt::Unchecked);
}

TEST_F(Startup, OnlyTheFirstMenuEntryIsChecked) {
    auto* menu = Find<QMenu>("mnuComm");
    EXPECT_EQ(menu->title(), QStringLiteral("&Communications"));
    const QList<QAction*> entries = menu->actions();
    ASSERT_EQ(entries.size(), 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(entries[i]->objectName(), QStringLiteral("mnuCom%1").arg(i + 1));
        EXPECT_EQ(entries[i]->text(), QStringLiteral("Com&%1").arg(i + 1));
        EXPECT_EQ(entries[i]->isChecked(), i == 0) << i;
    }
}

TEST_F(Startup, CaptionsAndFramesAreTheWindowsOwn) {
    EXPECT_EQ(window->windowTitle(), QStringLiteral("IRIG-B Configuration"));
    EXPECT_FALSE(window->windowIcon().isNull());
    const std::pair<const char*, const char*> frames[] = {{"fraDateTime", "Date && Time"},
                                                          {"fraTimeOffset", "Time Offset"},
                                                          {"fraFlash", "Flash Memory"},
                                                          {"fraGpsMessage", "GPS Message"}};
    for (const auto& [name, title] : frames) {
        EXPECT_EQ(Find<QGroupBox>(name)->title(), QLatin1String(title)) << name;
    }
    const std::pair<const char*, const char*> captions[] = {{"lblDate", "Date"},
                                                            {"lblTime", "Time"},
                                                            {"lblSource", "Source"},
                                                            {"lblIrigOffset", "IRIG-B Offset"},
                                                            {"lblGpsOffset", "GPS Offset"},
                                                            {"lblVersion", "Version"},
                                                            {"lblComPort", "Com Port"},
                                                            {"lblDateData", ""},
                                                            {"lblTimeData", ""},
                                                            {"lblSourceData", ""},
                                                            {"lblVersionNumber", ""}};
    for (const auto& [name, caption] : captions) {
        EXPECT_EQ(Caption(name), QLatin1String(caption)) << name;
    }
    const std::pair<const char*, const char*> buttons[] = {{"cmdSetTime", "Set Time"},
                                                           {"cmdSetOffset", "Set"},
                                                           {"cmdRetreiveOffset", "Retreive"},
                                                           {"chkIEEE1344", "IEEE 1344"},
                                                           {"cmdReBoot", "Re-Boot"},
                                                           {"cmdFlashMode", "Flash Mode"},
                                                           {"cmdLoad", "Load"},
                                                           {"cmdProgram", "Program"},
                                                           {"cmdFlashExit", "Exit"},
                                                           {"cmdRetreiveGpsMessage", "Retreive"}};
    for (const auto& [name, caption] : buttons) {
        EXPECT_EQ(Button(name)->text(), QLatin1String(caption)) << name;
    }
}

TEST_F(Startup, TabOrderFollowsTheListAndEndsAtThePortList) {
    const char* order[] = {"cmdLoad",
                           "cmdProgram",
                           "txtFlashStatus",
                           "cmdFlashMode",
                           "cmdSetTime",
                           "cmdFlashExit",
                           "txtIrigOffset",
                           "txtGpsOffset",
                           "cmdSetOffset",
                           "cmdRetreiveOffset",
                           "chkIEEE1344",
                           "cmdReBoot",
                           "cmdRetreiveGpsMessage",
                           "txtGpsMessage",
                           "cmbComPort"};
    for (size_t i = 1; i < std::size(order); ++i) {
        QWidget* next = Find<QWidget>(order[i - 1])->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus) {
            next = next->nextInFocusChain();
        }
        EXPECT_EQ(next->objectName(), QLatin1String(order[i])) << "after " << order[i - 1];
    }
}

TEST_F(Startup, FocusRestsOnTheLogWhenShownSoThePortStaysOpen) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    EXPECT_EQ(QApplication::focusWidget(), Find<QWidget>("txtFlashStatus"));
    EXPECT_TRUE(port.open);
    EXPECT_TRUE(Enabled("cmdSetTime"));
}

TEST_F(Startup, TabInTheMultiLineBoxesMovesTheFocusOn) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto* log = Find<QWidget>("txtFlashStatus");
    log->setFocus();
    QTest::keyClick(log, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Find<QWidget>("cmdSetTime"));  // Flash Mode is disabled
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened."));
    auto* message = Find<QWidget>("txtGpsMessage");
    message->setFocus();
    QTest::keyClick(message, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Find<QWidget>("cmbComPort"));
}

TEST_F(Startup, PollsEvery500MillisecondsWithTheStatusRequest) {
    auto* timer = Find<QTimer>("tmrDateTime");
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 500);
    window->tmrDateTime_Timer();
    window->tmrDateTime_Timer();
    EXPECT_EQ(port.sent, (QList<QByteArray>(2, QByteArray("\x80\xE0\x01\x80\xE1", 5))));
}

TEST(StartupWithoutCom1, WindowOpensWithTheFailureLoggedAndThePollSilent) {
    FakePortController port;
    port.failingPorts.insert(QStringLiteral("COM1"));
    shell::IRIG window(port);
    EXPECT_EQ(window.findChild<shell::TextBox*>(QStringLiteral("txtFlashStatus"))->text(),
              QStringLiteral("Error opening port COM1"));
    for (const char* name : {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset",
                             "cmdRetreiveGpsMessage", "cmdReBoot"}) {
        EXPECT_FALSE(window.findChild<QPushButton*>(QLatin1String(name))->isEnabled()) << name;
    }
    window.tmrDateTime_Timer();
    EXPECT_TRUE(port.sent.isEmpty());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(QApplication::focusWidget()->objectName(), QStringLiteral("txtFlashStatus"));
}

}  // namespace
}  // namespace irig::test
