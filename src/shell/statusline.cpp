#include "shell/statusline.h"

#include "flash/session.h"

namespace irig::shell {

namespace {

const QString kSeparator = QStringLiteral("  ·  ");

}  // namespace

QString StatusLine::Text() const {
    QStringList parts;
    for (const QString& part : {port, session, clock}) {
        if (!part.isEmpty()) {
            parts.append(part);
        }
    }
    return parts.join(kSeparator);
}

QString PortOpenText(const QString& name, const QString& device, const QString& description) {
    const QString target =
        device.isEmpty() || device == name ? name : name + QStringLiteral(" → ") + device;
    return description.isEmpty() ? target + QStringLiteral(": open")
                                 : QStringLiteral("%1 (%2): open").arg(target, description);
}

QString ProgressText(int confirmed, int total, qint64 elapsedMs, qint64 remainingMs) {
    QString text = QStringLiteral("Programming: %1 of %2 blocks").arg(confirmed).arg(total) +
                   kSeparator + flash::MinutesSeconds(elapsedMs) + QStringLiteral(" elapsed");
    if (remainingMs >= 0) {
        text += kSeparator +
                QStringLiteral("about %1 left").arg(flash::MinutesSeconds(remainingMs + 999));
    }
    return text;
}

}  // namespace irig::shell
