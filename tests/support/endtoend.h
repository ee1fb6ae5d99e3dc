// A fixture for end-to-end tests: a simulated unit on a fresh pty mapped as COM1 in a temporary
// port map folder, and the real window with the real serial component, offscreen.
#pragma once

#include <QComboBox>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>

#include "link/serialportcontroller.h"
#include "support/cputime.h"
#include "support/firmwarefile.h"
#include "support/flashcheck.h"
#include "support/portmapfolder.h"
#include "support/scopedlocale.h"
#include "support/simulatedunit.h"
#include "support/wait.h"
#include "support/windowtest.h"

namespace irig::test {

class EndToEnd : public WindowAccess {
protected:
    ~EndToEnd() override {
        window.reset();
        if (HasFailure() && unit) {
            std::fprintf(stderr, "simulated unit said:\n%s\n", qPrintable(unit->Errors()));
        }
    }

    // A simulated unit on COM1, then the window, which opens COM1 as it starts.
    void Start(const QStringList& options = {}) {
        unit = std::make_unique<SimulatedUnit>(
            ports.Entry(QStringLiteral("COM1")), dir.filePath(QStringLiteral("flash.bin")),
            QStringList{QStringLiteral("--reboot-ms"), QStringLiteral("100")} + options);
        ASSERT_TRUE(unit->WaitReady()) << qPrintable(unit->Errors());
        window = std::make_unique<shell::IRIG>(port);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        ASSERT_EQ(Log(), QStringLiteral("Com port COM1 opened."));
    }
    // The operator enters the port list and picks COM1 again.
    void PickCom1Again() {
        auto* list = Find<QComboBox>("cmbComPort");
        list->setFocus(Qt::TabFocusReason);
        list->setCurrentIndex(0);
        emit list->activated(0);
    }
    // The blocks the unit has programmed so far, as it says.
    qsizetype BlocksProgrammed() { return unit->Errors().count(QStringLiteral("sim: block ")); }
    bool WaitForLog(const QString& text, int timeoutMs = 10000) {
        return WaitUntil([&] { return Log().contains(text); }, timeoutMs);
    }
    // The unit's clock as the window shows it.
    QDateTime ShownClock() const {
        return QDateTime(QDate::fromString(Caption("lblDateData"), QStringLiteral("MM/dd/yyyy")),
                         QTime::fromString(Caption("lblTimeData"), QStringLiteral("HH:mm:ss")));
    }
    // Re-Boot, Flash Mode and Load, as an operator does it.
    void LoadInFlashMode(const QString& path) {
        Button("cmdReBoot")->click();
        ASSERT_TRUE(WaitForLog(QStringLiteral("Re-Boot Complete")));
        Button("cmdFlashMode")->click();
        ASSERT_TRUE(WaitForLog(QStringLiteral("Entering Flash Programming Mode")));
        window->SetFlashFileChooser([path] { return path; });
        Button("cmdLoad")->click();
        ASSERT_TRUE(Log().contains(QStringLiteral("No errors"))) << Log().toStdString();
        ASSERT_TRUE(Enabled("cmdProgram"));
    }
    bool ProgramAndWait(int timeoutMs = 60000) {
        Button("cmdProgram")->click();
        return WaitForLog(QStringLiteral("Programming complete"), timeoutMs);
    }
    void ExpectFlashHolds(const FirmwareFile& firmware, int base = 0x4000) {
        test::ExpectFlashHolds(unit->Flash(), firmware, base);
    }

    ScopedLocale locale{QLocale::c()};
    TempPortMap ports;
    QTemporaryDir dir;
    link::SerialPortController port;
    std::unique_ptr<SimulatedUnit> unit;
};

}  // namespace irig::test
