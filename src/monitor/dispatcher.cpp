#include "monitor/dispatcher.h"

#ifdef Q_OS_LINUX

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHash>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

namespace irig::monitor {

namespace {

Q_LOGGING_CATEGORY(lcDispatcher, "irig.dispatcher")

using Clock = std::chrono::steady_clock;

// What wakes each kind of notifier, as poll() would wake Qt's own: a hung-up or failed
// descriptor wakes its readers and writers, who find out by reading or writing.
constexpr uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr uint32_t kWriteEvents = EPOLLOUT | EPOLLHUP | EPOLLERR;
constexpr uint32_t kExceptionEvents = EPOLLPRI;

// The timers, and by when they are due a binary heap of entries that carry their time: a timer
// stopped leaves its entry behind, dropped when it comes up (or when such entries outnumber the
// timers), so that the many reply time-outs stopped by their answers cost no walk of the heap.
class TimerHeap {
public:
    struct Timer {
        qint64 intervalMs;
        Qt::TimerType type;
        QObject* object;
        Clock::time_point due;
        quint64 serial;  // told apart from a later timer that gets the same id
    };

    void Add(int id, qint64 intervalMs, Qt::TimerType type, QObject* object) {
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(intervalMs);
        timers_.insert(id, {intervalMs, type, object, due, ++serial_});
        Push({due, serial_, id});
    }

    bool Remove(int id) {
        if (!timers_.remove(id)) {
            return false;
        }
        if (heap_.size() > 2 * static_cast<size_t>(timers_.size()) + 64) {
            Rebuild();
        }
        return true;
    }

    const Timer* Find(int id) const {
        const auto found = timers_.constFind(id);
        return found == timers_.cend() ? nullptr : &*found;
    }
    QList<int> Of(QObject* object) const {
        QList<int> ids;
        for (auto timer = timers_.cbegin(); timer != timers_.cend(); ++timer) {
            if (timer->object == object) {
                ids.append(timer.key());
            }
        }
        return ids;
    }
    // The timer due first, if any.
    const Timer* Next() {
        DropStopped();
        return heap_.empty() ? nullptr : Find(heap_.front().id);
    }

    // The timers due by `now`, each moved on past it to its next time: (id, serial) to deliver.
    std::vector<std::pair<int, quint64>> TakeDue(Clock::time_point now) {
        std::vector<std::pair<int, quint64>> due;
        for (DropStopped(); !heap_.empty() && heap_.front().due <= now; DropStopped()) {
            const int id = heap_.front().id;
            std::pop_heap(heap_.begin(), heap_.end(), Later);
            heap_.pop_back();
            Timer& timer = timers_[id];
            due.emplace_back(id, timer.serial);
            timer.due += std::chrono::milliseconds(timer.intervalMs);
            if (timer.due <= now) {
                timer.due =
                    now + std::max<Clock::duration>(std::chrono::milliseconds(timer.intervalMs),
                                                    Clock::duration(1));
            }
            Push({timer.due, timer.serial, id});
        }
        return due;
    }

private:
    struct Entry {
        Clock::time_point due;
        quint64 serial;
        int id;
    };
    // For a heap with the earliest on top; timers due together in the order they were started.
    static bool Later(const Entry& a, const Entry& b) {
        return a.due != b.due ? a.due > b.due : a.serial > b.serial;
    }

    void Push(const Entry& entry) {
        heap_.push_back(entry);
        std::push_heap(heap_.begin(), heap_.end(), Later);
    }
    bool Stopped(const Entry& entry) const {
        const Timer* timer = Find(entry.id);
        return timer == nullptr || timer->serial != entry.serial;
    }
    void DropStopped() {
        while (!heap_.empty() && Stopped(heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), Later);
            heap_.pop_back();
        }
    }
    void Rebuild() {
        heap_.clear();
        for (auto timer = timers_.cbegin(); timer != timers_.cend(); ++timer) {
            heap_.push_back({timer->due, timer->serial, timer.key()});
        }
        std::make_heap(heap_.begin(), heap_.end(), Later);
    }

    QHash<int, Timer> timers_;
    std::vector<Entry> heap_;  // one entry a running timer, and some of stopped ones
    quint64 serial_ = 0;
};

class EpollDispatcher final : public QAbstractEventDispatcher {
public:
    EpollDispatcher()
        : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = wake_;
        if (epoll_ < 0 || wake_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) {
            qFatal("irigctl: cannot set up an event loop: %s", std::strerror(errno));
        }
    }

