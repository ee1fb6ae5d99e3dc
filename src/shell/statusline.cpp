#include "shell/statusline.h"

#include <QStringList>

#include "shell/statuslabel.h"

namespace irig::shell {

namespace {

const QString kSeparator = QStringLiteral("  ·  ");

}  // namespace

void StatusLine::SetPort(const QString& text) {
    port_ = text;
    Show();
}

void StatusLine::SetLease(const QString& text) {
    lease_ = text;
    Show();
}

void StatusLine::SetSession(const QString& text) {
    session_ = text;
    Show();
}

void StatusLine::SetClock(const QString& text) {
    clock_ = text;
    Show();
}

void StatusLine::SetUnit(const QString& text) {
    unit_ = text;
    Show();
}

QString StatusLine::Text() const {
    QStringList parts;
    for (const QString& part : {port_, lease_, session_, clock_, unit_}) {
        if (!part.isEmpty()) {
            parts.append(part);
        }
    }
    return parts.join(kSeparator);
}

void StatusLine::Show() {
    if (label_ != nullptr) {
        label_->SetWholeText(Text());
    }
}

QString UnitClockText(const status::ClockOffset& offset, const diagnosis::Diagnosis& diagnosis) {
    QString figure = status::OffsetText(offset, status::OffsetStyle::kSigned);
    if (diagnosis.kind == diagnosis::Kind::kNone || diagnosis.kind == diagnosis::Kind::kOff) {
        return figure;
    }
    return figure + QStringLiteral(": ") + diagnosis.text;
}

QString UnitClockText(const status::ClockOffset& offset) {
    return UnitClockText(offset, diagnosis::Diagnose(diagnosis::ThisComputer(offset)));
}

QString PortOpenText(const QString& name, const QString& device, const QString& description) {
    const QString target =
        device.isEmpty() || device == name ? name : name + QStringLiteral(" → ") + device;
    return description.isEmpty() ? target + QStringLiteral(": open")
                                 : QStringLiteral("%1 (%2): open").arg(target, description);
}

QString PortConnectingText(const QString& name, const QString& address) {
    return QStringLiteral("%1 → %2: connecting…").arg(name, address);
}

QString PortLostText(const QString& name, const QString& reason, const QString& waiting) {
    return QStringLiteral("%1 lost: %2; %3 (or pick a port)").arg(name, reason, waiting);
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

QString UpdateText(const exchange::UpdateProgress& update, qint64 nowMs, qint64 silenceMs) {
    const qint64 silent = update.SilenceMs(nowMs);
    if (silent >= silenceMs) {
        return QStringLiteral(
                   "No answer from the unit for %1 s: press Program to start again, or Exit")
            .arg(silent / 1000);
    }
    return ProgressText(update.Confirmed(), update.Blocks(), update.ElapsedMs(nowMs),
                        update.RemainingMs(nowMs));
}

QString VerdictText(flash::FlashSession::End end, qint64 tookMs) {
    switch (end) {
        case flash::FlashSession::End::kCompleted:
            return QStringLiteral("Update done in %1").arg(flash::MinutesSeconds(tookMs));
        case flash::FlashSession::End::kEraseFailed:
            return QStringLiteral("Update failed: the erase failed; press Program to start again");
        case flash::FlashSession::End::kLineLost:
            return QStringLiteral(
                "Update failed: the line went away; pick the port again, then press Program");
        case flash::FlashSession::End::kNone:
            break;
    }
    return {};
}

}  // namespace irig::shell
