#include "unit/interrupts.h"

#include <QSocketNotifier>
#include <csignal>
#include <initializer_list>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace irig::unit {

namespace {

// The exit codes a signal asks for, as shells give them: 128 and its number.
constexpr int kInterrupted = 130;
constexpr int kTerminated = 143;

#ifdef Q_OS_UNIX
int interruptPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(interruptPipe[1], &byte, 1);
}

void Handle(void (*handler)(int), std::initializer_list<int> numbers) {
    struct sigaction action {};
    action.sa_handler = handler;
    for (const int number : numbers) {
        sigaction(number, &action, nullptr);
    }
}
#endif

}  // namespace

Interrupts::Interrupts(QObject* parent) : QObject(parent) {
#ifdef Q_OS_UNIX
    if (::pipe(interruptPipe) != 0) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        char signal = 0;
        [[maybe_unused]] const ssize_t got = ::read(interruptPipe[0], &signal, 1);
        if (signal == SIGHUP) {
            emit HungUp();
        } else {
            emit Interrupted(signal == SIGTERM ? kTerminated : kInterrupted);
        }
    });
    Handle(OnSignal, {SIGINT, SIGTERM});
#endif
}

void Interrupts::CatchHangUp() {
#ifdef Q_OS_UNIX
    if (notifier_) {
        hangUp_ = true;
        Handle(OnSignal, {SIGHUP});
    }
#endif
}

Interrupts::~Interrupts() {
#ifdef Q_OS_UNIX
    if (notifier_) {
        notifier_.reset();
        Handle(SIG_DFL, {SIGINT, SIGTERM});
        if (hangUp_) {
            Handle(SIG_DFL, {SIGHUP});
        }
        ::close(interruptPipe[0]);
        ::close(interruptPipe[1]);
        interruptPipe[0] = interruptPipe[1] = -1;
    }
#endif
}

}  // namespace irig::unit
