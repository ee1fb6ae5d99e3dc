// The order in which flash updates a fleet: the canaries first, the others only once every canary
// is done; at most so many at once; no new start once so many have failed or an interrupt came.
// Decisions only, as values: which units start now, what became of each, and the count. A unit
// whose port cannot be opened ends as failed, like any other.
#pragma once

#include <optional>
#include <vector>

namespace irig::cli {

class Rollout {
public:
    enum class State { kWaiting, kRunning, kDone, kFailed, kSkipped, kStopped, kNotStarted };
    // How many units ended so; all of them once the rollout is over.
    struct Summary {
        int done = 0;
        int failed = 0;
        int skipped = 0;
        int stopped = 0;
        int notStarted = 0;

        bool operator==(const Summary&) const = default;
    };

    // `units` in their order (inventory or command line); the first `canary` are canaries.
    Rollout(int units, int canary, std::optional<int> maxParallel, std::optional<int> maxFailures);

    // The units to start now; each is running from then on.
    std::vector<int> Next();
    // kDone, kFailed, kSkipped, kStopped, or kNotStarted for a unit started but interrupted
    // before its update began.
    void Ended(int unit, State state);
    // No new start: after Ctrl-C, a failed canary or too many failures.
    void Stop();
    // The units never started, now ended as such.
    std::vector<int> NotStarted();

    bool Stopped() const { return stopped_; }
    // The unit whose failure stopped it (a canary, or the one that reached the most failures);
    // none while it goes on, or when Stop stopped it.
    std::optional<int> StoppedBy() const { return stoppedBy_; }
    // No unit runs and none will start.
    bool Over() const;
    Summary Count() const;

private:
    bool CanariesDone() const;

    std::vector<State> states_;
    int next_ = 0;  // the first unit not yet started
    int running_ = 0;
    int canary_;
    int canariesDone_ = 0;  // done or skipped
    std::optional<int> maxParallel_;
    std::optional<int> maxFailures_;
    int failures_ = 0;
    bool stopped_ = false;
    std::optional<int> stoppedBy_;
};

}  // namespace irig::cli
