// A unit that floods the line: junk without frame codes in flash mode (when no poll tick empties
// the receive buffer) and huge GPS messages. The window keeps handling its timers while the bytes
// pour in, and the line works after them. (The receive buffer's bound is the frame codec's test.)
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

#include "link/framecodec.h"
#include "status/replies.h"
#include "support/bytes.h"
#include "support/wait.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

class HostileUnit : public WindowTest {
protected:
    // Delivers `bytes` in pieces of 4 KB, one receive event per turn of the event loop as a port
    // would, while a 50 ms timer runs; returns the longest gap between two of its ticks.
    qint64 DeliverWhileTicking(const QByteArray& bytes) {
        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        int ticks = 0;
        QTimer ticker;
        ticker.setInterval(50);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, sinceTick.restart());
            ++ticks;
        });
        qsizetype from = 0;
        QTimer pour;
        QObject::connect(&pour, &QTimer::timeout, [&] {
            Receive(bytes.mid(from, 4096));
            from += 4096;
        });
        sinceTick.start();
        ticker.start();
        pour.start(0);
        EXPECT_TRUE(WaitUntil([&] { return from >= bytes.size(); }, 120'000));
        pour.stop();
        const int ticksWhilePouring = ticks;
        EXPECT_TRUE(WaitUntil([&] { return ticks >= ticksWhilePouring + 2; }, 2000));
        return longestGap;
    }
};

TEST_F(HostileUnit, JunkInFlashModeLeavesTheWindowResponsiveAndTheLineWorking) {
    Receive(Bytes("80 F0"));
    Button("cmdFlashMode")->click();
    Receive(Bytes("80 F1"));
    const qint64 gap = DeliverWhileTicking(QByteArray(64 * 1024 * 1024, 'j'));
    EXPECT_LT(gap, 200);
    // The line still works: the next reply is taken whole.
    Receive(Bytes("80 E0 03 4F 4B 80 E1"));
    EXPECT_EQ(Find<shell::TextBox>("txtGpsMessage")->text(), QStringLiteral("OK"));
}

TEST_F(HostileUnit, HugeGpsMessagesAreCutOrDroppedWithoutFreezingTheWindow) {
    const struct {
        qsizetype length;
        qsizetype shown;  // -1: dropped, the box keeps its text
    } rows[] = {{60'000, status::kGpsMessageShown}, {1024 * 1024, -1}};
    for (const auto& row : rows) {
        Find<shell::TextBox>("txtGpsMessage")->setText(QStringLiteral("before"));
        const QByteArray message(row.length, 'G');
        const qint64 gap = DeliverWhileTicking(
            link::Frame(link::code::kStartRead, QByteArray(1, '\x03') + message));
        EXPECT_LT(gap, 200) << row.length;
        const QString shown = Find<shell::TextBox>("txtGpsMessage")->text();
        if (row.shown < 0) {
            EXPECT_EQ(shown, QStringLiteral("before")) << row.length;
        } else {
            EXPECT_EQ(shown.size(), row.shown) << row.length;
        }
    }
}

}  // namespace
}  // namespace irig::test
