// The event queue between the reader threads and the parent; see
// session_event.h for its policy.
#include "session_event.h"

#include <chrono>

namespace kalmo::client {

bool EventQueue::push(Event &&event) {
    std::unique_lock<std::mutex> hold(lock_);
    if (event.type == EventType::kVideo && policy_ == VideoPolicy::kLatest) {
        for (auto waiting = events_.begin(); waiting != events_.end(); ++waiting) {
            if (waiting->type != EventType::kVideo) continue;
            pool_.give_back(std::move(waiting->packet.payload));
            events_.erase(waiting);
            dropped_unreported_++;
            dropped_total_++;
            break;
        }
    }
    changed_.wait(hold, [&] { return cancelled_ || unlimited_ || events_.size() < limit_; });
    if (cancelled_) return false;
    events_.push_back(std::move(event));
    changed_.notify_all();
    return true;
}

EventQueue::Take EventQueue::pop(Event &into, int timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    auto ready = [&] { return cancelled_ || finished_ || !events_.empty(); };
    if (timeout_ms < 0) changed_.wait(hold, ready);
    else if (!changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), ready)) return kTimeout;
    if (events_.empty() || cancelled_) return kEnded;
    into = std::move(events_.front());
    events_.pop_front();
    if (into.type == EventType::kVideo) {
        into.dropped_frames = dropped_unreported_;
        dropped_unreported_ = 0;
    }
    changed_.notify_all();
    return kTaken;
}

void EventQueue::finish() {
    std::lock_guard<std::mutex> hold(lock_);
    finished_ = true;
    changed_.notify_all();
}

void EventQueue::cancel() {
    std::lock_guard<std::mutex> hold(lock_);
    cancelled_ = true;
    changed_.notify_all();
}

void EventQueue::lift_limit() {
    std::lock_guard<std::mutex> hold(lock_);
    unlimited_ = true;
    changed_.notify_all();
}

uint64_t EventQueue::dropped_total() const {
    std::lock_guard<std::mutex> hold(lock_);
    return dropped_total_;
}

}  // namespace kalmo::client
