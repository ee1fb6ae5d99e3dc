// The floor of a stop-and-wait exchange over a pseudo-terminal: a process that echoes whatever
// comes on the master side, and frames written and read back one at a time on the slave side.
#pragma once

#include <sys/types.h>

#include <QString>

namespace irig::test {

// A raw pseudo-terminal whose master side a child process echoes, until this goes.
class EchoPty {
public:
    EchoPty();
    ~EchoPty();
    EchoPty(const EchoPty&) = delete;
    EchoPty& operator=(const EchoPty&) = delete;

    QString SlavePath() const;
    // The slave side, held open (so that another program's closing it is no hang-up).
    int Slave() const { return slave_; }

private:
    int master_ = -1;
    int slave_ = -1;
    pid_t echo_ = -1;
};

// The time of `roundTrips` frames of `frameSize` bytes written to `fd` and read back, in
// milliseconds; `afterRead` (if any) runs on `fd` after each read.
double RoundTripsMilliseconds(int fd, int roundTrips, int frameSize,
                              void (*afterRead)(int fd) = nullptr);

// The same over an EchoPty's slave side.
double EchoFloorMilliseconds(int roundTrips, int frameSize);

}  // namespace irig::test
