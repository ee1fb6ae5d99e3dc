// The progress of flash jobs on standard error: on a terminal, a bar a unit redrawn in place (no
// colour); otherwise one plain line a unit every few seconds. Lines said in between (retries)
// appear above the bars.
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
    Progress(QList<FlashJob*> jobs, bool terminal, std::FILE* out);

    void Say(const QString& line);
    // The last state of every job, once.
    void Finish();

    // "COM1  [#####-----]  448/896  50%  1:09 elapsed  1:09 left  programming"
    static QString Line(const FlashJob& job, bool bar);

private:
    void Draw();
    void Write(const QString& text);

    QList<FlashJob*> jobs_;
    bool terminal_;
    std::FILE* out_;
    QTimer redraw_;
    int drawn_ = 0;  // bar lines on the screen below the cursor's line start
};

}  // namespace irig::cli
