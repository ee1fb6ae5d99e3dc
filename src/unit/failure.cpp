#include "unit/failure.h"

namespace irig::unit {

Failure Failure::Silent(int waitedMs) {
    return {Kind::kSilent, QStringLiteral("no answer within %1 ms").arg(waitedMs)};
}

Failure Failure::Unquiet(int quietMs) {
    Failure failure{Kind::kSilent,
                    QStringLiteral("no answer: after a time-out the line never fell quiet for %1 "
                                   "ms, so the request was not sent")
                        .arg(quietMs)};
    failure.sent = false;
    return failure;
}

Failure Failure::Misfit(qsizetype expected, qsizetype got) {
    return {Kind::kMisfit,
            QStringLiteral("an answer that does not fit: %1 bytes where %2 were expected")
                .arg(got)
                .arg(expected),
            expected, got};
}

Failure Failure::TooLong(qsizetype bound) {
    return {Kind::kTooLong,
            QStringLiteral("an answer that does not fit: more than %1 bytes").arg(bound)};
}

Failure Failure::PortLost(const QString& reason) {
    return {Kind::kPortLost, QStringLiteral("the port closed: %1").arg(reason)};
}

Failure Failure::Interrupted(bool sent) {
    Failure failure{Kind::kInterrupted, QStringLiteral("interrupted")};
    failure.sent = sent;
    return failure;
}

Failure Failure::NotKept(const QString& what) {
    return {Kind::kNotKept, what};
}

Failure Failure::ImpossibleDate(const QString& reading) {
    return {Kind::kImpossibleDate,
            QStringLiteral("the unit read an impossible date and time: %1").arg(reading)};
}

}  // namespace irig::unit
