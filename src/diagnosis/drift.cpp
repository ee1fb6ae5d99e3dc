#include "diagnosis/drift.h"

#include <cmath>

namespace irig::diagnosis {

namespace {

// "45 s", "3 min 20 s", "2 h 5 min".
QString MinutesSeconds(qint64 seconds) {
    if (seconds < 60) {
        return QStringLiteral("%1 s").arg(seconds);
    }
    if (seconds < 3600) {
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    }
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds / 60 % 60);
}

}  // namespace

void DriftTracker::Add(status::HostMicros at, const status::ClockOffset& offset,
                       std::optional<uint8_t> source) {
    const Point point{at, offset};
    if (first_ && source == source_) {
        const double seconds = static_cast<double>(at - last_.at) / 1e6;
        const double step = std::abs(static_cast<double>(offset.offsetMs - last_.offset.offsetMs));
        const double allowed =
            static_cast<double>(offset.uncertaintyMs + last_.offset.uncertaintyMs) +
            kMostPpm * seconds / 1000;
        if (step <= allowed && at > last_.at) {
            last_ = point;
            return;
        }
    }
    source_ = source;
    first_ = point;
    last_ = point;
}

std::optional<Drift> DriftTracker::Current() const {
    if (!first_ || last_.at <= first_->at) {
        return std::nullopt;
    }
    const double seconds = static_cast<double>(last_.at - first_->at) / 1e6;
    Drift drift;
    // Milliseconds a second are thousandths: a thousand times that is millionths.
    drift.ppm =
        static_cast<double>(last_.offset.offsetMs - first_->offset.offsetMs) * 1000 / seconds;
    drift.uncertaintyPpm =
        static_cast<double>(last_.offset.uncertaintyMs + first_->offset.uncertaintyMs) * 1000 /
        seconds;
    drift.spanSeconds = static_cast<qint64>(seconds);
    const bool plain = std::abs(drift.ppm) > drift.uncertaintyPpm;
    if (!plain && drift.spanSeconds < kSpanSeconds) {
        return std::nullopt;
    }
    const double offset = static_cast<double>(last_.offset.offsetMs);
    const double bound = static_cast<double>(drift.ppm > 0 ? boundMs_ : -boundMs_);
    if (plain && std::abs(offset) >= static_cast<double>(boundMs_) && offset * drift.ppm > 0) {
        drift.secondsToBound = 0;
    } else if (plain && drift.ppm != 0 && std::abs(offset) < static_cast<double>(boundMs_)) {
        drift.secondsToBound = std::llround((bound - offset) * 1000 / drift.ppm);
    }
    return drift;
}

QString DriftText(const Drift& drift, qint64 boundMs) {
    QString text = QStringLiteral("drifting %1%2 ppm (±%3 ppm) over %4")
                       .arg(drift.ppm >= 0 ? QStringLiteral("+") : QStringLiteral("\u2212"))
                       .arg(std::abs(drift.ppm), 0, 'f', drift.uncertaintyPpm < 1 ? 2 : 0)
                       .arg(drift.uncertaintyPpm, 0, 'f', drift.uncertaintyPpm < 1 ? 2 : 0)
                       .arg(MinutesSeconds(drift.spanSeconds));
    if (drift.secondsToBound) {
        text += *drift.secondsToBound == 0 ? QStringLiteral(": beyond ±%1 ms").arg(boundMs)
                                           : QStringLiteral(": leaves ±%1 ms in %2")
                                                 .arg(boundMs)
                                                 .arg(MinutesSeconds(*drift.secondsToBound));
    }
    return text;
}

}  // namespace irig::diagnosis