    ~EpollDispatcher() override {
        ::close(wake_);
        ::close(epoll_);
    }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override {
        Notifiers& notifiers = fds_[static_cast<int>(notifier->socket())];
        Slot(notifiers, notifier->type()) = notifier;
        changed_.push_back(static_cast<int>(notifier->socket()));
    }

    void unregisterSocketNotifier(QSocketNotifier* notifier) override {
        const auto found = fds_.find(static_cast<int>(notifier->socket()));
        if (found != fds_.end() && Slot(*found, notifier->type()) == notifier) {
            Slot(*found, notifier->type()) = nullptr;
            found->emptied = found->emptied || (found->read == nullptr && found->write == nullptr &&
                                                found->exception == nullptr);
            changed_.push_back(found.key());
        }
    }

    void registerTimer(int id, qint64 interval, Qt::TimerType type, QObject* object) override {
        timers_.Add(id, interval, type, object);
    }
    bool unregisterTimer(int id) override { return timers_.Remove(id); }
    // Rare (an object with timers running deleted or moved): a look at every timer.
    bool unregisterTimers(QObject* object) override {
        const QList<int> ids = timers_.Of(object);
        for (const int id : ids) {
            timers_.Remove(id);
        }
        return !ids.isEmpty();
    }
    QList<TimerInfo> registeredTimers(QObject* object) const override {
        QList<TimerInfo> infos;
        for (const int id : timers_.Of(object)) {
            const TimerHeap::Timer* timer = timers_.Find(id);
            infos.append({id, static_cast<int>(timer->intervalMs), timer->type});
        }
        return infos;
    }
    int remainingTime(int id) override {
        const TimerHeap::Timer* timer = timers_.Find(id);
        return timer == nullptr ? -1 : MillisecondsTo(timer->due);
    }

    void wakeUp() override {
        if (!woken_.exchange(true)) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
        }
    }
    void interrupt() override {
        interrupted_ = true;
        wakeUp();
    }

private:
    struct Notifiers {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        QSocketNotifier* exception = nullptr;
        uint32_t watched = 0;  // what epoll watches the descriptor for
        // Every notifier went away since the last wait: the descriptor may have been closed (which
        // takes it out of epoll) and its number given to another.
        bool emptied = false;
    };

    static QSocketNotifier*& Slot(Notifiers& notifiers, QSocketNotifier::Type type) {
        return type == QSocketNotifier::Read    ? notifiers.read
               : type == QSocketNotifier::Write ? notifiers.write
                                                : notifiers.exception;
    }

    static int MillisecondsTo(Clock::time_point due) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
        return static_cast<int>(std::clamp<qint64>(left.count(), 0, INT_MAX));
    }

    void Watch();
    const timespec* NextTimer(timespec& wait);
    int Wait(const timespec* until, epoll_event* events, int size);
    bool Deliver(int fd, uint32_t events);
    bool FireTimers();

    int epoll_;
    int wake_;
    std::atomic<bool> woken_{false};
    std::atomic<bool> interrupted_{false};
    bool millisecondsOnly_ = false;  // no epoll_pwait2 in this kernel
    QHash<int, Notifiers> fds_;
    std::vector<int> changed_;  // descriptors whose notifiers changed since the last wait
    TimerHeap timers_;
};

// What epoll watches each descriptor for is brought up to date only before a wait: a notifier
// turned on and off again meanwhile (a socket's writer, at each request) costs no system call. A
// socket closed and another opened under its number (a refused connection tried again) is
// registered anew.
void EpollDispatcher::Watch() {
    for (const int fd : changed_) {
        const auto found = fds_.find(fd);
        if (found == fds_.end()) {
            continue;
        }
        Notifiers& notifiers = *found;
        if (notifiers.emptied && notifiers.watched != 0) {
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);  // fails where it was closed
            notifiers.watched = 0;
        }
        notifiers.emptied = false;
        const uint32_t wanted = (notifiers.read != nullptr ? EPOLLIN | EPOLLRDHUP : 0U) |
                                (notifiers.write != nullptr ? EPOLLOUT : 0U) |
                                (notifiers.exception != nullptr ? EPOLLPRI : 0U);
        if (wanted == notifiers.watched) {
            if (wanted == 0) {
                fds_.erase(found);
            }
            continue;
        }
        epoll_event event{};
        event.events = wanted;
        event.data.fd = fd;
        int done = 0;
        if (wanted == 0) {
            // A descriptor already closed has left epoll by itself.
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, &event);
            fds_.erase(found);
            continue;
        }
        done =
            ::epoll_ctl(epoll_, notifiers.watched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
        if (done != 0 && (errno == ENOENT || errno == EEXIST)) {
            // Closed and opened again under the same number, or never seen closed.
            done = ::epoll_ctl(epoll_, errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
        }
        if (done != 0) {
            qCWarning(lcDispatcher, "cannot wait on descriptor %d: %s", fd, std::strerror(errno));
        }
        notifiers.watched = done == 0 ? wanted : 0;
    }
    changed_.clear();
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    emit awake();
    if (woken_.load()) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
        woken_ = false;  // a post from now on wakes the wait below
    }
    QCoreApplication::sendPostedEvents();
    if (interrupted_.exchange(false)) {
        return false;
    }
    timespec wait{};
    const timespec* until = flags.testFlag(QEventLoop::WaitForMoreEvents) ? NextTimer(wait) : &wait;
    if (until == nullptr || wait.tv_sec != 0 || wait.tv_nsec != 0) {
        emit aboutToBlock();
    }
    Watch();
    // A few at a time, so that the timers due meanwhile are not kept waiting long.
    std::array<epoll_event, 64> events{};
    const int ready = Wait(until, events.data(), static_cast<int>(events.size()));
    bool handled = false;
    if (!flags.testFlag(QEventLoop::ExcludeSocketNotifiers)) {
        for (int i = 0; i < ready; ++i) {
            if (events[static_cast<size_t>(i)].data.fd != wake_) {
                handled = Deliver(events[static_cast<size_t>(i)].data.fd,
                                  events[static_cast<size_t>(i)].events) ||
                          handled;
            }
        }
    }
    return FireTimers() || handled;
}

