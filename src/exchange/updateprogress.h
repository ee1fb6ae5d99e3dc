// How far an update has come and how long it has left: the blocks to send and those confirmed,
// when the first block went out and the rate since, the time left, and how long the unit has been
// silent. The exchange keeps it from the session's steps; the views read it. Times are a steady
// clock's milliseconds, given by the caller.
#pragma once

#include <QtGlobal>

#include "flash/session.h"

namespace irig::exchange {

class UpdateProgress {
public:
    // Program: a session of `blocks` blocks starts with the erase.
    void Start(int blocks, qint64 nowMs);
    // A step of the session: a block sent or confirmed, or the end.
    void Apply(const flash::FlashSession::Step& step, qint64 nowMs);
    // Bytes came from the unit.
    void Heard(qint64 nowMs) { heardMs_ = nowMs; }
    // The session was abandoned.
    void Stop() { running_ = false; }

    // From Program to the session's end.
    bool Running() const { return running_; }
    int Blocks() const { return blocks_; }
    int Confirmed() const { return confirmed_; }
    qint64 ElapsedMs(qint64 nowMs) const { return nowMs - startMs_; }
    // Blocks confirmed a second since the first block went out; 0 while unknown.
    double BlocksPerSecond(qint64 nowMs) const;
    // The time still to go at that rate; negative while unknown or after the end.
    qint64 RemainingMs(qint64 nowMs) const;
    // Since the unit last sent anything, or since Program.
    qint64 SilenceMs(qint64 nowMs) const { return nowMs - heardMs_; }

private:
    bool running_ = false;
    int blocks_ = 0;
    int confirmed_ = 0;
    qint64 startMs_ = 0;
    qint64 firstBlockMs_ = -1;  // when the first block went out
    qint64 heardMs_ = 0;
};

}  // namespace irig::exchange
