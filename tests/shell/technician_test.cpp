// What the window tells and offers a technician beyond the written window: the status line (the
// port and why it failed, an update's time left and verdict, a silent unit), stale values greyed,
// Enter on buttons, what screen readers hear, the log saved to a file, and ports that exist
// standing out in the list. With the fake serial component and a steady clock the test drives.
#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QFile>
#include <QFont>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

#include "link/framecodec.h"
#include "support/bytes.h"
#include "support/hexrecords.h"
#include "support/portmapfolder.h"
#include "support/pty.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

class Technician : public WindowTest {
protected:
    Technician() {
        window->SetSteadyClock([this] { return now; });
    }

    void EnterFlashModeAndLoad(int blocks) {
        Receive(Bytes("80 F0"));
        Button("cmdFlashMode")->click();
        Receive(Bytes("80 F1"));
        const QString path = dir.filePath(QStringLiteral("f.hex"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(Lines(
            {DataRecord(static_cast<uint16_t>(0x4000 + 128 * (blocks - 1)), QByteArray(1, 'x'))}));
        file.close();
        window->SetFlashFileChooser([path] { return path; });
        Button("cmdLoad")->click();
        ASSERT_TRUE(Enabled("cmdProgram")) << Log().toStdString();
    }
    QString Status() const { return window->StatusLineText(); }
    bool ValuesGreyed() const {
        for (const char* name :
             {"lblDateData", "lblTimeData", "lblSourceData", "lblVersionNumber"}) {
            if (Find<QWidget>(name)->isEnabled()) {
                return false;
            }
        }
        return true;
    }

    // A control's value, or the text it holds.
    static QString Heard(QAccessibleInterface* control) {
        if (QAccessibleValueInterface* value = control->valueInterface()) {
            return value->currentValue().toString();
        }
        if (QAccessibleTextInterface* text = control->textInterface()) {
            return text->text(0, text->characterCount());
        }
        return control->text(QAccessible::Value);
    }

    qint64 now = 1'000'000;
    QTemporaryDir dir;
};

struct ReasonRow {
    const char* name;
    link::PortFailure failure;
    const char* says;
};

class PortReasons : public Technician, public testing::WithParamInterface<ReasonRow> {};

TEST_P(PortReasons, AFailedPickSaysWhyInTheStatusLine) {
    port.failingPorts.insert(QStringLiteral("COM7"));
    port.openFailure = GetParam().failure;
    auto* list = Find<QComboBox>("cmbComPort");
    list->setCurrentIndex(6);
    window->cmbComPort_Click();
    EXPECT_EQ(Log(), QStringLiteral("Error opening port COM7"));
    EXPECT_TRUE(Status().contains(QLatin1String(GetParam().says))) << Status().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Technician, PortReasons,
    testing::Values(
        ReasonRow{"missing_device",
                  {link::PortFailure::kNoSuchDevice, QStringLiteral("/dev/ttyS6"), {}, {}},
                  "no such device: COM7 is /dev/ttyS6, which is not there (map COM7 to your "
                  "adapter with a link "},
        ReasonRow{"in_use",
                  {link::PortFailure::kInUse,
                   QStringLiteral("/dev/ttyUSB0"),
                   {},
                   QStringLiteral("4194305")},  // above Linux's largest process id
                  "/dev/ttyUSB0 is in use by another program (process 4194305)"},
        ReasonRow{"in_use_by_a_program_that_is_named",
                  {link::PortFailure::kInUse,
                   QStringLiteral("/dev/ttyUSB0"),
                   {},
                   QString::number(QCoreApplication::applicationPid())},
                  "/dev/ttyUSB0 is in use by shell_tests (process "},
        ReasonRow{"permission",
                  {link::PortFailure::kPermissionDenied, QStringLiteral("/dev/null"), {}, {}},
                  "permission denied on /dev/null"},
        ReasonRow{"a_link_to_no_address",
                  {link::PortFailure::kBadAddress, QStringLiteral("rfc2217://127.0.0.1:24011/"),
                   QStringLiteral("/map/COM7"), QStringLiteral("a path after the port")},
                  "COM7 is mapped to \"rfc2217://127.0.0.1:24011/\" by /map/COM7, which is not a "
                  "terminal server's address: a path after the port"}),
    [](const testing::TestParamInfo<ReasonRow>& row) { return row.param.name; });

TEST_F(Technician, TheStatusLineFollowsThePort) {
    EXPECT_TRUE(Status().startsWith(QStringLiteral("COM1 → /dev/ttyFAKE0: open  ·  host clock ")))
        << Status().toStdString();
    window->cmbComPort_GotFocus();
    EXPECT_EQ(Status(), QStringLiteral("closed while choosing a port"));
    window->cmbComPort_Click();
    port.Lose(QStringLiteral("the device went away"));
    EXPECT_TRUE(Status().startsWith(QLatin1String("COM1 lost: the device went away; waiting")))
        << Status().toStdString();
}

TEST_F(Technician, AnUpdateShowsItsProgressTimeLeftAndVerdict) {
    EnterFlashModeAndLoad(10);
    Button("cmdProgram")->click();
    EXPECT_TRUE(Status().contains(QLatin1String("Programming: 0 of 10 blocks")))
        << Status().toStdString();
    now += 1000;
    Receive(Bytes("80 F2 FF 80 F3"));
    for (int block = 0; block < 4; ++block) {
        now += 200;
        Receive(port.sent.last());
    }
    window->WatchTick();
    // 4 blocks in 800 ms since the first was sent: 6 more take 1200 ms.
    EXPECT_EQ(window->UpdateRemainingMs(), 1200);
    EXPECT_TRUE(Status().contains(
        QStringLiteral("Programming: 4 of 10 blocks  ·  0:01 elapsed  ·  about 0:02 left")))
        << Status().toStdString();
    for (int block = 0; block < 6; ++block) {
        now += 200;
        Receive(port.sent.last());
    }
    ASSERT_TRUE(Log().endsWith(QStringLiteral("Programming complete\r\n")));
    EXPECT_TRUE(Status().contains(QLatin1String("Update done in 0:03"))) << Status().toStdString();

    Button("cmdProgram")->click();
    Receive(Bytes("80 F2 00 80 F3"));
    EXPECT_TRUE(Status().contains(
        QLatin1String("Update failed: the erase failed; press Program to start again")))
        << Status().toStdString();
}

TEST_F(Technician, ASilentUnitIsNamedAfterTenSecondsWithTheWaysOut) {
    EnterFlashModeAndLoad(3);
    Button("cmdProgram")->click();
    const qsizetype sent = port.sent.size();
    now += 9'999;
    window->WatchTick();
    EXPECT_FALSE(Status().contains(QLatin1String("No answer")));
    now += 1;
    window->WatchTick();
    EXPECT_TRUE(Status().contains(
        QLatin1String("No answer from the unit for 10 s: press Program to start again, or Exit")))
        << Status().toStdString();
    EXPECT_EQ(port.sent.size(), sent) << "nothing is retried by itself";
    EXPECT_FALSE(Log().contains(QLatin1String("No answer")));
}

TEST_F(Technician, ValuesGreyWhenStaleOrThePortIsClosedAndComeBackWithAReply) {
    const QByteArray clock = Bytes("80 E0 01 02 D6 07 03 07 09 05 1E 17 80 E1");
    Receive(clock);
    EXPECT_FALSE(ValuesGreyed());
    now += 1'500;
    window->tmrDateTime_Timer();
    EXPECT_FALSE(ValuesGreyed());
    now += 1;
    window->tmrDateTime_Timer();
    EXPECT_TRUE(ValuesGreyed());
    Receive(clock);
    EXPECT_FALSE(ValuesGreyed());
    window->cmbComPort_GotFocus();
    EXPECT_TRUE(ValuesGreyed());
}

TEST_F(Technician, EnterPressesTheFocusedButton) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        port.sent.clear();
        Button("cmdRetreiveOffset")->setFocus();
        QTest::keyClick(Button("cmdRetreiveOffset"), key,
                        key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        EXPECT_EQ(port.sent, QList<QByteArray>{Bytes("80 E0 02 80 E1")}) << key;
    }
}

struct SpokenRow {
    const char* control;
    const char* name;     // what a screen reader names it
    const char* value;    // its value or text, where it has one apart from its name
    const char* caption;  // the caption that labels it, if one does
};

// What a screen reader finds for each control: a value keeps its own text as its name and is
// labelled by its caption, so that both are heard; the status line is its whole text, as it
// changes.
TEST_F(Technician, ScreenReadersHearEachCaptionWithItsValue) {
    Receive(Bytes("80 E0 01 02 D6 07 03 07 09 05 1E 17 80 E1"));
    Find<QLineEdit>("txtIrigOffset")->setText(QStringLiteral("-5"));
    Receive(Bytes("80 E0 03 24 47 50 80 E1"));
    window->cmbComPort_GotFocus();
    const SpokenRow rows[] = {
        {"lblDateData", "03/07/2006", nullptr, "Date"},
        {"lblTimeData", "09:05:30", nullptr, "Time"},
        {"lblSourceData", "GPS", nullptr, "Source"},
        {"lblVersionNumber", "2.3", nullptr, "Version"},
        {"txtIrigOffset", "IRIG-B Offset", "-5", "IRIG-B Offset"},
        {"txtGpsOffset", "GPS Offset", "", "GPS Offset"},
        {"cmbComPort", "COM1", nullptr, "Com Port"},
        {"txtGpsMessage", "GPS Message", "$GP", nullptr},
        {"prbProgram", "Programming progress", "0", nullptr},
        {"statusLine", "closed while choosing a port", nullptr, nullptr},
    };
    for (const SpokenRow& row : rows) {
        QAccessibleInterface* control =
            QAccessible::queryAccessibleInterface(Find<QWidget>(row.control));
        ASSERT_NE(control, nullptr) << row.control;
        EXPECT_EQ(control->text(QAccessible::Name).toStdString(), row.name) << row.control;
        if (row.value != nullptr) {
            EXPECT_EQ(Heard(control).toStdString(), row.value) << row.control;
        }
        if (row.caption != nullptr) {
            QStringList captions;  // its caption, and the frame it stands in
            for (const auto& label : control->relations(QAccessible::Label)) {
                captions.append(label.first->text(QAccessible::Name));
            }
            EXPECT_TRUE(captions.contains(QLatin1String(row.caption)))
                << row.control << ": " << captions.join(QLatin1Char(',')).toStdString();
        }
    }
    // The status line is heard as it changes.
    window->cmbComPort_Click();
    EXPECT_TRUE(QAccessible::queryAccessibleInterface(Find<QWidget>("statusLine"))
                    ->text(QAccessible::Name)
                    .startsWith(QStringLiteral("COM1 → /dev/ttyFAKE0: open  ·  host clock ")));
    const QString offsets = QAccessible::queryAccessibleInterface(Button("cmdRetreiveOffset"))
                                ->text(QAccessible::Description);
    const QString gps = QAccessible::queryAccessibleInterface(Button("cmdRetreiveGpsMessage"))
                            ->text(QAccessible::Description);
    EXPECT_FALSE(offsets.isEmpty());
    EXPECT_NE(offsets, gps);
}

TEST_F(Technician, SaveLogAsWritesTheLogInUtf8WithThisPlatformsLineEnds) {
    Button("cmdReBoot")->click();
    Receive(Bytes("80 F0"));
    std::unique_ptr<QMenu> menu(window->LogMenu());
    QStringList entries;
    for (const QAction* action : menu->actions()) {
        if (!action->isSeparator()) {
            entries.append(
                action->text().remove(QLatin1Char('&')).section(QLatin1Char('\t'), 0, 0));
        }
    }
    EXPECT_TRUE(entries.contains(QStringLiteral("Copy"))) << entries.join(',').toStdString();
    EXPECT_TRUE(entries.contains(QStringLiteral("Select All")));
    ASSERT_EQ(entries.last(), QStringLiteral("Save Log As…"));

    const QString path = dir.filePath(QStringLiteral("log.txt"));
    window->SetLogFileChooser([path] { return path; });
    menu->actions().last()->trigger();
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(),
              QByteArray("Com port COM1 opened.Re-Boot Command Sent\nRe-Boot Complete\n"));
}

TEST_F(Technician, PortsThatExistStandOutInTheListWithTheirDevice) {
    TempPortMap ports;
    Pty pty;
    ASSERT_TRUE(ports.Map(QStringLiteral("COM3"), pty.SlavePath()));
    ASSERT_TRUE(ports.Map(QStringLiteral("COM4"), QStringLiteral("/dev/ttyUSB-unplugged")));
    window->cmbComPort_GotFocus();
    const QAbstractItemModel* model = Find<QComboBox>("cmbComPort")->model();
    const QModelIndex com3 = model->index(2, 0);
    EXPECT_EQ(model->data(com3).toString(), QStringLiteral("COM3"));
    EXPECT_TRUE(model->data(com3, Qt::FontRole).value<QFont>().bold());
    EXPECT_TRUE(model->data(com3, Qt::ToolTipRole).toString().startsWith(pty.SlavePath()));
    for (int row : {3, 9}) {  // mapped to nothing, and a /dev/ttyS node without an adapter
        EXPECT_FALSE(model->data(model->index(row, 0), Qt::FontRole).isValid()) << row;
        EXPECT_FALSE(model->data(model->index(row, 0), Qt::ToolTipRole).isValid()) << row;
    }
}

}  // namespace
}  // namespace irig::test
