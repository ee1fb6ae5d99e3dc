#include "page/plot.h"

#include <algorithm>
#include <cmath>

namespace irig::page {

Plotted Plot(const std::vector<Measurement>& points, qint64 nowMs, const Frame& frame) {
    Plotted plotted;
    double largest = 2.0 * static_cast<double>(std::max<qint64>(frame.bandMs, 1));
    for (const Measurement& point : points) {
        largest = std::max(largest, std::fabs(static_cast<double>(point.offsetMs)));
    }
    plotted.limitMs = largest;
    const double half = std::max(frame.height / 2 - frame.margin, 1.0);
    plotted.zero = frame.height / 2;
    const auto y = [&](double offsetMs) {
        return std::clamp(plotted.zero - offsetMs / largest * half, frame.margin,
                          frame.height - frame.margin);
    };
    plotted.bandTop = y(static_cast<double>(frame.bandMs));
    plotted.bandBottom = y(-static_cast<double>(frame.bandMs));
    const double from = static_cast<double>(nowMs) - static_cast<double>(frame.spanMs);
    const double across = std::max(frame.width - 2 * frame.margin, 1.0);
    const double span = static_cast<double>(std::max<qint64>(frame.spanMs, 1));
    plotted.dots.reserve(points.size());
    for (const Measurement& point : points) {
        const double at = std::clamp((static_cast<double>(point.atMs) - from) / span, 0.0, 1.0);
        const double offset = static_cast<double>(point.offsetMs);
        const double give = std::fabs(static_cast<double>(point.uncertaintyMs));
        plotted.dots.push_back(
            {frame.margin + at * across, y(offset), y(offset + give), y(offset - give)});
    }
    return plotted;
}

}  // namespace irig::page
