// The order in which flash updates a fleet: the canaries first, the others only once every canary
// is done; at most so many at once; no new start once so many have failed or an interrupt came.
// Decisions only, as values: which units start now, and what became of each.
#pragma once

#include <optional>
#include <vector>

namespace irig::cli {

class Rollout {
public:
    enum class State { kWaiting, kRunning, kDone, kFailed, kSkipped, kStopped, kNotStarted };

    // `units` in their order (inventory or command line); the first `canary` are canaries.
    Rollout(int units, int canary, std::optional<int> maxParallel, std::optional<int> maxFailures);

    // The units to start now; each is running from then on.
    std::vector<int> Next();
    void Ended(int unit, State state);  // kDone, kFailed, kSkipped or kStopped
    // No new start: after Ctrl-C, a failed canary or too many failures.
    void Stop();
    // The units never started, now ended as such.
    std::vector<int> NotStarted();

    bool Stopped() const { return stopped_; }

private:
    int Running() const;
    bool CanariesDone() const;

    std::vector<State> states_;
    int canary_;
    std::optional<int> maxParallel_;
    std::optional<int> maxFailures_;
    int failures_ = 0;
    bool stopped_ = false;
};

}  // namespace irig::cli
