// The change record: whatever a unit's name, a file's name or a unit's words hold, each change is
// one whole line of printable text.
#include "unit/changerecord.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <functional>

#include "link/printable.h"

namespace irig::unit {
namespace {

struct RecordRow {
    const char* name;
    std::function<void(const ChangeRecord&)> change;
    QString line;  // USER for the login name
};

class Records : public testing::TestWithParam<RecordRow> {};

TEST_P(Records, AreOneLineOfPrintableText) {
    QStringList lines;
    GetParam().change(ChangeRecord([&](const QString& line) { lines << line; }));
    ASSERT_EQ(lines.size(), 1);
    QString expected = GetParam().line;
    EXPECT_EQ(lines[0], expected.replace(QStringLiteral("USER"),
                                         link::PrintableBytes(ChangeRecord::User().toUtf8())));
    for (const QChar c : lines[0]) {
        EXPECT_TRUE(c.unicode() >= 0x20 && c.unicode() < 0x7F) << lines[0].toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    ChangeRecord, Records,
    testing::Values(
        RecordRow{"a_newline_in_a_name",
                  [](const ChangeRecord& r) {
                      r.OffsetsSet(QStringLiteral("a\nforged (COM9)"), Offsets{0, 0, false},
                                   Offsets{0, -5, false}, QStringLiteral("read back"));
                  },
                  QStringLiteral("a\\x0Aforged (COM9): offsets set by USER: GPS 0 -> -5 (IRIG-B 0, "
                                 "IEEE 1344 off unchanged), read back")},
        RecordRow{"a_nul_in_a_name",
                  [](const ChangeRecord& r) {
                      r.ClockSet(QString::fromUtf8("a\0b (COM1)", 10), {},
                                 QStringLiteral("12/08/2026 09:58:25, answered"));
                  },
                  QStringLiteral("a\\x00b (COM1): clock set by USER: (before unknown) -> "
                                 "12/08/2026 09:58:25, answered")},
        RecordRow{
            "escapes_in_a_file_name",
            [](const ChangeRecord& r) {
                r.FlashEvent(QStringLiteral("COM1 (/dev/ttyS0)"), ChangeRecord::Flash::kStarted,
                             QStringLiteral("\x1b[2Jfw\\.hex\r, 5 blocks"));
            },
            QStringLiteral("COM1 (/dev/ttyS0): flash started by USER: \\x1B[2Jfw\\\\.hex\\x0D, "
                           "5 blocks")},
        RecordRow{"a_unit_s_own_bytes",
                  [](const ChangeRecord& r) {
                      r.FlashEvent(QStringLiteral("Z\u00fcrich (COM1)"),
                                   ChangeRecord::Flash::kFailed,
                                   QString::fromLatin1("the unit said \x9b\x7f"));
                  },
                  QStringLiteral("Z\\xC3\\xBCrich (COM1): flash failed by USER: the unit said "
                                 "\\xC2\\x9B\\x7F")},
        RecordRow{"a_borrower_s_words",
                  [](const ChangeRecord& r) {
                      r.LeaseEvent(QStringLiteral("COM1"),
                                   QStringLiteral("lent to ::1 (x\nforged) for 600 s"));
                  },
                  QStringLiteral("COM1: lent to ::1 (x\\x0Aforged) for 600 s")}),
    [](const testing::TestParamInfo<RecordRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::unit
