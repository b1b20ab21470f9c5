// Tells when the simulated world falls behind its clock. At a high time scale on a busy
// machine the event thread may not keep up: actions run later than their simulated time,
// while the program's own calls are stamped with the clock, so what the program sees stops
// matching what it does. A run like that proves little, and the world says so.
//
// The watch is fed the lag of every action as it runs (clock time minus the action's time)
// and answers with a line to log when the world first falls behind by more than the
// threshold, and again once it has caught up (telling when it did, and the worst lag in
// between); between two lines lies at least the quiet time, so a world that keeps crossing
// the threshold does not flood the log.
#pragma once

#include <optional>
#include <string>

#include "sim/world/sim_time.h"

namespace sim {

class lag_watch {
  public:
    struct settings {
        sim_us behind_above = ms(1000);    // falling behind: an action runs this late or later
        sim_us caught_up_below = ms(100);  // caught up: an action runs less late than this
        sim_us quiet = ms(60000);          // at least this long between two lines
    };

    struct line {
        bool behind = false;  // false: caught up
        std::string text;
    };

    lag_watch() = default;
    explicit lag_watch(const settings& s) : settings_(s) {}

    // `now` is the clock's simulated time as an action runs, `lag` how late it runs.
    std::optional<line> observe(sim_us now, sim_us lag);

    bool behind() const { return reported_behind_; }

  private:
    settings settings_;
    bool reported_behind_ = false;
    std::optional<sim_us> last_line_;
    sim_us worst_ = 0;  // the largest lag since the world was said to be behind
    sim_us behind_since_ = 0;
    std::optional<sim_us> caught_up_at_;  // and has not fallen behind again since
};

}  // namespace sim
