// irigctl monitor: watches every unit given and serves what it knows at /metrics until a signal
// ends it, lending a unit to another tool when asked; SIGHUP reads its configuration again. Each
// unit's polling is its UnitMonitor's, in one of the UnitLoops; the HTTP side is the
// MetricsServer's, the leases the LeaseDesk's.
#pragma once

#include <QStringList>
#include <cstdio>

#include "lease/leases.h"
#include "monitor/unitmonitor.h"
#include "unit/changerecord.h"
#include "unit/session.h"

namespace irig::monitor {

struct Options {
    QStringList ports;                                 // as given
    std::vector<fleet::InventoryUnit> units;           // from an inventory: a unit each port
    QString inventory;                                 // the units' inventory, read again on SIGHUP
    fleet::Selection selection;                        // the units it selects, again then
    QString listenHost = QStringLiteral("127.0.0.1");  // where /metrics is served
    quint16 listenPort = 9810;                         // 0: any free port
    QString webConfig;  // the web configuration file (TLS, users, headers); empty: none
    // Names this computer is reached by, besides its addresses and localhost, that a request
    // which changes something may give as its Host without users.
    QStringList externalHosts;
    unit::Timeouts timeouts;
    Schedule schedule;
    int leaseLimitSeconds = lease::kLeaseLimitSeconds;  // the longest a unit is lent
    unit::ChangeRecord::Sink changes;  // the record of leases; none: the system log
};

// Returns the exit code: 130 or 143 for the signal that ended it, 2 when the web configuration is
// faulty, 4 when it cannot listen.
int Run(const Options& options, std::FILE* err, const unit::PortMaker& makePort = {});

}  // namespace irig::monitor
