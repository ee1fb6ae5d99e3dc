#include "unit/interrupts.h"

#include <QSocketNotifier>
#include <csignal>

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

void Handle(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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
        emit Interrupted(signal == SIGTERM ? kTerminated : kInterrupted);
    });
    Handle(OnSignal);
#endif
}

Interrupts::~Interrupts() {
#ifdef Q_OS_UNIX
    if (notifier_) {
        notifier_.reset();
        Handle(SIG_DFL);
        ::close(interruptPipe[0]);
        ::close(interruptPipe[1]);
        interruptPipe[0] = interruptPipe[1] = -1;
    }
#endif
}

}  // namespace irig::unit
