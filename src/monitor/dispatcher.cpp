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
#include <unordered_map>
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

// The timers by when they are due: a binary heap whose entries know their place in it.
class TimerHeap {
public:
    struct Timer {
        int id;
        qint64 intervalMs;
        Qt::TimerType type;
        QObject* object;
        Clock::time_point due;
        quint64 serial;  // told apart from a later timer that gets the same id
        size_t place = 0;
    };

    void Add(int id, qint64 intervalMs, Qt::TimerType type, QObject* object) {
        Timer& timer = timers_[id];
        timer = {id,
                 intervalMs,
                 type,
                 object,
                 Clock::now() + std::chrono::milliseconds(intervalMs),
                 ++serial_};
        timer.place = heap_.size();
        heap_.push_back(&timer);
        Up(timer.place);
        byObject_.insert(object, id);
    }

    bool Remove(int id) {
        const auto found = timers_.find(id);
        if (found == timers_.end()) {
            return false;
        }
        const size_t place = found->second.place;
        byObject_.remove(found->second.object, id);
        Swap(place, heap_.size() - 1);
        heap_.pop_back();
        timers_.erase(found);
        if (place < heap_.size()) {
            Down(Up(place));
        }
        return true;
    }

    const Timer* Find(int id) const {
        const auto found = timers_.find(id);
        return found == timers_.end() ? nullptr : &found->second;
    }
    QList<int> Of(QObject* object) const { return byObject_.values(object); }
    const Timer* Next() const { return heap_.empty() ? nullptr : heap_.front(); }

    // The timers due by `now`, each moved on past it to its next time: (id, serial) to deliver.
    std::vector<std::pair<int, quint64>> TakeDue(Clock::time_point now) {
        std::vector<std::pair<int, quint64>> due;
        while (!heap_.empty() && heap_.front()->due <= now) {
            Timer& timer = *heap_.front();
            due.emplace_back(timer.id, timer.serial);
            timer.due += std::chrono::milliseconds(timer.intervalMs);
            if (timer.due <= now) {
                timer.due =
                    now + std::max<Clock::duration>(std::chrono::milliseconds(timer.intervalMs),
                                                    Clock::duration(1));
            }
            Down(0);
        }
        return due;
    }

private:
    // Timers due at the same time fire in the order they were started.
    bool Before(size_t a, size_t b) const {
        return heap_[a]->due != heap_[b]->due ? heap_[a]->due < heap_[b]->due
                                              : heap_[a]->serial < heap_[b]->serial;
    }
    void Swap(size_t a, size_t b) {
        std::swap(heap_[a], heap_[b]);
        heap_[a]->place = a;
        heap_[b]->place = b;
    }
    size_t Up(size_t place) {
        while (place > 0 && Before(place, (place - 1) / 2)) {
            Swap(place, (place - 1) / 2);
            place = (place - 1) / 2;
        }
        return place;
    }
    void Down(size_t place) {
        for (;;) {
            size_t least = place;
            for (const size_t child : {2 * place + 1, 2 * place + 2}) {
                if (child < heap_.size() && Before(child, least)) {
                    least = child;
                }
            }
            if (least == place) {
                return;
            }
            Swap(place, least);
            place = least;
        }
    }

    std::unordered_map<int, Timer> timers_;  // nodes stay where they are: the heap points at them
    std::vector<Timer*> heap_;
    QMultiHash<QObject*, int> byObject_;
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
        if (found != fds_.end() && Slot(found->second, notifier->type()) == notifier) {
            Slot(found->second, notifier->type()) = nullptr;
            changed_.push_back(found->first);
        }
    }

    void registerTimer(int id, qint64 interval, Qt::TimerType type, QObject* object) override {
        timers_.Add(id, interval, type, object);
    }
    bool unregisterTimer(int id) override { return timers_.Remove(id); }
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
    bool Deliver(int fd, uint32_t events);
    bool FireTimers();

    int epoll_;
    int wake_;
    std::atomic<bool> woken_{false};
    std::atomic<bool> interrupted_{false};
    std::unordered_map<int, Notifiers> fds_;
    std::vector<int> changed_;  // descriptors whose notifiers changed since the last wait
    TimerHeap timers_;
};

// What epoll watches each descriptor for is brought up to date only before a wait: a notifier
// turned on and off again meanwhile (a socket's writer, at each request) costs no system call.
void EpollDispatcher::Watch() {
    for (const int fd : changed_) {
        const auto found = fds_.find(fd);
        if (found == fds_.end()) {
            continue;
        }
        Notifiers& notifiers = found->second;
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
    int waitMs = 0;
    if (flags.testFlag(QEventLoop::WaitForMoreEvents)) {
        const TimerHeap::Timer* next = timers_.Next();
        waitMs = next == nullptr         ? -1
                 : next->intervalMs == 0 ? 0  // fires at every pass
                                         : MillisecondsTo(next->due);
        if (waitMs != 0) {
            emit aboutToBlock();
        }
    }
    Watch();
    std::array<epoll_event, 256> events{};
    const int ready = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), waitMs);
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
        QSocketNotifier* notifier = Slot(found->second, type);
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
