#include <QCheckBox>
#include <QLocale>

#include "link/framecodec.h"
#include "support/bytes.h"
#include "support/scopedlocale.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

// Everything the reply decoding may change.
struct StatusControls {
    QString source, time, date, version, irigOffset, gpsOffset, gpsMessage;
    Qt::CheckState ieee1344 = Qt::Unchecked;
    bool operator==(const StatusControls&) const = default;
};

void PrintTo(const StatusControls& c, std::ostream* out) {
    *out << '{' << c.source.toStdString() << " | " << c.time.toStdString() << " | "
         << c.date.toStdString() << " | " << c.version.toStdString() << " | '"
         << c.irigOffset.toStdString() << "' | '" << c.gpsOffset.toStdString() << "' | "
         << c.ieee1344 << " | " << c.gpsMessage.toStdString() << '}';
}

class Decoding : public WindowTest {
protected:
    StatusControls Controls() const {
        return {Caption("lblSourceData"),
                Caption("lblTimeData"),
                Caption("lblDateData"),
                Caption("lblVersionNumber"),
                Find<QLineEdit>("txtIrigOffset")->text(),
                Find<QLineEdit>("txtGpsOffset")->text(),
                Find<shell::TextBox>("txtGpsMessage")->text(),
                Find<QCheckBox>("chkIEEE1344")->checkState()};
    }
    // A reply frame as the unit sends it: start code, escaped payload, end code.
    void Reply(uint8_t endCode, const char* payload) {
        const QByteArray escaped = link::EscapeBytes(Bytes(payload));
        Receive(QByteArray("\x80", 1) + char(endCode - 1) + escaped + QByteArray("\x80", 1) +
                char(endCode));
    }
    // Fills every status control with a value no reply below produces.
    void Prefill() {
        Reply(0xE1, "01 01 01 00 01 01 01 01 01 01");
        Reply(0xE1, "02 01 01 01");
        Reply(0xE1, "03 6F 6C 64");  // "old"
    }
};

const StatusControls kPrefilled{
    "Internal Crystal", "01:01:01", "01/01/0001", "0.1", " 1", " 1", "old", Qt::Checked};

struct ReplyRow {
    const char* name;
    uint8_t endCode;
    const char* payload;
    StatusControls expected;  // after Prefill and this reply
};

StatusControls With(std::function<void(StatusControls&)> change) {
    StatusControls controls = kPrefilled;
    change(controls);
    return controls;
}

