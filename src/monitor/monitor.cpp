#include "monitor/monitor.h"

#include <QEventLoop>
#include <QThread>
#include <algorithm>
#include <optional>
#include <vector>

#include "lease/leasedesk.h"
#include "monitor/reload.h"
#include "monitor/server.h"
#include "monitor/unitloops.h"
#include "unit/filelimit.h"
#include "unit/interrupts.h"

namespace irig::monitor {

using web::LoadWebConfig;
using web::WebConfig;
using web::WebConfigFault;

namespace {

// A loop's units: enough that a few loops serve thousands, few enough that one is never late.
constexpr int kUnitsPerLoop = 250;

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

// The units watched, each with its key on the board and the inventory's entry it came from.
class Watchlist {
public:
    Watchlist(MetricsBoard& board, UnitLoops& loops, lease::LeaseDesk& desk)
        : board_(board), loops_(loops), desk_(desk) {}

    // The units on `ports`, from the inventory's `units` where given.
    void Start(const QStringList& ports, const std::vector<fleet::InventoryUnit>& units) {
        std::vector<std::pair<MetricsBoard::Key, UnitReading>> arranged;
        for (qsizetype i = 0; i < ports.size(); ++i) {
            std::optional<fleet::InventoryUnit> unit;
            if (static_cast<size_t>(i) < units.size()) {
                unit = units[static_cast<size_t>(i)];
            }
            watched_.push_back({nextKey_++, ports[i], unit});
            arranged.emplace_back(watched_.back().key,
                                  UnitMonitor::FirstReading(ports[i], unit ? &*unit : nullptr));
        }
        board_.Arrange(arranged);
        for (const Watched& watched : watched_) {
            loops_.Add(watched.key, watched.port, watched.unit);
        }
        Lendable();
    }

    // The inventory's `units` from now on. The board is arranged first: a new unit shows at once,
    // and no scrape misses one that stays.
    UnitChanges Replace(const std::vector<fleet::InventoryUnit>& units) {
        std::vector<fleet::InventoryUnit> before(watched_.size());
        std::transform(
            watched_.begin(), watched_.end(), before.begin(),
            [](const Watched& watched) { return watched.unit.value_or(fleet::InventoryUnit{}); });
        UnitChanges changes = CompareUnits(before, units);
        std::vector<Watched> now;
        std::vector<std::pair<MetricsBoard::Key, UnitReading>> arranged;
        for (size_t i = 0; i < units.size(); ++i) {
            const UnitFate& fate = changes.after[i];
            if (fate.what == UnitFate::kAdded) {
                now.push_back({nextKey_++, units[i].port, units[i]});
                arranged.emplace_back(now.back().key,
                                      UnitMonitor::FirstReading(units[i].port, &units[i]));
            } else {
                now.push_back({watched_[fate.before].key, units[i].port, units[i]});
                arranged.emplace_back(now.back().key, UnitReading{});
            }
        }
        board_.Arrange(arranged);
        for (const size_t gone : changes.removed) {
            loops_.Remove(watched_[gone].key);
        }
        if (!changes.removed.empty()) {
            loops_.GiveBackFreed();
        }
        for (size_t i = 0; i < units.size(); ++i) {
            if (changes.after[i].what == UnitFate::kUpdated ||
                changes.after[i].what == UnitFate::kRenamed) {
                loops_.Update(now[i].key, units[i]);
            } else if (changes.after[i].what == UnitFate::kAdded) {
                loops_.Add(now[i].key, now[i].port, now[i].unit);
            }
        }
        watched_ = std::move(now);
        Lendable();
        return changes;
    }

private:
    struct Watched {
        MetricsBoard::Key key;
        QString port;
        std::optional<fleet::InventoryUnit> unit;
    };

    // The units the desk may lend: a lent unit no longer watched on its port is lent no more.
    void Lendable() {
        std::vector<lease::LeasedUnit> units(watched_.size());
        std::transform(watched_.begin(), watched_.end(), units.begin(), [](const Watched& watched) {
            return lease::LeasedUnit{watched.key, watched.unit ? watched.unit->name : QString(),
                                     watched.port};
        });
        desk_.SetUnits(units);
    }

