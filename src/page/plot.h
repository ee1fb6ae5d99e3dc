// Where a unit's measurements go in a picture of its offset over time: the time across, the offset
// up (ahead) and down (behind), the ±2 ms band, each figure inside the box whatever it is. Numbers
// only: the page draws them.
#pragma once

#include <vector>

#include "page/page.h"

namespace irig::page {

struct Frame {
    double width = 120;
    double height = 24;
    double margin = 2;  // kept free at each edge, for a point's circle
    qint64 spanMs = kHistoryMs;
    qint64 bandMs = 2;
};

struct Dot {
    double x = 0;
    double y = 0;
    double top = 0;  // the uncertainty's bar
    double bottom = 0;
};

struct Plotted {
    std::vector<Dot> dots;
    double bandTop = 0;
    double bandBottom = 0;
    double zero = 0;
    double limitMs = 0;  // the offset at the top edge (its negative at the bottom)
};

// The offsets scale to the largest, at least twice the band; a measurement older than the span
// goes to the left edge, one after `nowMs` to the right.
Plotted Plot(const std::vector<Measurement>& points, qint64 nowMs, const Frame& frame);

}  // namespace irig::page