// How long to wait, to the nanosecond (a measurement places its requests on the unit's second
// boundary): none while a timer of 0 runs, without end when no timer runs.
const timespec* EpollDispatcher::NextTimer(timespec& wait) {
    const TimerHeap::Timer* next = timers_.Next();
    if (next == nullptr) {
        return nullptr;
    }
    if (next->intervalMs > 0) {
        const qint64 left =
            std::max<qint64>(std::chrono::nanoseconds(next->due - Clock::now()).count(), 0);
        wait.tv_sec = left / 1'000'000'000;
        wait.tv_nsec = left % 1'000'000'000;
    }
    return &wait;
}

int EpollDispatcher::Wait(const timespec* until, epoll_event* events, int size) {
    if (!millisecondsOnly_) {
        const int ready = ::epoll_pwait2(epoll_, events, size, until, nullptr);
        millisecondsOnly_ = ready < 0 && errno == ENOSYS;  // a kernel before 5.11
        if (!millisecondsOnly_) {
            return ready;
        }
    }
    if (until == nullptr) {
        return ::epoll_wait(epoll_, events, size, -1);
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(
        std::chrono::seconds(until->tv_sec) + std::chrono::nanoseconds(until->tv_nsec));
    return ::epoll_wait(epoll_, events, size,
                        static_cast<int>(std::min<qint64>(ms.count(), INT_MAX)));
}

// To each notifier of the descriptor that is still there when its turn comes: an earlier one may
// have turned it off.
bool EpollDispatcher::Deliver(int fd, uint32_t events) {
    bool delivered = false;
    for (const auto& [type, wakes] : {std::pair{QSocketNotifier::Read, kReadEvents},
                                      std::pair{QSocketNotifier::Write, kWriteEvents},
                                      std::pair{QSocketNotifier::Exception, kExceptionEvents}}) {
        const auto found = fds_.find(fd);
        if (found == fds_.end()) {
            return delivered;
        }
        QSocketNotifier* notifier = Slot(*found, type);
        if (notifier != nullptr && (events & wakes) != 0) {
            QEvent activated(QEvent::SockAct);
            QCoreApplication::sendEvent(notifier, &activated);
            delivered = true;
        }
    }
    return delivered;
}

// Each timer due fires once in a pass, even one whose interval is 0; one stopped by an earlier
// one's event does not fire.
bool EpollDispatcher::FireTimers() {
    const std::vector<std::pair<int, quint64>> due = timers_.TakeDue(Clock::now());
    for (const auto& [id, serial] : due) {
        const TimerHeap::Timer* timer = timers_.Find(id);
        if (timer != nullptr && timer->serial == serial) {
            QTimerEvent event(id);
            QCoreApplication::sendEvent(timer->object, &event);
        }
    }
    return !due.empty();
}

}  // namespace

std::unique_ptr<QAbstractEventDispatcher> MakeManyPortsDispatcher() {
    return std::make_unique<EpollDispatcher>();
}

}  // namespace irig::monitor

#else

namespace irig::monitor {

std::unique_ptr<QAbstractEventDispatcher> MakeManyPortsDispatcher() {
    return nullptr;
}

}  // namespace irig::monitor

#endif
