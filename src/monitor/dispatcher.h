// The event dispatcher of a thread that serves many ports (Linux): the ports waited on with epoll,
// so that a wake-up costs what is ready rather than a look at every port, and the timers in a
// heap, so that starting or stopping one costs a logarithm of their number rather than a walk of
// a sorted list. Posted events, socket notifiers and timers as Qt's own dispatcher delivers them;
// every timer is taken as precise to the millisecond. Elsewhere, Qt's own.
#pragma once

#include <QAbstractEventDispatcher>
#include <memory>

namespace irig::monitor {

// A dispatcher for a thread not yet started (QThread::setEventDispatcher), or none where Qt's
// own is used.
std::unique_ptr<QAbstractEventDispatcher> MakeManyPortsDispatcher();

}  // namespace irig::monitor
