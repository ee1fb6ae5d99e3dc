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

EchoPty::EchoPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    echo_ = fork();
    if (echo_ == 0) {
        char buffer[4096];
        for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) {
            if (write(master_, buffer, n) != n)
                break;
        }
        _exit(0);
    }
}

EchoPty::~EchoPty() {
    close(slave_);
    kill(echo_, SIGTERM);
    waitpid(echo_, nullptr, 0);
    close(master_);
}

QString EchoPty::SlavePath() const {
    return QString::fromLocal8Bit(ptsname(master_));
}

double RoundTripsMilliseconds(int fd, int roundTrips, int frameSize, void (*afterRead)(int fd)) {
    std::vector<char> frame(frameSize, '\x5A'), back(frameSize);
    QElapsedTimer timer;
    timer.start();
    for (int trip = 0; trip < roundTrips; ++trip) {
        if (write(fd, frame.data(), frameSize) != frameSize)
            break;
        for (int got = 0; got < frameSize;) {
            const ssize_t n = read(fd, back.data() + got, frameSize - got);
            if (n <= 0)
                break;
            got += static_cast<int>(n);
            if (afterRead != nullptr) {
                afterRead(fd);
            }
        }
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

double EchoFloorMilliseconds(int roundTrips, int frameSize) {
    const EchoPty pty;
    return RoundTripsMilliseconds(pty.Slave(), roundTrips, frameSize);
}

}  // namespace irig::test
