// The units' event loops: a few threads, each with the units it was given, so that no loop waits
// on every port. A unit's session and port are made, used and closed in its loop's thread; the
// units are added, changed and removed from the main thread, by key. Each unit's readings go to
// the board from its loop; its lines reach Said in the main thread.
#pragma once

#include <QHash>
#include <QObject>
#include <QThread>
#include <memory>
#include <optional>
#include <vector>

#include "monitor/server.h"
#include "monitor/unitmonitor.h"

namespace irig::monitor {

class UnitLoops final : public QObject {
    Q_OBJECT

public:
    using Key = MetricsBoard::Key;

    // At most `maxLoops` threads, a new one started when each has `unitsPerLoop` units.
    UnitLoops(MetricsBoard& board, unit::PortMaker make, unit::Timeouts timeouts,
              const Schedule& schedule, int maxLoops, int unitsPerLoop);
    // Closes every port in its own thread, then ends the threads.
    ~UnitLoops() override;
    UnitLoops(const UnitLoops&) = delete;
    UnitLoops& operator=(const UnitLoops&) = delete;

    // Starts watching the unit on `port` in the loop with the fewest units.
    void Add(Key key, const QString& port, const std::optional<fleet::InventoryUnit>& unit);
    void Update(Key key, const fleet::InventoryUnit& unit);
    void Remove(Key key);
    // Once the units removed so far are gone, their free memory is given back to the system.
    void GiveBackFreed();
    // A measurement asked for over HTTP, of the unit on `port` or, when empty, of every unit.
    void MeasureOnRequest(const QString& port);
    // Lends the unit (UnitMonitor::Lend); `closed` is called in its loop's thread, with false when
    // the unit is not watched.
    void Lend(Key key, std::function<void(bool closed)> closed);
    void TakeBack(Key key);
    int Loops() const { return static_cast<int>(loops_.size()); }

signals:
    void Said(const QString& line);

private:
    struct Loop;

    Loop& Quietest();

    MetricsBoard& board_;
    unit::PortMaker make_;
    unit::Timeouts timeouts_;
    Schedule schedule_;
    int maxLoops_;
    int unitsPerLoop_;
    std::vector<std::unique_ptr<Loop>> loops_;
    QHash<Key, Loop*> placed_;
};

}  // namespace irig::monitor
