// The status line under the frames: what the port is, what an update is doing and how long it has
// left, what the computer's clock is worth and how far the unit's stands from it. Each part is kept
// apart and shown joined on the window's status label; the texts are worked out here from values.
#pragma once

#include <QString>

#include "diagnosis/diagnosis.h"
#include "exchange/updateprogress.h"
#include "flash/session.h"
#include "status/clockcheck.h"

namespace irig::shell {

class StatusLabel;

class StatusLine {
public:
    // The label it is shown on, from now on.
    void ShowOn(StatusLabel* label) { label_ = label; }

    void SetPort(const QString& text);
    void SetLease(const QString& text);
    void SetSession(const QString& text);
    void SetClock(const QString& text);
    void SetUnit(const QString& text);
    const QString& Port() const { return port_; }
    // The parts joined, as shown.
    QString Text() const;

private:
    void Show();

    StatusLabel* label_ = nullptr;
    QString port_;     // "COM1 → /dev/ttyUSB0 (FT232R USB UART, serial A1234): open"
    QString lease_;    // "borrowed from irigctl monitor" while it is
    QString session_;  // an update's progress or verdict
    QString clock_;    // the host clock's state, and when the unit was last set
    QString unit_;     // how far the unit's clock was from the host's when last measured
};

// How far the unit's clock was when last measured, and what that means where it names a fault:
// "unit +3600000 ms ±2 ms: 1 hour ahead of this computer's local time (…)"; a plain offset
// ("unit +137 ms ±5 ms") says only its figure.
QString UnitClockText(const status::ClockOffset& offset, const diagnosis::Diagnosis& diagnosis);
// The same, diagnosed against this computer's clock, zone and leap-second list now.
QString UnitClockText(const status::ClockOffset& offset);

// "COM1 → /dev/ttyUSB0 (FT232R USB UART, serial A1234): open"; the description may be empty.
QString PortOpenText(const QString& name, const QString& device, const QString& description);

// "COM7 → rfc2217://ts1:4001: connecting…".
QString PortConnectingText(const QString& name, const QString& address);

// "COM1 lost: the device went away; waiting for /dev/ttyUSB0 to come back (or pick a port)".
QString PortLostText(const QString& name, const QString& reason, const QString& waiting);

// "Programming: 120 of 896 blocks · 0:14 elapsed · about 1:02 left"; no estimate while
// `remainingMs` is negative.
QString ProgressText(int confirmed, int total, qint64 elapsedMs, qint64 remainingMs);

// A running update at `nowMs`: its progress, or that the unit has been silent for `silenceMs` or
// longer, with the ways out.
QString UpdateText(const exchange::UpdateProgress& update, qint64 nowMs, qint64 silenceMs);

// What an update's end means for the technician; empty for no end.
QString VerdictText(flash::FlashSession::End end, qint64 tookMs);

}  // namespace irig::shell