const ReplyRow kReplyRows[] = {
    {"worked_example", 0xE1, "01 02 D6 07 03 07 09 05 1E 17", With([](auto& c) {
         c.source = "GPS", c.time = "09:05:30", c.date = "03/07/2006", c.version = "2.3";
     })},
    {"set_reply_has_no_version", 0xE3, "01 02 D6 07 03 07 09 05 1E",
     With([](auto& c) { c.source = "IRIG-B", c.time = "09:05:30", c.date = "03/07/2006"; })},
    {"ten_bytes_under_e3_ignored", 0xE3, "01 02 D6 07 03 07 09 05 1E 17", kPrefilled},
    {"nine_bytes_under_e1_ignored", 0xE1, "01 02 D6 07 03 07 09 05 1E", kPrefilled},
    {"eleven_bytes_under_e1_ignored", 0xE1, "01 02 D6 07 03 07 09 05 1E 17 00", kPrefilled},
    {"year_high_byte_capped", 0xE1, "01 01 FF FF 0C 1F 17 3B 3B FF",
     With([](auto& c) { c.time = "23:59:59", c.date = "12/31/5375", c.version = "25.5"; })},
    {"fields_not_range_checked", 0xE1, "01 01 05 00 0D 00 63 7B 00 00",
     With([](auto& c) { c.time = "99:23:00", c.date = "13/00/0005", c.version = "0.0"; })},
    {"offsets_negative_positive_cleared", 0xE1, "02 FB 05 00",
     With([](auto& c) { c.irigOffset = "-5", c.gpsOffset = " 5", c.ieee1344 = Qt::Unchecked; })},
    {"offsets_zero_most_negative_set", 0xE1, "02 00 80 01",
     With([](auto& c) { c.irigOffset = " 0", c.gpsOffset = "-128", c.ieee1344 = Qt::Checked; })},
    {"offsets_under_e3", 0xE3, "02 17 E9 00",
     With([](auto& c) { c.irigOffset = " 23", c.gpsOffset = "-23", c.ieee1344 = Qt::Unchecked; })},
    {"offsets_three_bytes_ignored", 0xE1, "02 05 05", kPrefilled},
    {"offsets_five_bytes_ignored", 0xE1, "02 05 05 00 00", kPrefilled},
    {"gps_message", 0xE1, "03 24 47 50 52 4D 43 2C 31 32",
     With([](auto& c) { c.gpsMessage = "$GPRMC,12"; })},
    {"gps_message_latin1", 0xE1, "03 E9 80 FF",
     With([](auto& c) { c.gpsMessage = QString::fromUtf8("\xC3\xA9\xC2\x80\xC3\xBF"); })},
    {"lone_03_empties_the_message", 0xE1, "03", With([](auto& c) { c.gpsMessage = ""; })},
    {"gps_message_under_e3_ignored", 0xE3, "03 41", kPrefilled},
    {"empty_payload_ignored", 0xE1, "", kPrefilled},
    {"unknown_command_ignored", 0xE1, "04 02 D6 07 03 07 09 05 1E 17", kPrefilled},
    {"clock_under_f3_ignored", 0xF3, "01 02 D6 07 03 07 09 05 1E 17", kPrefilled},
    {"clock_under_f7_ignored", 0xF7, "01 02 D6 07 03 07 09 05 1E", kPrefilled},
    {"offsets_under_f7_ignored", 0xF7, "02 05 05 00", kPrefilled},
    {"message_under_f3_ignored", 0xF3, "03 41", kPrefilled},
};

class Replies : public Decoding, public testing::WithParamInterface<ReplyRow> {};

