// The simulated unit's link to its pseudo-terminal, as a process: a link that a running unit serves
// is never taken over, and a unit removes only its own link.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "support/portmapfolder.h"
#include "support/simulatedunit.h"

#ifndef IRIG_UNIT_SIM_PATH
#error "IRIG_UNIT_SIM_PATH must name the irig-unit-sim program"
#endif

namespace irig::test {
namespace {

TEST(SimLink, ASecondUnitOnAServedLinkIsRefusedAndLeavesTheFirstAlone) {
    TempPortMap ports;
    QTemporaryDir dir;
    const QString link = ports.Entry(QStringLiteral("COM1"));
    SimulatedUnit first(link, dir.filePath(QStringLiteral("first.bin")), {});
    ASSERT_TRUE(first.WaitReady());
    const QString served = QFile::symLinkTarget(link);

    QProcess second;
    second.start(QStringLiteral(IRIG_UNIT_SIM_PATH), {QStringLiteral("--link"), link});
    ASSERT_TRUE(second.waitForFinished(5000));
    EXPECT_EQ(second.exitCode(), 2);
    EXPECT_TRUE(second.readAllStandardError().contains("is served by another irig-unit-sim"));
    EXPECT_EQ(QFile::symLinkTarget(link), served);

    first.Stop();
    EXPECT_FALSE(QFile::exists(link) || QFileInfo(link).isSymLink()) << "its own link goes";
}

}  // namespace
}  // namespace irig::test
