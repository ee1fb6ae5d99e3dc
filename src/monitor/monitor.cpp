#include "monitor/monitor.h"

#include <QEventLoop>
#include <vector>

#include "cli/interrupts.h"
#include "monitor/server.h"

namespace irig::monitor {

namespace {

void Write(std::FILE* file, const QString& line) {
    (void)std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), file);
    (void)std::fflush(file);
}

QString Url(const QHostAddress& address, quint16 port) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("http://%1:%2/metrics").arg(host).arg(port);
}

}  // namespace

int Run(const cli::Request& request, std::FILE* err, const cli::PortMaker& makePort,
        Schedule schedule) {
    const cli::PortMaker make = makePort ? makePort : cli::RealPorts(request);
    MetricsBoard board(request.ports);
    QObject units;  // the monitors' parent, in this thread
    std::vector<UnitMonitor*> monitors;
    MetricsServer server(board, [&units, &monitors](const QString& port) {
        QMetaObject::invokeMethod(
            &units,
            [&monitors, port] {
                for (UnitMonitor* monitor : monitors) {
                    if (port.isEmpty() || monitor->Reading().port == port) {
                        monitor->MeasureNow();
                    }
                }
            },
            Qt::QueuedConnection);
    });
    const QHostAddress address(request.listenHost);
    QString why;
    const quint16 listening = server.Listen(address, request.listenPort, &why);
    if (listening == 0) {
        Write(err, QStringLiteral("irigctl: monitor: cannot listen on %1:%2: %3")
                       .arg(request.listenHost)
                       .arg(request.listenPort)
                       .arg(why));
        return cli::kPortFailed;
    }
    Write(err,
          QStringLiteral("irigctl: monitor: serving %1 for %2 %3")
              .arg(Url(address, listening))
              .arg(request.ports.size())
              .arg(request.ports.size() == 1 ? QStringLiteral("unit") : QStringLiteral("units")));

    for (qsizetype i = 0; i < request.ports.size(); ++i) {
        auto* monitor = new UnitMonitor(request.ports[i], make(), request, schedule, &units);
        QObject::connect(monitor, &UnitMonitor::Changed, &units,
                         [&board, i](const UnitReading& reading) {
                             board.Post(static_cast<size_t>(i), reading);
                         });
        QObject::connect(monitor, &UnitMonitor::Said, &units,
                         [err](const QString& line) { Write(err, line); });
        monitors.push_back(monitor);
    }
    QEventLoop loop;
    int exitCode = cli::kInterrupted;
    cli::Interrupts interrupts;
    QObject::connect(&interrupts, &cli::Interrupts::Interrupted, &loop, [&](int code) {
        exitCode = code;
        loop.quit();
    });
    for (UnitMonitor* monitor : monitors) {
        monitor->Start();
    }
    loop.exec();
    return exitCode;
}

}  // namespace irig::monitor
