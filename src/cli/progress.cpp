#include "cli/progress.h"

#include "cli/flashjob.h"
#include "flash/session.h"
#include "link/printable.h"

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace irig::cli {

namespace {

constexpr int kBarWidth = 24;
constexpr int kNarrowestBar = 10;
constexpr int kDefaultWidth = 80;
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
        case FlashJob::Phase::kChecking:
            return QStringLiteral("asking its version");
        case FlashJob::Phase::kSkipped:
            return QStringLiteral("already at its version");
        case FlashJob::Phase::kNotStarted:
            return QStringLiteral("not started");
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

Progress::Output Progress::OutputOf(std::FILE* file) {
#ifdef Q_OS_UNIX
    return {file, ::isatty(::fileno(file)) != 0 && qgetenv("TERM") != "dumb"};
#else
    return {file, false};
#endif
}

Progress::Progress(QList<FlashJob*> jobs, Output output) : jobs_(std::move(jobs)), output_(output) {
    redraw_.setInterval(output_.terminal ? kTerminalRedrawMs : kPlainLineMs);
    connect(&redraw_, &QTimer::timeout, this, &Progress::Draw);
    redraw_.start();
    if (output_.terminal) {
        Draw();
    }
}

QString Progress::Line(const FlashJob& job, int width) {
    const int percent = job.Blocks() == 0 ? 0 : 100 * job.Confirmed() / job.Blocks();
    const qint64 remaining = job.RemainingMs();
    // In the order shown; `drop` ranks which go first when the line is too long (0: never).
    struct Field {
        QString text;
        int drop;
    };
    QList<Field> fields = {
        {link::PrintableUtf8(job.Port()), 0},
        {QStringLiteral("%1/%2 blocks").arg(job.Confirmed()).arg(job.Blocks()), 4},
        {QStringLiteral("%1%").arg(percent), 2},
        {flash::MinutesSeconds(job.ElapsedMs()) + QStringLiteral(" elapsed"), 1},
        {remaining < 0 ? QString()
                       : flash::MinutesSeconds(remaining + 999) + QStringLiteral(" left"),
         3},
        {PhaseText(job.CurrentPhase()), 0}};
    auto join = [&](int bar) {
        QStringList shown;
        for (const Field& field : fields) {
            if (!field.text.isEmpty()) {
                shown.append(field.text);
            }
            if (bar > 0 && shown.size() == 1) {
                const int filled = bar * job.Confirmed() / std::max(1, job.Blocks());
                shown.append(QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                             QString(bar - filled, QLatin1Char('-')) + QLatin1Char(']'));
            }
        }
        return shown.join(QLatin1String("  "));
    };
    if (width <= 0) {
        return join(0);
    }
    const int room = width - 1;  // a full line would leave the cursor past the edge
    const int barless = static_cast<int>(join(0).size());
    const int bar = std::min(kBarWidth, room - barless - 4);  // "  [" and "]"
    if (bar >= kNarrowestBar) {
        return join(bar);
    }
    for (int drop = 1; drop <= 4; ++drop) {
        QString line = join(0);
        if (line.size() <= room) {
            return line;
        }
        for (Field& field : fields) {
            if (field.drop == drop) {
                field.text.clear();
            }
        }
    }
    return join(0).left(std::max(0, room));
}

void Progress::Say(const QString& line) {
    QString text;
    if (output_.terminal && drawn_ > 0) {
        text = QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawn_);  // up over the bars, clear them
        drawn_ = 0;
    }
    Write(text + line + QLatin1Char('\n'));
    if (output_.terminal) {
        Draw();
    }
}

void Progress::Draw() {
    QString text;
    if (output_.terminal && drawn_ > 0) {
        text += QStringLiteral("\x1b[%1A\r").arg(drawn_);
    }
    const int width = output_.terminal ? Width() : 0;
    const QString clear = output_.terminal ? QStringLiteral("\x1b[2K") : QString();
    // Ended jobs first, once, where they stay; then the running ones, redrawn each time.
    QList<FlashJob*> running;
    for (FlashJob* job : jobs_) {
        if (job->Ended()) {
            text += clear + Line(*job, width) + QLatin1Char('\n');
        } else {
            running.append(job);
        }
    }
    for (const FlashJob* job : running) {
        text += clear + Line(*job, width) + QLatin1Char('\n');
    }
    jobs_ = running;
    drawn_ = output_.terminal ? static_cast<int>(jobs_.size()) : 0;
    Write(text);
}

void Progress::Finish() {
    redraw_.stop();
    if (output_.terminal) {
        Draw();
    }
}

int Progress::Width() const {
#ifdef Q_OS_UNIX
    winsize size{};
    if (::ioctl(::fileno(output_.file), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
#endif
    return kDefaultWidth;
}

void Progress::Write(const QString& text) {
    (void)std::fputs(text.toLocal8Bit().constData(), output_.file);
    (void)std::fflush(output_.file);
}

}  // namespace irig::cli
