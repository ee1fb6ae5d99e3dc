#include "cli/rollout.h"

#include <algorithm>

namespace irig::cli {

Rollout::Rollout(int units, int canary, std::optional<int> maxParallel,
                 std::optional<int> maxFailures)
    : states_(static_cast<size_t>(units), State::kWaiting),
      canary_(std::min(canary, units)),
      maxParallel_(maxParallel),
      maxFailures_(maxFailures) {}

bool Rollout::CanariesDone() const {
    return canariesDone_ == canary_;
}

// Units start in their order: every unit before `next_` has started (or will never start).
std::vector<int> Rollout::Next() {
    std::vector<int> start;
    if (stopped_) {
        return start;
    }
    // Canaries first; the others once every canary is done (a failed one stops all: see Ended).
    const int until = CanariesDone() ? static_cast<int>(states_.size()) : canary_;
    for (; next_ < until && (!maxParallel_ || running_ < *maxParallel_); ++next_) {
        states_[static_cast<size_t>(next_)] = State::kRunning;
        start.push_back(next_);
        ++running_;
    }
    return start;
}

void Rollout::Ended(int unit, State state) {
    State& was = states_[static_cast<size_t>(unit)];
    running_ -= was == State::kRunning ? 1 : 0;
    was = state;
    if (unit < canary_ && (state == State::kDone || state == State::kSkipped)) {
        ++canariesDone_;
    }
    if (state == State::kFailed) {
        ++failures_;
        if (!stopped_ && (unit < canary_ || (maxFailures_ && failures_ >= *maxFailures_))) {
            stopped_ = true;
            stoppedBy_ = unit;
        }
    }
}

void Rollout::Stop() {
    stopped_ = true;
}

std::vector<int> Rollout::NotStarted() {
    std::vector<int> never;
    if (running_ > 0 || !stopped_) {
        return never;
    }
    for (; next_ < static_cast<int>(states_.size()); ++next_) {
        states_[static_cast<size_t>(next_)] = State::kNotStarted;
        never.push_back(next_);
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
