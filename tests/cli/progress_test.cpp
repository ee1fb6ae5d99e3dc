// irigctl's progress on standard error: a line a unit fitted to the terminal's width as it is now,
// and plain lines without escape codes where the terminal takes none.
#include "cli/progress.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <cstdio>
#include <memory>

#include "cli/flashjob.h"
#include "support/fakeportcontroller.h"
#include "support/pty.h"

namespace irig::cli {
namespace {

class ProgressLines : public testing::Test {
protected:
    ProgressLines() {
        image->fill(0xFF);
        (*image)[0x1FFFF] = 0x00;  // a full image: 897 blocks
    }

    std::unique_ptr<flash::FlashImage> image = std::make_unique<flash::FlashImage>();
    unit::Session session{
        QStringLiteral("COM12"), std::make_unique<test::FakePortController>(), {}};
    FlashJob job{session, *image, {}, 2};
};

struct WidthRow {
    int width;
    const char* line;  // the whole line, or a pattern for it
};

class Widths : public ProgressLines, public testing::WithParamInterface<WidthRow> {};

TEST_P(Widths, FitTheTerminal) {
    const QString line = Progress::Line(job, GetParam().width);
    EXPECT_LT(line.size(), GetParam().width) << line.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^%1$").arg(QLatin1String(GetParam().line)))
                    .match(line)
                    .hasMatch())
        << line.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Progress, Widths,
    testing::Values(WidthRow{20, "COM12  waiting"},
                    WidthRow{40, "COM12  0/897 blocks  0%  waiting"},
                    WidthRow{80, "COM12  \\[-{24}\\]  0/897 blocks  0%  0:00 elapsed  waiting"},
                    WidthRow{200, "COM12  \\[-{24}\\]  0/897 blocks  0%  0:00 elapsed  waiting"}),
    [](const testing::TestParamInfo<WidthRow>& row) {
        return "width_" + std::to_string(row.param.width);
    });

// A terminal's own file, as irigctl's standard error would be.
std::FILE* Open(const QString& path) {
    return std::fopen(path.toLocal8Bit().constData(), "w");
}

TEST_F(ProgressLines, FollowATerminalsResize) {
    test::Pty pty;
    std::FILE* terminal = Open(pty.SlavePath());
    ASSERT_NE(terminal, nullptr);
    pty.Resize(40, 24);
    Progress progress({&job}, {terminal, true});
    EXPECT_TRUE(pty.Read(1000, 100).contains("COM12  0/897 blocks  0%  waiting\n"));
    pty.Resize(120, 24);
    progress.Finish();
    const QByteArray wide = pty.Read(1000, 100);
    EXPECT_TRUE(wide.startsWith("\x1b[1A\r\x1b[2KCOM12  [")) << wide.toStdString();
    std::fclose(terminal);
}

TEST_F(ProgressLines, UseNoEscapeCodesWhereTheTerminalIsDumb) {
    test::Pty pty;
    std::FILE* terminal = Open(pty.SlavePath());
    ASSERT_NE(terminal, nullptr);
    const QByteArray term = qgetenv("TERM");
    qputenv("TERM", "dumb");
    const Progress::Output output = Progress::OutputOf(terminal);
    qputenv("TERM", "xterm");
    EXPECT_TRUE(Progress::OutputOf(terminal).terminal);
    qputenv("TERM", term);
    EXPECT_FALSE(output.terminal);
    Progress progress({&job}, output);
    progress.Say(QStringLiteral("COM12: a retry"));
    progress.Finish();
    EXPECT_EQ(pty.Read(1000, 100), QByteArray("COM12: a retry\n"));
    std::fclose(terminal);
}

}  // namespace
}  // namespace irig::cli
