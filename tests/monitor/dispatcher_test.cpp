// The units' event loop: each row runs in a thread of its own under the dispatcher and says what
// happened, in order; timers and notifiers behave as under Qt's own.
#include "monitor/dispatcher.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMutex>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <functional>
#include <memory>

#include "support/wait.h"

namespace irig::monitor {
namespace {

using Say = std::function<void(const QString&)>;  // "end" ends the row

struct LoopRow {
    const char* name;
    std::function<void(QObject* context, Say say)> scenario;  // started in the loop's thread
    const char* said;                                         // each line said, with spaces
};

class Loop : public testing::TestWithParam<LoopRow> {};

QTimer* After(QObject* context, int ms, std::function<void()> fire) {
    auto* timer = new QTimer(context);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, context, std::move(fire));
    timer->start(ms);
    return timer;
}

TEST_P(Loop, DeliversAsQtsOwnWould) {
    QThread thread;
    thread.setEventDispatcher(MakeManyPortsDispatcher().release());
    thread.start();
    auto* context = new QObject;
    context->moveToThread(&thread);
    QMutex mutex;
    QStringList said;
    QMetaObject::invokeMethod(context, [&] {
        GetParam().scenario(context, [&](const QString& line) {
            const QMutexLocker lock(&mutex);
            said.append(line);
        });
    });
    EXPECT_TRUE(test::WaitUntil([&] {
        const QMutexLocker lock(&mutex);
        return said.contains(QStringLiteral("end"));
    }));
    QMetaObject::invokeMethod(
        context, [context] { delete context; }, Qt::BlockingQueuedConnection);
    thread.quit();
    EXPECT_TRUE(thread.wait(5000)) << "a quit from another thread ends its loop";
    EXPECT_EQ(said.join(QLatin1Char(' ')), QLatin1String(GetParam().said));
}

INSTANTIATE_TEST_SUITE_P(
    Dispatcher, Loop,
    testing::Values(
        LoopRow{"timers_fire_by_when_they_are_due",
                [](QObject* c, Say say) {
                    for (const int ms : {30, 10, 20, 40}) {
                        After(c, ms, [say, ms] { say(ms < 40 ? QString::number(ms) : "end"); });
                    }
                },
                "10 20 30 end"},
        LoopRow{"a_timer_stopped_by_another_due_with_it_does_not_fire",
                [](QObject* c, Say say) {
                    auto second = std::make_shared<QTimer*>();
                    After(c, 10, [say, second] {
                        say(QStringLiteral("first"));
                        (*second)->stop();
                    });
                    *second = After(c, 10, [say] { say(QStringLiteral("second")); });
                    After(c, 30, [say] { say(QStringLiteral("end")); });
                },
                "first end"},
        LoopRow{"a_zero_timer_leaves_room_for_the_others",
                [](QObject* c, Say say) {
                    auto* spin = new QTimer(c);
                    auto turns = std::make_shared<int>(0);
                    QObject::connect(spin, &QTimer::timeout, c, [turns] { ++*turns; });
                    spin->start(0);
                    After(c, 20, [=] {
                        spin->stop();
                        say(*turns > 1 ? QStringLiteral("spun") : QStringLiteral("stuck"));
                        say(QStringLiteral("end"));
                    });
                },
                "spun end"},
        LoopRow{"a_reader_hears_each_write_and_nothing_while_off",
                [](QObject* c, Say say) {
                    int ends[2] = {-1, -1};
                    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
                    QObject::connect(c, &QObject::destroyed, [ends] {
                        ::close(ends[0]);
                        ::close(ends[1]);
                    });
                    auto* reader = new QSocketNotifier(ends[0], QSocketNotifier::Read, c);
                    QObject::connect(reader, &QSocketNotifier::activated, c, [=] {
                        char bytes[8] = {};
                        say(QString::fromLatin1(::read(ends[0], bytes, 2) == 2 ? bytes : "short"));
                        say(QStringLiteral("end"));
                    });
                    reader->setEnabled(false);
                    EXPECT_EQ(::write(ends[1], "a", 1), 1);
                    After(c, 20, [=] {
                        say(QStringLiteral("on"));
                        reader->setEnabled(true);
                        EXPECT_EQ(::write(ends[1], "b", 1), 1);
                    });
                },
                "on ab end"},
        LoopRow{"a_number_closed_and_given_to_another_socket_is_heard_again",
                [](QObject* c, Say say) {
                    int first[2] = {-1, -1};
                    int second[2] = {-1, -1};
                    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, first), 0);
                    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, second), 0);
                    QObject::connect(c, &QObject::destroyed, [first, second] {
                        for (const int end : {first[0], first[1], second[1]}) {
                            ::close(end);
                        }
                    });
                    auto* writer = new QSocketNotifier(first[0], QSocketNotifier::Write, c);
                    QObject::connect(writer, &QSocketNotifier::activated, c, [=] {
                        say(QStringLiteral("first"));
                        writer->setEnabled(false);
                        // As a refused connection tried again: closed, and the number reused.
                        ::dup2(second[0], first[0]);
                        ::close(second[0]);
                        auto* again = new QSocketNotifier(first[0], QSocketNotifier::Write, c);
                        QObject::connect(again, &QSocketNotifier::activated, c, [=] {
                            again->setEnabled(false);
                            say(QStringLiteral("again"));
                            say(QStringLiteral("end"));
                        });
                    });
                },
                "first again end"},
        LoopRow{"an_object_moved_away_takes_its_timer_along",
                [](QObject*, Say say) {
                    auto* moved = new QTimer;
                    moved->setSingleShot(true);
                    moved->start(20);
                    QObject::connect(moved, &QTimer::timeout, moved, [moved, say] {
                        say(QString::fromLatin1(
                            QThread::currentThread() == moved->thread() ? "there" : "here"));
                        say(QStringLiteral("end"));
                        moved->deleteLater();
                    });
                    moved->moveToThread(QCoreApplication::instance()->thread());
                },
                "there end"}),
    [](const testing::TestParamInfo<LoopRow>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace irig::monitor
