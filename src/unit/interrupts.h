// SIGINT and SIGTERM (and, when asked, SIGHUP) as events of the Qt loop (POSIX; elsewhere Ctrl-C
// ends the program at once): a pipe written by the handler and read by a notifier. What a signal
// means is the caller's.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace irig::unit {

class Interrupts final : public QObject {
    Q_OBJECT

public:
    // Takes over SIGINT and SIGTERM until destroyed; one at a time in a process.
    explicit Interrupts(QObject* parent = nullptr);
    ~Interrupts() override;

    // Takes over SIGHUP too, which otherwise ends the program: HungUp says it came.
    void CatchHangUp();

signals:
    // The exit code the signal asks for: 130 for Ctrl-C (SIGINT), 143 for SIGTERM.
    void Interrupted(int exitCode);
    void HungUp();

private:
    std::unique_ptr<QSocketNotifier> notifier_;
    bool hangUp_ = false;
};

}  // namespace irig::unit
