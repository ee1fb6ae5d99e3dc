// The units as the page orders, counts and keeps them.
#include <algorithm>
#include <cmath>

#include "page/page.h"

namespace irig::page {

namespace {

bool IsDiagnosed(const Unit& unit) {
    return unit.diagnosis && unit.diagnosis->kind != QLatin1String("none");
}

// Down first, then lent, then the rest; within those, the diagnosed first.
int Rank(const Unit& unit) {
    if (unit.state == State::kDown) {
        return 0;
    }
    if (unit.state == State::kLent) {
        return 1;
    }
    return IsDiagnosed(unit) ? 2 : 3;
}

double Size(const Unit& unit) {
    return unit.offsetMs ? std::fabs(static_cast<double>(*unit.offsetMs)) : -1;
}

}  // namespace

Counts Count(const std::vector<Unit>& units) {
    Counts counts;
    for (const Unit& unit : units) {
        switch (unit.state) {
            case State::kUp:
                ++counts.up;
                counts.off += IsDiagnosed(unit) ? 1 : 0;
                break;
            case State::kDown:
                ++counts.down;
                break;
            case State::kLent:
                ++counts.lent;
                break;
        }
    }
    return counts;
}

bool Worse(const Unit& a, const Unit& b) {
    if (Rank(a) != Rank(b)) {
        return Rank(a) < Rank(b);
    }
    if (Size(a) != Size(b)) {
        return Size(a) > Size(b);
    }
    return a.name < b.name;
}

std::vector<const Unit*> WorstFirst(const std::vector<Unit>& units) {
    std::vector<const Unit*> ordered(units.size());
    std::transform(units.begin(), units.end(), ordered.begin(),
                   [](const Unit& unit) { return &unit; });
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Unit* a, const Unit* b) { return Worse(*a, *b); });
    return ordered;
}

void Remember(std::deque<Measurement>& history, const Measurement& measurement) {
    history.push_back(measurement);
    while (history.size() > kMostMeasurements ||
           history.front().atMs < measurement.atMs - kHistoryMs) {
        history.pop_front();
    }
}

void Remember(std::deque<Event>& events, const Event& event) {
    events.push_back({event.atMs, event.text.left(kLongestEvent)});
    while (events.size() > kMostEvents) {
        events.pop_front();
    }
}

const Unit* Find(const Board& board, const QString& name) {
    const auto found = std::find_if(board.units.begin(), board.units.end(),
                                    [&](const Unit& unit) { return unit.name == name; });
    return found == board.units.end() ? nullptr : &*found;
}

}  // namespace irig::page
