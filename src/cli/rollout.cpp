#include "cli/rollout.h"

#include <algorithm>

namespace irig::cli {

Rollout::Rollout(int units, int canary, std::optional<int> maxParallel,
                 std::optional<int> maxFailures)
    : states_(static_cast<size_t>(units), State::kWaiting),
      canary_(std::min(canary, units)),
      maxParallel_(maxParallel),
      maxFailures_(maxFailures) {}

int Rollout::Running() const {
    return static_cast<int>(std::count(states_.begin(), states_.end(), State::kRunning));
}

bool Rollout::CanariesDone() const {
    return std::all_of(states_.begin(), states_.begin() + canary_, [](State state) {
        return state == State::kDone || state == State::kSkipped;
    });
}

std::vector<int> Rollout::Next() {
    std::vector<int> start;
    if (stopped_) {
        return start;
    }
    int running = Running();
    // Canaries first; the others once every canary is done (a failed one stops all: see Ended).
    const int until = CanariesDone() ? static_cast<int>(states_.size()) : canary_;
    for (int unit = 0; unit < until; ++unit) {
        if (maxParallel_ && running >= *maxParallel_) {
            break;
        }
        if (states_[static_cast<size_t>(unit)] == State::kWaiting) {
            states_[static_cast<size_t>(unit)] = State::kRunning;
            start.push_back(unit);
            ++running;
        }
    }
    return start;
}

void Rollout::Ended(int unit, State state) {
    states_[static_cast<size_t>(unit)] = state;
    if (state == State::kFailed) {
        ++failures_;
        if (unit < canary_ || (maxFailures_ && failures_ >= *maxFailures_)) {
            stopped_ = true;
        }
    }
}

void Rollout::Stop() {
    stopped_ = true;
}

std::vector<int> Rollout::NotStarted() {
    std::vector<int> never;
    if (Running() > 0) {
        return never;
    }
    for (size_t unit = 0; unit < states_.size(); ++unit) {
        if (states_[unit] == State::kWaiting) {
            states_[unit] = State::kNotStarted;
            never.push_back(static_cast<int>(unit));
        }
    }
    return never;
}

bool Rollout::Over() const {
    return std::none_of(states_.begin(), states_.end(), [](State state) {
        return state == State::kWaiting || state == State::kRunning;
    });
}

Rollout::Summary Rollout::Count() const {
    Summary summary;
    for (const State state : states_) {
        switch (state) {
            case State::kDone:
                ++summary.done;
                break;
            case State::kFailed:
                ++summary.failed;
                break;
            case State::kSkipped:
                ++summary.skipped;
                break;
            case State::kStopped:
                ++summary.stopped;
                break;
            case State::kNotStarted:
                ++summary.notStarted;
                break;
            case State::kWaiting:
            case State::kRunning:
                break;
        }
    }
    return summary;
}

}  // namespace irig::cli
