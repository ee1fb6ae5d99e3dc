#include "status/settime.h"

#include "link/protocol.h"
#include "status/requests.h"

namespace irig::status {

using link::WireTime;
using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

SetTimePlan PlanSetTime(HostTime now, microseconds wire) {
    const HostTime arrival = now + wire;
    HostTime second = std::chrono::time_point_cast<seconds>(arrival);
    if (second < arrival) {
        second += seconds(1);
    }
    const qint64 epochMs = duration_cast<milliseconds>(second.time_since_epoch()).count();
    return {duration_cast<microseconds>(second - arrival), QDateTime::fromMSecsSinceEpoch(epochMs)};
}

SetTimeSend PlanSetTimeRequest(HostTime now) {
    constexpr qsizetype kUsualFrame = 13;
    SetTimeSend send{PlanSetTime(now, WireTime(kUsualFrame)), {}};
    send.frame = SetTimeRequest(send.plan.second);
    if (send.frame.size() != kUsualFrame) {
        send.plan = PlanSetTime(now, WireTime(send.frame.size()));
        send.frame = SetTimeRequest(send.plan.second);
    }
    return send;
}

}  // namespace irig::status
