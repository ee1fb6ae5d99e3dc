// Turns for the measurements of one loop's units: so many at once at most, the others waiting in
// the order they asked, so that thousands of units that open together (a start, a terminal server
// back) do not all measure at the same moment, each worse for the others' load.
#pragma once

#include <QHash>
#include <QSet>
#include <deque>
#include <functional>

namespace irig::monitor {

class Turns {
public:
    // At most `limit` at once (at least one).
    void SetLimit(int limit) { limit_ = limit < 1 ? 1 : limit; }
    // A turn for `who`: true when it may go now; otherwise it waits, and `go` is called when its
    // turn comes. Either way it holds the turn until Done.
    bool Ask(const void* who, std::function<void()> go);
    // Ends `who`'s turn, or its wait: the next one waiting goes.
    void Done(const void* who);
    int Running() const { return static_cast<int>(running_.size()); }

private:
    int limit_ = 1;
    QSet<const void*> running_;
    std::deque<const void*> waiting_;
    QHash<const void*, std::function<void()>> gos_;  // of those waiting
};

}  // namespace irig::monitor