    MetricsBoard& board_;
    UnitLoops& loops_;
    lease::LeaseDesk& desk_;
    std::vector<Watched> watched_;
    MetricsBoard::Key nextKey_ = 0;
};

// The inventory read again, and the same selection made of it.
ReloadPart InventoryPart(const Options& options, Watchlist& watchlist, std::FILE* err) {
    return {QStringLiteral("the inventory %1").arg(options.inventory),
            [&options, &watchlist, err]() -> std::variant<std::function<void()>, QString> {
                const auto loaded = fleet::LoadInventory(options.inventory);
                if (const auto* fault = std::get_if<fleet::InventoryFault>(&loaded)) {
                    return fault->Text();
                }
                fleet::Selection selection = options.selection;
                selection.all = selection.all || selection.Empty();
                auto selected = fleet::Select(std::get<fleet::Inventory>(loaded), selection);
                if (const auto* fault = std::get_if<fleet::InventoryFault>(&selected)) {
                    return fault->Text();
                }
                return [&options, &watchlist, err,
                        units = std::get<std::vector<fleet::InventoryUnit>>(std::move(selected))] {
                    Write(err, QStringLiteral("irigctl: monitor: read %1 again: %2 %3; %4")
                                   .arg(options.inventory)
                                   .arg(units.size())
                                   .arg(units.size() == 1 ? QStringLiteral("unit")
                                                          : QStringLiteral("units"))
                                   .arg(watchlist.Replace(units).Text()));
                };
            }};
}

// The web configuration read again: its users and headers for the requests that come, its TLS for
// the connections that come. One that would weaken the edge is refused: a restart does that.
ReloadPart WebConfigPart(const QString& file, MetricsServer& server, WebConfig& current,
                         std::FILE* err) {
    return {QStringLiteral("the web configuration %1").arg(file),
            [file, &server, &current, err]() -> std::variant<std::function<void()>, QString> {
                auto web = LoadWebConfig(file);
                if (const auto* fault = std::get_if<WebConfigFault>(&web)) {
                    return fault->Text();
                }
                if (const auto weakening = web::Weakening(current, std::get<WebConfig>(web))) {
                    return QStringLiteral("%1: %2: restart the monitor to do that on purpose")
                        .arg(file, *weakening);
                }
                return
                    [file, &server, &current, err, config = std::get<WebConfig>(std::move(web))] {
                        current = config;
                        server.SetWebConfig(config);
                        Write(err, QStringLiteral("irigctl: monitor: read %1 again").arg(file));
                    };
            }};
}

// What SIGHUP does: every part read again, and put in place only when none is faulty.
void ReadAgain(const Options& options, const std::vector<ReloadPart>& parts, MetricsBoard& board,
               std::FILE* err) {
    if (options.inventory.isEmpty()) {
        QStringList names;
        for (const ReloadPart& part : parts) {
            names.append(part.name);
        }
        Write(err, QStringLiteral("irigctl: monitor: reload: the units were given with --port, "
                                  "not read from an inventory: %1")
                       .arg(names.isEmpty() ? QStringLiteral("nothing to read again")
                                            : QStringLiteral("reading again ") +
                                                  names.join(QStringLiteral(", "))));
    }
    const QStringList faults = Reload(parts);
    for (const QString& fault : faults) {
        Write(err, QStringLiteral("irigctl: monitor: reload: %1; the configuration stays as it was")
                       .arg(fault));
    }
    board.SetReload(faults.isEmpty() ? ConfigReload{true, status::HostNow()}
                                     : ConfigReload{false, board.LastReload().lastSuccess});
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
    // The zone's file read once, before any other thread runs: without TZ, the C library looks at
    // /etc/localtime again at each conversion of a unit's local time (a tenth of the units' loops'
    // time). A zone changed meanwhile is taken at the next start.
    if (!qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", ":/etc/localtime");
    }
    // Before anything listens: a SIGHUP from then on is a reload, never the end.
    unit::Interrupts interrupts;
    interrupts.CatchHangUp();
    MetricsBoard board;
    board.SetReload({true, status::HostNow()});
    UnitLoops loops(board, makePort ? makePort : unit::RealPorts(options.timeouts),
                    options.timeouts, options.schedule, QThread::idealThreadCount(), kUnitsPerLoop);
    QObject::connect(&loops, &UnitLoops::Said, [err](const QString& line) { Write(err, line); });
    lease::LeaseDesk desk(
        Leases(options.leaseLimitSeconds),
        {[&loops](quint64 key, std::function<void(bool)> closed) {
             loops.Lend(key, std::move(closed));
         },
         [&loops](quint64 key) { loops.TakeBack(key); }},
        unit::ChangeRecord(options.changes ? options.changes
                                           : unit::ChangeRecord::SystemLog("irigctl")),
        [err](const QString& line) { Write(err, line); });
    desk.SetNoted([&board](quint64 key, const lease::LeaseDecision& decision) {
        board.Leased(key, decision);
    });
    MetricsServer server(board, [&loops](const QString& port) {
        QMetaObject::invokeMethod(
            &loops, [&loops, port] { loops.MeasureOnRequest(port); }, Qt::QueuedConnection);
    });
    server.SetWebConfig(std::get<WebConfig>(web));
    server.SetExternalHosts(options.externalHosts);
    server.SetLeases(
        [&desk](const LeaseRequest& request,
                const std::function<void(const LeaseAnswer&)>& answer) {
            QMetaObject::invokeMethod(
                &desk, [&desk, request, answer] { desk.Serve(request, answer); },
                Qt::QueuedConnection);
        },
        [&desk](const LeaseRequest& request, const LeaseAnswer& granted) {
            QMetaObject::invokeMethod(
                &desk, [&desk, request, granted] { desk.Undelivered(request, granted); },
                Qt::QueuedConnection);
        });
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

    Watchlist watchlist(board, loops, desk);
    watchlist.Start(options.ports, options.units);
    std::vector<ReloadPart> parts;
    if (!options.inventory.isEmpty()) {
        parts.push_back(InventoryPart(options, watchlist, err));
    }
    if (!options.webConfig.isEmpty()) {
        parts.push_back(WebConfigPart(options.webConfig, server, std::get<WebConfig>(web), err));
    }
    QEventLoop loop;
    int exitCode = 0;
    QObject::connect(&interrupts, &unit::Interrupts::Interrupted, &loop, [&](int code) {
        exitCode = code;
        loop.quit();
    });
    QObject::connect(&interrupts, &unit::Interrupts::HungUp, &loop,
                     [&] { ReadAgain(options, parts, board, err); });
    loop.exec();
    return exitCode;
}

}  // namespace irig::monitor
