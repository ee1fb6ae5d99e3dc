// Setting the unit's clock on time: Set Time waits until the next whole second less the frame's
// time on the wire, and sends that second, so that the frame's last byte arrives as the second
// begins. This works out the wait and the second; the views keep the timer and send the frame.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <chrono>

namespace irig::status {

using HostTime = std::chrono::system_clock::time_point;

struct SetTimePlan {
    std::chrono::microseconds wait;  // from now until the frame goes out, less than a second
    QDateTime second;                // the local date and time the frame carries: one instant
};

// The first whole second that the frame can reach from `now`, and the wait that makes it arrive
// right then.
SetTimePlan PlanSetTime(HostTime now, std::chrono::microseconds wire);

// The plan for Set Time's own frame (13 bytes, 14 in a year whose low byte is 0x80), and the frame.
struct SetTimeSend {
    SetTimePlan plan;
    QByteArray frame;
};
SetTimeSend PlanSetTimeRequest(HostTime now);

}  // namespace irig::status