TEST_P(Replies, ChangeExactlyTheirControls) {
    const ScopedLocale c(QLocale::c());
    Prefill();
    ASSERT_EQ(Controls(), kPrefilled);
    Reply(GetParam().endCode, GetParam().payload);
    EXPECT_EQ(Controls(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Decoding, Replies, testing::ValuesIn(kReplyRows),
                         [](const testing::TestParamInfo<ReplyRow>& row) {
                             return row.param.name;
                         });

TEST_F(Decoding, EverySourceCodeInBothColumns) {
    struct Row {
        uint8_t source;
        const char* afterRead;
        const char* afterSet;
    };
    const Row rows[] = {{0x01, "Internal Crystal", "Internal Crystal"},
                        {0x02, "GPS", "IRIG-B"},
                        {0x04, "IRIG-B", "GPS"},
                        {0x0C, "IRIG-B Bad", ""},
                        {0x00, "", ""},
                        {0x03, "", ""},
                        {0x08, "", ""},
                        {0xFF, "", ""}};
    for (const Row& row : rows) {
        Prefill();
        Reply(0xE1, QStringLiteral("01 %1 D6 07 03 07 09 05 1E 17")
                        .arg(row.source, 2, 16, QLatin1Char('0'))
                        .toLatin1());
        EXPECT_EQ(Caption("lblSourceData"), QLatin1String(row.afterRead)) << int(row.source);
        Prefill();
        Reply(0xE3, QStringLiteral("01 %1 D6 07 03 07 09 05 1E")
                        .arg(row.source, 2, 16, QLatin1Char('0'))
                        .toLatin1());
        EXPECT_EQ(Caption("lblSourceData"), QLatin1String(row.afterSet)) << int(row.source);
    }
}

TEST_F(Decoding, VersionUsesTheLocalesDecimalSeparator) {
    const ScopedLocale german(QLocale(QLocale::German, QLocale::Germany));
    Reply(0xE1, "01 02 D6 07 03 07 09 05 1E 17");
    EXPECT_EQ(Caption("lblVersionNumber"), QStringLiteral("2,3"));
}

TEST_F(Decoding, ReplyDeliveredOneBytePerEventShowsTheSameAsOneDelivery) {
    const QByteArray wire = Bytes("80 E0 01 04 EA 07 0C 06 0E 05 09 80 80 80 E1");  // version 0x80
    Prefill();
    Receive(wire);
    const StatusControls whole = Controls();
    EXPECT_EQ(whole.time, QStringLiteral("14:05:09"));
    EXPECT_EQ(whole.source, QStringLiteral("IRIG-B"));

    Prefill();
    for (const char byte : wire) {
        Receive(QByteArray(1, byte));
    }
    EXPECT_EQ(Controls(), whole);
}

TEST_F(Decoding, PollTickBetweenTwoHalvesTruncatesTheReplySoItIsIgnored) {
    Prefill();
    Receive(Bytes("80 E0 01 02 D6 07 03"));
    window->tmrDateTime_Timer();
    Receive(Bytes("07 09 05 1E 17 80 E1"));
    EXPECT_EQ(Controls(), kPrefilled);
    // The next whole reply shows as always.
    Receive(Bytes("80 E0 01 02 D6 07 03 07 09 05 1E 17 80 E1"));
    EXPECT_EQ(Caption("lblTimeData"), QStringLiteral("09:05:30"));
}

TEST_F(Decoding, TickEmptiesTheBufferAlsoWhenThePollIsStopped) {
    Button("cmdSetTime")->setEnabled(false);
    Receive(Bytes("03 41"));  // the first bytes of a GPS message
    port.sent.clear();
    window->tmrDateTime_Timer();
    Receive(Bytes("42 80 E1"));  // its end, now the payload of no known reply
    EXPECT_EQ(Find<shell::TextBox>("txtGpsMessage")->text(), QString());
    EXPECT_TRUE(port.sent.isEmpty());
}

// Button states keyed by name, to compare before and after a single code.
std::map<std::string, bool> ButtonStates(const QWidget& window) {
    std::map<std::string, bool> states;
    for (auto* button : window.findChildren<QAbstractButton*>()) {
        states[button->objectName().toStdString()] = button->isEnabled();
    }
    return states;
}

struct SingleCodeRow {
    const char* name;
    const char* wire;
    const char* logLine;
    std::map<std::string, bool> changes;
};

class SingleCodes : public Decoding, public testing::WithParamInterface<SingleCodeRow> {};

TEST_P(SingleCodes, LogTheirLineAndChangeExactlyTheirButtons) {
    Receive(Bytes("80 E0 01 02"));  // a frame in progress stays untouched
    std::map<std::string, bool> expected = ButtonStates(*window);
    for (const auto& [name, enabled] : GetParam().changes) {
        expected[name] = enabled;
    }
    Receive(Bytes(GetParam().wire));
    EXPECT_EQ(ButtonStates(*window), expected);
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened.") + QLatin1String(GetParam().logLine));
    Receive(Bytes("D6 07 03 07 09 05 1E 17 80 E1"));
    EXPECT_EQ(Caption("lblTimeData"), QStringLiteral("09:05:30")) << "the frame went on whole";
}

INSTANTIATE_TEST_SUITE_P(
    Decoding, SingleCodes,
    testing::Values(
        SingleCodeRow{"reboot_complete", "80 F0", "Re-Boot Complete\r\n", {{"cmdFlashMode", true}}},
        SingleCodeRow{"flash_mode_entered",
                      "80 F1",
                      "Entering Flash Programming Mode\r\n",
                      {{"cmdLoad", true},
                       {"cmdFlashExit", true},
                       {"cmdSetTime", false},
                       {"cmdSetOffset", false},
                       {"cmdRetreiveOffset", false}}}),
    [](const testing::TestParamInfo<SingleCodeRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::test
