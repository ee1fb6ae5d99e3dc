#include "monitor/turns.h"

#include <algorithm>

namespace irig::monitor {

bool Turns::Ask(const void* who, std::function<void()> go) {
    if (running_.contains(who)) {
        return true;
    }
    if (Running() < limit_ && waiting_.empty()) {
        running_.insert(who);
        return true;
    }
    if (!gos_.contains(who)) {
        waiting_.push_back(who);
    }
    gos_.insert(who, std::move(go));
    return false;
}

void Turns::Done(const void* who) {
    if (gos_.remove(who)) {
        waiting_.erase(std::find(waiting_.begin(), waiting_.end(), who));
        return;
    }
    if (!running_.remove(who)) {
        return;
    }
    while (Running() < limit_ && !waiting_.empty()) {
        const void* next = waiting_.front();
        waiting_.pop_front();
        running_.insert(next);
        gos_.take(next)();
    }
}

}  // namespace irig::monitor
