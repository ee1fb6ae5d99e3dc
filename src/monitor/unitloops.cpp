#include "monitor/unitloops.h"

#include <algorithm>

#include "monitor/dispatcher.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace irig::monitor {

// A thread and, living in it, the units it watches: `units` and `turns` are touched in that
// thread only.
struct UnitLoops::Loop {
    QThread thread;
    QObject* context = nullptr;
    QHash<Key, UnitMonitor*> units;
    // One unit in twenty measures at once, at least eight: a measurement takes a second or two,
    // so each unit's comes round within the minute.
    Turns turns;
    int count = 0;  // in the main thread: the units given to it

    void Count() { turns.SetLimit(std::max(8, static_cast<int>(units.size()) / 20)); }
};

UnitLoops::UnitLoops(MetricsBoard& board, unit::PortMaker make, unit::Timeouts timeouts,
                     const Schedule& schedule, int maxLoops, int unitsPerLoop)
    : board_(board),
      make_(std::move(make)),
      timeouts_(timeouts),
      schedule_(schedule),
      maxLoops_(std::max(1, maxLoops)),
      unitsPerLoop_(std::max(1, unitsPerLoop)) {}

UnitLoops::~UnitLoops() {
    for (const std::unique_ptr<Loop>& loop : loops_) {
        QMetaObject::invokeMethod(
            loop->context,
            [&loop = *loop] {
                qDeleteAll(loop.units);
                delete loop.context;
            },
            Qt::BlockingQueuedConnection);
        loop->thread.quit();
        loop->thread.wait();
    }
}

UnitLoops::Loop& UnitLoops::Quietest() {
    const auto quietest =
        std::min_element(loops_.begin(), loops_.end(),
                         [](const auto& a, const auto& b) { return a->count < b->count; });
    if (quietest != loops_.end() &&
        ((*quietest)->count < unitsPerLoop_ || static_cast<int>(loops_.size()) >= maxLoops_)) {
        return **quietest;
    }
    auto loop = std::make_unique<Loop>();
    loop->thread.setObjectName(QStringLiteral("units %1").arg(loops_.size() + 1));
    if (std::unique_ptr<QAbstractEventDispatcher> dispatcher = MakeManyPortsDispatcher()) {
        loop->thread.setEventDispatcher(dispatcher.release());
    }
    loop->thread.start();
    loop->context = new QObject;
    loop->context->moveToThread(&loop->thread);
    loops_.push_back(std::move(loop));
    return *loops_.back();
}

void UnitLoops::Add(Key key, const QString& port, const std::optional<fleet::InventoryUnit>& unit) {
    Loop& loop = Quietest();
    ++loop.count;
    placed_.insert(key, &loop);
    QMetaObject::invokeMethod(loop.context, [this, &loop, key, port, unit] {
        auto* monitor = new UnitMonitor(port, make_(), timeouts_, schedule_,
                                        unit ? &*unit : nullptr, loop.context);
        monitor->ShareTurns(&loop.turns);
        loop.units.insert(key, monitor);
        loop.Count();
        connect(monitor, &UnitMonitor::Changed, monitor,
                [this, key](const UnitReading& reading) { board_.Post(key, reading); });
        connect(monitor, &UnitMonitor::Said, monitor,
                [this, key](const QString& line) { board_.Said(key, line); });
        connect(monitor, &UnitMonitor::Said, this, &UnitLoops::Said);
        monitor->Start();
    });
}

void UnitLoops::Update(Key key, const fleet::InventoryUnit& unit) {
    Loop* loop = placed_.value(key);
    if (loop == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(loop->context, [loop, key, unit] {
        if (UnitMonitor* monitor = loop->units.value(key)) {
            monitor->Adopt(unit);
        }
    });
}

void UnitLoops::Remove(Key key) {
    Loop* loop = placed_.take(key);
    if (loop == nullptr) {
        return;
    }
    --loop->count;
    QMetaObject::invokeMethod(loop->context, [loop, key] {
        delete loop->units.take(key);
        loop->Count();
    });
}

void UnitLoops::GiveBackFreed() {
    for (const std::unique_ptr<Loop>& loop : loops_) {
        QMetaObject::invokeMethod(loop->context, [] {
#ifdef __GLIBC__
            // The units removed before this, in this loop's thread, left their memory free in
            // the C library's heaps (its arenas): the pages wholly free go back to the system.
            malloc_trim(0);
#endif
        });
    }
}

void UnitLoops::Lend(Key key, std::function<void(bool)> closed) {
    Loop* loop = placed_.value(key);
    if (loop == nullptr) {
        closed(false);
        return;
    }
    QMetaObject::invokeMethod(loop->context, [loop, key, closed = std::move(closed)] {
        if (UnitMonitor* monitor = loop->units.value(key)) {
            monitor->Lend(closed);
        } else {
            closed(false);
        }
    });
}

void UnitLoops::TakeBack(Key key) {
    if (Loop* loop = placed_.value(key)) {
        QMetaObject::invokeMethod(loop->context, [loop, key] {
            if (UnitMonitor* monitor = loop->units.value(key)) {
                monitor->TakeBack();
            }
        });
    }
}

void UnitLoops::MeasureOnRequest(const QString& port) {
    for (const std::unique_ptr<Loop>& loop : loops_) {
        QMetaObject::invokeMethod(loop->context, [&loop = *loop, port] {
            for (UnitMonitor* monitor : std::as_const(loop.units)) {
                if (port.isEmpty() || monitor->Reading().port == port) {
                    monitor->MeasureOnRequest();
                }
            }
        });
    }
}

}  // namespace irig::monitor
