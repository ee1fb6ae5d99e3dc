// The change record: whatever a unit's name, a file's name or a unit's words hold, each change is
// one whole line of printable text.
#include "unit/changerecord.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "link/printable.h"
#include "unit/systemlog.h"

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

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

#ifdef Q_OS_UNIX
// A datagram socket bound at `path`, as a system log listens; the last datagram it got.
struct Listener {
    explicit Listener(const QByteArray& path) : fd(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~Listener() { ::close(fd); }
    QByteArray Last() const {
        char buffer[4096];
        QByteArray last;
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            last = QByteArray(buffer, n);
        }
        return last;
    }
    int fd;
};

// Without /dev/log the lines go to journald's socket, else to standard error (unless the caller's
// own log there has them); either said once.
TEST(SystemLog, WithoutOneTheLinesGoToTheJournalElseToStandardErrorSaidOnce) {
    const struct {
        const char* listening;  // "log", "journal" or neither
        bool copy;              // stderrCopy
        const char* last;       // what the last line arrived as
        int stderrLines;        // for two lines
    } rows[] = {{"log", true, ": COM1: two", 0},
                {"journal", true, "SYSLOG_IDENTIFIER=irigctl\n", 1},
                {"", true, "irigctl: change: COM1: two", 3},
                {"", false, "the record of changes is only the lines that follow here", 1}};
    for (const auto& row : rows) {
        QTemporaryDir dir;
        const auto path = [&](const char* name) {
            return QFile::encodeName(dir.filePath(QLatin1String(name)));
        };
        const auto listener =
            *row.listening != 0 ? std::make_unique<Listener>(path(row.listening)) : nullptr;
        QStringList stderrLines;
        const auto sink = SystemLogSink(
            "irigctl",
            {path("log"), path("journal"), [&](const QString& l) { stderrLines << l; }, row.copy});
        sink(QStringLiteral("COM1: one"));
        sink(QStringLiteral("COM1: two"));
        EXPECT_EQ(stderrLines.size(), row.stderrLines) << row.listening;
        const QByteArray last = listener ? listener->Last() : stderrLines.last().toUtf8();
        EXPECT_TRUE(last.contains(row.last) && (!row.copy || last.contains("COM1: two")))
            << last.toStdString();
    }
}
#endif

}  // namespace
}  // namespace irig::unit
