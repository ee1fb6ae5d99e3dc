// What the window shows of its port and of the values it polls: the status line's port part (open,
// the adapter described a moment later; connecting; lost and what is awaited; why it failed) and
// the date, time, source and version greyed while no reply has confirmed them lately. The window
// says when; this says how.
#pragma once

#include <QLabel>
#include <QObject>
#include <functional>
#include <initializer_list>
#include <vector>

#include "link/portcontroller.h"
#include "shell/statusline.h"

namespace irig::shell {

class PortView final : public QObject {
public:
    using SteadyClock = std::function<qint64()>;  // milliseconds

    // `status`, `port` and the value labels must outlive the view.
    PortView(StatusLine& status, link::PortController& port, std::initializer_list<QLabel*> values,
             SteadyClock now, QObject* parent = nullptr);

    // Open: said at once, the adapter described a moment later; the values count from now.
    void Open(const QString& name);
    void Connecting(const QString& name);
    void Failed(const QString& why);
    void Closed();  // while the operator chooses a port
    void Lost(const QString& name, const QString& reason, const QString& waiting);
    void Waiting(const QString& name, const QString& waiting);
    // A clock reply confirmed the values now.
    void Confirmed();
    // Greys the values when no reply has confirmed them for 1.5 s.
    void CheckStale();
    void SetStale(bool stale);
    bool Stale() const;

private:
    StatusLine& status_;
    link::PortController& port_;
    std::vector<QLabel*> values_;
    SteadyClock now_;
    qint64 confirmedMs_ = 0;
    QString lostReason_;
};

}  // namespace irig::shell
