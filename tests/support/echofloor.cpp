#include "support/echofloor.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <vector>

namespace irig::test {

double EchoFloorMilliseconds(int roundTrips, int frameSize) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const pid_t echo = fork();
    if (echo == 0) {
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) {
            if (write(master, buffer, n) != n)
                break;
        }
        _exit(0);
    }
    std::vector<char> frame(frameSize, '\x5A'), back(frameSize);
    QElapsedTimer timer;
    timer.start();
    for (int trip = 0; trip < roundTrips; ++trip) {
        if (write(slave, frame.data(), frameSize) != frameSize)
            break;
        for (int got = 0; got < frameSize;) {
            const ssize_t n = read(slave, back.data() + got, frameSize - got);
            if (n <= 0)
                break;
            got += static_cast<int>(n);
        }
    }
    const double milliseconds = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    close(slave);
    kill(echo, SIGTERM);
    waitpid(echo, nullptr, 0);
    close(master);
    return milliseconds;
}

}  // namespace irig::test
