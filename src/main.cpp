// irig-config: configures and maintains an IRIG-B time-code unit over one serial port. The window
// takes no arguments; --help and --version are answered without a display.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <variant>

#include "lease/borrower.h"
#include "link/portswitch.h"
#include "shell/irig.h"

namespace {

const char kHelp[] =
    "Usage: irig-config\n"
    "Configures and maintains an IRIG-B time-code unit over a serial port at 19200 baud: its\n"
    "clock, offsets, IEEE 1344 flag, GPS message and flash firmware. The port is chosen in the\n"
    "window (COMn, found through ~/.config/irig-config/ports, where a link may also name a\n"
    "terminal server's port, rfc2217://HOST:PORT or socket://HOST:PORT); irigctl does the same\n"
    "jobs from the command line. A port that irigctl monitor watches at IRIGCTL_MONITOR (or\n"
    "http://127.0.0.1:9810) is borrowed from it while it stays picked.\n\n"
    "Options:\n"
    "  -h, --help     show this help\n"
    "  -V, --version  show the version\n";

}  // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            (void)std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            (void)std::puts("irig-config " IRIG_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);  // takes its own options (-platform, -style, ...)
    QApplication::setApplicationName(QStringLiteral("irig-config"));
    QApplication::setApplicationVersion(QStringLiteral(IRIG_VERSION));
    if (QApplication::arguments().size() > 1) {
        (void)std::fprintf(stderr,
                           "irig-config: unknown argument %s\nRun \"irig-config --help\".\n",
                           qPrintable(QApplication::arguments().at(1)));
        return 2;
    }

    // The monitor of this computer, from which a port it watches is borrowed.
    QString monitor = qEnvironmentVariable(irig::lease::kMonitorVariable);
    if (monitor.isEmpty()) {
        monitor = QLatin1String(irig::lease::kLocalMonitor);
    }
    const auto url = irig::lease::ParseMonitorUrl(monitor);
    if (const auto* wrong = std::get_if<QString>(&url)) {
        (void)std::fprintf(stderr, "irig-config: %s: %s\n", irig::lease::kMonitorVariable,
                           qPrintable(*wrong));
        return 2;
    }
    irig::lease::Borrower borrower(
        std::get<QUrl>(url),
        QStringLiteral("irig-config (pid %1)").arg(QCoreApplication::applicationPid()), 1);

    irig::link::PortSwitch comIrig;
    irig::shell::IRIG window(comIrig, &borrower);
    return irig::shell::RunWindow(window, &borrower);
}
