// Discrete events by simulated time. The world puts what will happen on the air here;
// the event pump runs each action once the platform clock has reached its time. Actions
// due at the same time run in the order they were scheduled, so a run is repeatable.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "sim/world/sim_time.h"

namespace sim {

class scheduler {
  public:
    using action = std::function<void()>;

    void at(sim_us time, action what);
    bool empty() const { return queue_.empty(); }
    // Time of the earliest action, or `never`.
    sim_us next_time() const;
    // Removes the earliest action and returns it; its time becomes position().
    action pop();
    // Time of the action most recently popped: where the simulation stands.
    sim_us position() const { return position_; }
    void clear();

  private:
    struct entry {
        sim_us time;
        uint64_t order;
        action what;
    };
    struct later {
        bool operator()(const entry& a, const entry& b) const {
            return a.time != b.time ? a.time > b.time : a.order > b.order;
        }
    };
    std::priority_queue<entry, std::vector<entry>, later> queue_;
    uint64_t next_order_ = 0;
    sim_us position_ = 0;
};

}  // namespace sim
