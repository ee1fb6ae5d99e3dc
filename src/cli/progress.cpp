#include "cli/progress.h"

#include "cli/flashjob.h"
#include "flash/session.h"

namespace irig::cli {

namespace {

constexpr int kBarWidth = 24;
constexpr int kTerminalRedrawMs = 200;
constexpr int kPlainLineMs = 5000;

QString PhaseText(FlashJob::Phase phase) {
    switch (phase) {
        case FlashJob::Phase::kWaiting:
            return QStringLiteral("waiting");
        case FlashJob::Phase::kReBooting:
            return QStringLiteral("re-booting");
        case FlashJob::Phase::kEnteringFlashMode:
            return QStringLiteral("entering flash mode");
        case FlashJob::Phase::kErasing:
            return QStringLiteral("erasing");
        case FlashJob::Phase::kProgramming:
            return QStringLiteral("programming");
        case FlashJob::Phase::kLeaving:
            return QStringLiteral("leaving flash mode");
        case FlashJob::Phase::kDone:
            return QStringLiteral("done");
        case FlashJob::Phase::kFailed:
            return QStringLiteral("failed");
        case FlashJob::Phase::kInterrupted:
            return QStringLiteral("stopped");
    }
    return {};
}

}  // namespace

Progress::Progress(QList<FlashJob*> jobs, bool terminal, std::FILE* out)
    : jobs_(std::move(jobs)), terminal_(terminal), out_(out) {
    redraw_.setInterval(terminal_ ? kTerminalRedrawMs : kPlainLineMs);
    connect(&redraw_, &QTimer::timeout, this, &Progress::Draw);
    redraw_.start();
    if (terminal_) {
        Draw();
    }
}

QString Progress::Line(const FlashJob& job, bool bar) {
    const int percent = job.Blocks() == 0 ? 0 : 100 * job.Confirmed() / job.Blocks();
    QString line = job.UnitOf().Port() + QLatin1String("  ");
    if (bar) {
        const int filled = kBarWidth * job.Confirmed() / std::max(1, job.Blocks());
        line += QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                QString(kBarWidth - filled, QLatin1Char('-')) + QLatin1String("]  ");
    }
    line += QStringLiteral("%1/%2 blocks  %3%  %4 elapsed")
                .arg(job.Confirmed())
                .arg(job.Blocks())
                .arg(percent)
                .arg(flash::MinutesSeconds(job.ElapsedMs()));
    const qint64 remaining = job.RemainingMs();
    if (remaining >= 0) {
        line += QStringLiteral("  %1 left").arg(flash::MinutesSeconds(remaining + 999));
    }
    return line + QLatin1String("  ") + PhaseText(job.CurrentPhase());
}

void Progress::Say(const QString& line) {
    QString text;
    if (terminal_ && drawn_ > 0) {
        text = QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawn_);  // up over the bars, clear them
        drawn_ = 0;
    }
    Write(text + line + QLatin1Char('\n'));
    if (terminal_) {
        Draw();
    }
}

void Progress::Draw() {
    QString text;
    if (terminal_ && drawn_ > 0) {
        text += QStringLiteral("\x1b[%1A\r").arg(drawn_);
    }
    for (const FlashJob* job : jobs_) {
        text += (terminal_ ? QStringLiteral("\x1b[2K") : QString()) + Line(*job, terminal_) +
                QLatin1Char('\n');
    }
    drawn_ = terminal_ ? static_cast<int>(jobs_.size()) : 0;
    Write(text);
}

void Progress::Finish() {
    redraw_.stop();
    if (terminal_) {
        Draw();
    }
}

void Progress::Write(const QString& text) {
    (void)std::fputs(text.toLocal8Bit().constData(), out_);
    (void)std::fflush(out_);
}

}  // namespace irig::cli
