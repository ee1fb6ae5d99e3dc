// The progress of flash jobs on standard error: on a terminal, a line a unit redrawn in place and
// fitted to the terminal's width as it is now (no colour); otherwise, or where TERM is dumb, one
// plain line a unit every few seconds, without escape codes. Lines said in between (retries)
// appear above the bars, and so does a job's last line once it has ended: only running jobs are
// redrawn.
#pragma once

#include <QList>
#include <QObject>
#include <QTimer>
#include <cstdio>

namespace irig::cli {

class FlashJob;

class Progress final : public QObject {
    Q_OBJECT

public:
    struct Output {
        std::FILE* file;
        bool terminal;  // a terminal that takes escape codes
    };
    // Standard error as it is: a terminal (unless TERM is dumb) or not.
    static Output OutputOf(std::FILE* file);

    Progress(QList<FlashJob*> jobs, Output output);

    // A job that has begun; it must outlive the progress.
    void Add(FlashJob* job) { jobs_.append(job); }
    void Say(const QString& line);
    // The last state of every job, once.
    void Finish();

    // "COM1  [#####-----]  448/896 blocks  50%  1:09 elapsed  1:09 left  programming", shorter
    // than `width` columns (the bar narrows, then the least needed fields go); without a bar and
    // whole when `width` is 0.
    static QString Line(const FlashJob& job, int width);

private:
    void Draw();
    void Write(const QString& text);
    int Width() const;

    QList<FlashJob*> jobs_;  // not yet drawn in their end
    Output output_;
    QTimer redraw_;
    int drawn_ = 0;  // bar lines on the screen below the cursor's line start
};

}  // namespace irig::cli
