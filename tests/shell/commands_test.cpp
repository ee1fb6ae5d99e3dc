#include <QCheckBox>
#include <QTimer>

#include "support/bytes.h"
#include "support/wait.h"
#include "support/windowtest.h"
#include "unit/changerecord.h"

namespace irig::test {
namespace {

class Commands : public WindowTest {
protected:
    Commands() {
        port.sent.clear();
        Receive(Bytes("03 41"));  // the first bytes of a GPS message, which a sender discards
    }
    // Whether the receive buffer was emptied: the rest of the GPS message no longer shows.
    bool Emptied() {
        Receive(Bytes("42 80 E1"));
        return Find<shell::TextBox>("txtGpsMessage")->text().isEmpty();
    }
    QByteArray Click(const char* button) {
        port.sent.clear();
        Button(button)->click();
        EXPECT_TRUE(Emptied()) << button;
        EXPECT_EQ(port.sent.size(), 1) << button;
        return port.sent.value(0);
    }
    void SetOffsets(const QString& irig, const QString& gps, Qt::CheckState flag) {
        Find<QLineEdit>("txtIrigOffset")->setText(irig);
        Find<QLineEdit>("txtGpsOffset")->setText(gps);
        Find<QCheckBox>("chkIEEE1344")->setCheckState(flag);
    }
};

TEST_F(Commands, RetrieveButtonsSendTheirConstantFrames) {
    EXPECT_EQ(Click("cmdRetreiveOffset"), Bytes("80 E0 02 80 E1"));
    Receive(Bytes("03 41"));
    EXPECT_EQ(Click("cmdRetreiveGpsMessage"), Bytes("80 E0 03 80 E1"));
}

TEST_F(Commands, PollTickSendsTheStatusRequestAndEmptiesTheBuffer) {
    window->tmrDateTime_Timer();
    EXPECT_EQ(port.sent, QList<QByteArray>{Bytes("80 E0 01 80 E1")});
    EXPECT_TRUE(Emptied());
}

TEST_F(Commands, SetOffsetsSendsWhatTheBoxesSayAndLeavesThemAlone) {
    struct Row {
        const char *irig, *gps;
        Qt::CheckState flag;
        const char* frame;
    };
    const Row rows[] = {{"5", "-3", Qt::Checked, "80 E2 02 05 FD 01 80 E3"},
                        {"99", "-99", Qt::Unchecked, "80 E2 02 17 E9 00 80 E3"},
                        {"2.5", "&H10", Qt::PartiallyChecked, "80 E2 02 02 10 00 80 E3"},
                        {"abc", " - 2", Qt::Checked, "80 E2 02 00 FE 01 80 E3"}};
    for (const Row& row : rows) {
        SetOffsets(QLatin1String(row.irig), QLatin1String(row.gps), row.flag);
        EXPECT_EQ(Click("cmdSetOffset"), Bytes(row.frame)) << row.irig;
        EXPECT_EQ(Find<QLineEdit>("txtIrigOffset")->text(), QLatin1String(row.irig));
    }
}

// Local wall-clock time as the host clock reports it.
status::HostTime At(QDate date, QTime time) {
    return status::HostTime(std::chrono::milliseconds(QDateTime(date, time).toMSecsSinceEpoch()));
}

TEST_F(Commands, SetTimeSendsTheSecondItsFrameArrivesInAndStaysResponsiveMeanwhile) {
    window->SetClock([] { return At(QDate(2026, 12, 6), QTime(14, 5, 8, 500)); });
    Find<QTimer>("tmrDateTime")->stop();  // only Set Time sends here
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    port.sent.clear();
    Button("cmdSetTime")->click();
    Button("cmdSetTime")->click();  // a second click during the wait adds nothing
    EXPECT_TRUE(port.sent.isEmpty()) << "nothing goes out before its time";
    ASSERT_TRUE(WaitUntil([&] { return !port.sent.isEmpty(); }, 2000));
    EXPECT_GT(ticks, 20) << "the window handled its events while it waited";
    EXPECT_FALSE(WaitUntil([&] { return port.sent.size() > 1; }, 600));
    EXPECT_EQ(port.sent, QList<QByteArray>{Bytes("80 E2 01 00 EA 07 0C 06 0E 05 09 80 E3")});
}

TEST_F(Commands, SetTimeReadsTheClockOnceSoMidnightCannotMixTwoDays) {
    // A clock that ticks past midnight between two readings.
    int readings = 0;
    window->SetClock([&] {
        return ++readings == 1 ? At(QDate(2026, 12, 6), QTime(23, 59, 59, 999))
                               : At(QDate(2026, 12, 7), QTime(0, 0, 5));
    });
    Find<QTimer>("tmrDateTime")->stop();
    port.sent.clear();
    Button("cmdSetTime")->click();
    ASSERT_TRUE(WaitUntil([&] { return !port.sent.isEmpty(); }, 2000));
    // 23:59:59.999 and 6.8 ms on the wire: the frame arrives in 00:00:01 of the new day.
    EXPECT_EQ(port.sent.last(), Bytes("80 E2 01 00 EA 07 0C 07 00 00 01 80 E3"));
    EXPECT_EQ(readings, 1);
}

// Offsets the window sends are recorded as changes, with what the unit last read back before
// them; a read is not.
TEST_F(Commands, SetIsRecordedWithTheOffsetsReadBeforeAndRetrieveIsNot) {
    QStringList changes;
    window->SetChangeSink([&](const QString& line) { changes.append(line); });
    Click("cmdRetreiveOffset");
    Receive(Bytes("80 E0 02 00 FB 00 80 E1"));  // IRIG-B 0, GPS -5, IEEE 1344 off
    SetOffsets(QStringLiteral("7"), QStringLiteral("-5"), Qt::Checked);
    Click("cmdSetOffset");
    EXPECT_EQ(changes, QStringList{QStringLiteral("COM1 (/dev/ttyFAKE0): offsets set by %1: IRIG-B "
                                                  "0 -> 7, IEEE 1344 off -> on (GPS -5 "
                                                  "unchanged), sent")
                                       .arg(unit::ChangeRecord::User())});
}

}  // namespace
}  // namespace irig::test
