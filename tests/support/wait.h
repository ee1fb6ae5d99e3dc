// Waits for a condition while the event loop runs. Unlike QTest::qWaitFor, which sleeps 10 ms
// between looks, I/O is handled the moment it arrives, so a stop-and-wait exchange runs at full
// speed.
#pragma once

#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace irig::test {

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    if (done()) {
        return true;
    }
    QEventLoop loop;
    QTimer look;
    look.setInterval(1);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    look.start();
    loop.exec();
    return done();
}

}  // namespace irig::test
