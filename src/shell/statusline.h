// The texts of the status line under the frames: what the port is, what an update is doing and how
// long it has left, what the computer's clock is worth. The window keeps each part and shows them
// joined; nothing here touches a widget.
#pragma once

#include <QString>
#include <QStringList>

namespace irig::shell {

struct StatusLine {
    QString port;     // "COM1 → /dev/ttyUSB0 (FT232R USB UART, serial A1234): open"
    QString session;  // an update's progress or verdict
    QString clock;    // the host clock's state, and when the unit was last set

    QString Text() const;
};

// "COM1 → /dev/ttyUSB0 (FT232R USB UART, serial A1234): open"; the description may be empty.
QString PortOpenText(const QString& name, const QString& device, const QString& description);

// "Programming: 120 of 896 blocks · 0:14 elapsed · about 1:02 left"; no estimate while
// `remainingMs` is negative.
QString ProgressText(int confirmed, int total, qint64 elapsedMs, qint64 remainingMs);

}  // namespace irig::shell
