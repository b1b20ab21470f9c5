#include "sim/world/scheduler.h"

#include <utility>

namespace sim {

void scheduler::at(sim_us time, action what) {
    queue_.push(entry{time, next_order_++, std::move(what)});
}

sim_us scheduler::next_time() const {
    return queue_.empty() ? never : queue_.top().time;
}

scheduler::action scheduler::pop() {
    // priority_queue::top is const; the action is moved out through a copy of the entry.
    entry top = queue_.top();
    queue_.pop();
    if (top.time > position_) position_ = top.time;
    return std::move(top.what);
}

void scheduler::clear() {
    queue_ = decltype(queue_)();
}

}  // namespace sim
