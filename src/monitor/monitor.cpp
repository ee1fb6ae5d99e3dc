#include "monitor/monitor.h"

#include <QEventLoop>
#include <vector>

#include "monitor/server.h"
#include "unit/filelimit.h"
#include "unit/interrupts.h"

namespace irig::monitor {

namespace {

void Write(std::FILE* file, const QString& line) {
    (void)std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), file);
    (void)std::fflush(file);
}

QString Url(const QHostAddress& address, quint16 port, bool tls) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1://%2:%3/metrics")
        .arg(tls ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(port);
}

}  // namespace

// The exit codes of irigctl that the monitor ends with besides a signal's.
constexpr int kFaultyWebConfig = 2;
constexpr int kCannotListen = 4;

int Run(const Options& options, std::FILE* err, const unit::PortMaker& makePort) {
    auto web = options.webConfig.isEmpty() ? WebConfig() : LoadWebConfig(options.webConfig);
    if (const auto* fault = std::get_if<WebConfigFault>(&web)) {
        Write(err, QStringLiteral("irigctl: monitor: %1").arg(fault->Text()));
        return kFaultyWebConfig;
    }
    const bool tls = std::get<WebConfig>(web).tls.has_value();
    unit::RaiseFileLimit();
    const unit::PortMaker make = makePort ? makePort : unit::RealPorts(options.timeouts);
    MetricsBoard board(options.ports);
    QObject units;  // the monitors' parent, in this thread
    std::vector<UnitMonitor*> monitors;
    MetricsServer server(board, [&units, &monitors](const QString& port) {
        QMetaObject::invokeMethod(
            &units,
            [&monitors, port] {
                for (UnitMonitor* monitor : monitors) {
                    if (port.isEmpty() || monitor->Reading().port == port) {
                        monitor->MeasureOnRequest();
                    }
                }
            },
            Qt::QueuedConnection);
    });
    server.SetWebConfig(std::get<WebConfig>(web));
    const QHostAddress address(options.listenHost);
    QString why;
    const quint16 listening = server.Listen(address, options.listenPort, &why);
    if (listening == 0) {
        Write(err, QStringLiteral("irigctl: monitor: cannot listen on %1:%2: %3")
                       .arg(options.listenHost)
                       .arg(options.listenPort)
                       .arg(why));
        return kCannotListen;
    }
    Write(err,
          QStringLiteral("irigctl: monitor: serving %1 for %2 %3")
              .arg(Url(address, listening, tls))
              .arg(options.ports.size())
              .arg(options.ports.size() == 1 ? QStringLiteral("unit") : QStringLiteral("units")));

    for (qsizetype i = 0; i < options.ports.size(); ++i) {
        const fleet::InventoryUnit* fromInventory =
            static_cast<size_t>(i) < options.units.size() ? &options.units[size_t(i)] : nullptr;
        auto* monitor = new UnitMonitor(options.ports[i], make(), options.timeouts,
                                        options.schedule, fromInventory, &units);
        QObject::connect(monitor, &UnitMonitor::Changed, &units,
                         [&board, i](const UnitReading& reading) {
                             board.Post(static_cast<size_t>(i), reading);
                         });
        QObject::connect(monitor, &UnitMonitor::Said, &units,
                         [err](const QString& line) { Write(err, line); });
        board.Post(static_cast<size_t>(i), monitor->Reading());
        monitors.push_back(monitor);
    }
    QEventLoop loop;
    int exitCode = 0;
    unit::Interrupts interrupts;
    QObject::connect(&interrupts, &unit::Interrupts::Interrupted, &loop, [&](int code) {
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
