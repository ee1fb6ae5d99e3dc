// irig-config-demo: the irig-config window as the application shows it, which also saves a picture
// of itself after a few seconds, for running without a screen (under Xvfb) and for the README.
// Usage: irig-config-demo [--snapshot FILE.png] [--after SECONDS] [--quit]
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "link/portswitch.h"
#include "shell/irig.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QString snapshot;
    int afterSeconds = 4;
    bool quit = false;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--snapshot") && i + 1 < args.size()) {
            snapshot = args[++i];
        } else if (args[i] == QLatin1String("--after") && i + 1 < args.size()) {
            afterSeconds = args[++i].toInt();
        } else if (args[i] == QLatin1String("--quit")) {
            quit = true;
        } else {
            std::fprintf(
                stderr,
                "usage: irig-config-demo [--snapshot FILE.png] [--after SECONDS] [--quit]\n");
            return 2;
        }
    }

    irig::link::PortSwitch comIrig;
    irig::shell::IRIG window(comIrig);
    window.show();
    if (!snapshot.isEmpty()) {
        QTimer::singleShot(afterSeconds * 1000, &window, [&] {
            if (window.grab().save(snapshot)) {
                std::printf("Saved a picture of the window in %s\n", qPrintable(snapshot));
            } else {
                std::fprintf(stderr, "Could not save %s\n", qPrintable(snapshot));
            }
            std::fflush(stdout);
            if (quit) {
                QApplication::quit();
            }
        });
    }
    return QApplication::exec();
}
