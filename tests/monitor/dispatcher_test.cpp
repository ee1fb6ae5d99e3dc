// The units' event loop: each row runs in a thread of its own under the dispatcher and says what
// happened, in order; the timers, notifiers and posted events behave as under Qt's own.
#include "monitor/dispatcher.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMutex>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <cstring>
#include <functional>
#include <memory>

#include "support/wait.h"

namespace irig::monitor {
namespace {

// A scenario, started in the loop's thread: it says what happens through `say` and calls `done`.
using Scenario = std::function<void(QObject* context, std::function<void(const QString&)> say,
                                    std::function<void()> done)>;

struct LoopRow {
    const char* name;
    Scenario scenario;
    const char* said;  // each line said, joined with spaces
};

class Loop : public testing::TestWithParam<LoopRow> {};

QTimer* Once(QObject* context, int ms, std::function<void()> fire) {
    auto* timer = new QTimer(context);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, context, std::move(fire));
    timer->start(ms);
    return timer;
}

TEST_P(Loop, DeliversAsQtsOwnWould) {
    auto dispatcher = MakeManyPortsDispatcher();
    ASSERT_NE(dispatcher, nullptr);
    QThread thread;
    thread.setEventDispatcher(dispatcher.release());
    thread.start();
    auto* context = new QObject;
    context->moveToThread(&thread);
    QMutex mutex;
    QStringList said;
    bool finished = false;
    QMetaObject::invokeMethod(context, [&] {
        GetParam().scenario(
            context,
            [&](const QString& line) {
                const QMutexLocker lock(&mutex);
                said.append(line);
            },
            [&] {
                const QMutexLocker lock(&mutex);
                finished = true;
            });
    });
    EXPECT_TRUE(test::WaitUntil([&] {
        const QMutexLocker lock(&mutex);
        return finished;
    }));
    QMetaObject::invokeMethod(
        context, [context] { delete context; }, Qt::BlockingQueuedConnection);
    thread.quit();
    EXPECT_TRUE(thread.wait(5000)) << "a quit from another thread ends its loop";
    const QMutexLocker lock(&mutex);
    EXPECT_EQ(said.join(QLatin1Char(' ')), QLatin1String(GetParam().said));
}

// Two ends of a connected socket pair, closed with the scenario's context.
std::pair<int, int> SocketPair(QObject* context) {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    QObject::connect(context, &QObject::destroyed, [ends] {
        ::close(ends[0]);
        ::close(ends[1]);
    });
    return {ends[0], ends[1]};
}

INSTANTIATE_TEST_SUITE_P(
    Dispatcher, Loop,
    testing::Values(
        LoopRow{"timers_fire_by_when_they_are_due",
                [](QObject* c, auto say, auto done) {
                    for (const int ms : {30, 10, 20}) {
                        Once(c, ms, [say, ms] { say(QString::number(ms)); });
                    }
                    Once(c, 40, done);
                },
                "10 20 30"},
        LoopRow{"a_timer_stopped_by_another_due_with_it_does_not_fire",
                [](QObject* c, auto say, auto done) {
                    auto second = std::make_shared<QTimer*>();
                    Once(c, 10, [say, second] {
                        say(QStringLiteral("first"));
                        (*second)->stop();
                    });
                    *second = Once(c, 10, [say] { say(QStringLiteral("second")); });
                    Once(c, 30, done);
                },
                "first"},
        LoopRow{"a_zero_timer_leaves_room_for_the_others",
                [](QObject* c, auto say, auto done) {
                    auto* spin = new QTimer(c);
                    auto* turns = new int(0);
                    QObject::connect(spin, &QTimer::timeout, c, [turns] { ++*turns; });
                    spin->start(0);
                    Once(c, 20, [=] {
                        spin->stop();
                        say(*turns > 1 ? QStringLiteral("spun") : QStringLiteral("stuck"));
                        delete turns;
                        done();
                    });
                },
                "spun"},
        LoopRow{"a_repeating_timer_repeats_and_says_how_long_is_left",
                [](QObject* c, auto say, auto done) {
                    auto* every = new QTimer(c);
                    auto* count = new int(0);
                    QObject::connect(every, &QTimer::timeout, c, [=] {
                        if (++*count == 3) {
                            every->stop();
                            delete count;
                            done();
                        }
                    });
                    every->start(5);
                    const int left = every->remainingTime();
                    say(left >= 0 && left <= 5 ? QStringLiteral("left") : QString::number(left));
                },
                "left"},
        LoopRow{"a_reader_hears_each_write_and_nothing_while_off",
                [](QObject* c, auto say, auto done) {
                    const auto [ours, theirs] = SocketPair(c);
                    auto* reader = new QSocketNotifier(ours, QSocketNotifier::Read, c);
                    QObject::connect(reader, &QSocketNotifier::activated, c, [=, ours = ours] {
                        char bytes[16] = {};
                        const ssize_t got = ::read(ours, bytes, sizeof bytes);
                        say(QString::fromLatin1(bytes,
                                                static_cast<qsizetype>(std::max<ssize_t>(got, 0))));
                        if (std::strchr(bytes, 'b') != nullptr) {
                            done();
                        }
                    });
                    reader->setEnabled(false);
                    EXPECT_EQ(::write(theirs, "a", 1), 1);
                    Once(c, 20, [=, theirs = theirs] {
                        say(QStringLiteral("on"));
                        reader->setEnabled(true);
                        EXPECT_EQ(::write(theirs, "b", 1), 1);
                    });
                },
                "on ab"},
        LoopRow{"a_writer_is_woken_while_there_is_room",
                [](QObject* c, auto say, auto done) {
                    const int ours = SocketPair(c).first;
                    auto* writer = new QSocketNotifier(ours, QSocketNotifier::Write, c);
                    QObject::connect(writer, &QSocketNotifier::activated, c, [=] {
                        writer->setEnabled(false);
                        say(QStringLiteral("room"));
                        done();
                    });
                },
                "room"},
        LoopRow{"an_object_moved_away_takes_its_timer_along",
                [](QObject* c, auto say, auto done) {
                    auto* moved = new QTimer;
                    moved->setSingleShot(true);
                    QObject::connect(moved, &QTimer::timeout, moved, [moved, say, done] {
                        say(QThread::currentThread() == moved->thread() ? QStringLiteral("there")
                                                                        : QStringLiteral("here"));
                        moved->deleteLater();
                        done();
                    });
                    moved->start(20);
                    moved->moveToThread(QCoreApplication::instance()->thread());
                    Q_UNUSED(c);
                },
                "there"}),
    [](const testing::TestParamInfo<LoopRow>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace irig::monitor
