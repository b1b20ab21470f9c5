#include "sim/world/lag_watch.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

std::string seconds(sim_us t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(t) / 1e6);
    return text;
}

}  // namespace

std::optional<lag_watch::line> lag_watch::observe(sim_us now, sim_us lag) {
    if (reported_behind_) {
        worst_ = std::max(worst_, lag);
        // When it caught up, not when the quiet time let it be said.
        if (lag < settings_.caught_up_below) {
            if (!caught_up_at_) caught_up_at_ = now;
        } else if (lag > settings_.behind_above) {
            caught_up_at_.reset();
        }
    }
    if (last_line_ && now - *last_line_ < settings_.quiet) return std::nullopt;
    if (!reported_behind_ && lag > settings_.behind_above) {
        reported_behind_ = true;
        last_line_ = now;
        worst_ = lag;
        behind_since_ = now;
        caught_up_at_.reset();
        return line{true, "simulated world " + seconds(lag) + " behind its clock at " +
                              seconds(now) +
                              ": events reach the program late; the time scale is too high "
                              "for this machine"};
    }
    if (reported_behind_ && caught_up_at_) {
        reported_behind_ = false;
        last_line_ = now;
        return line{false, "simulated world caught up with its clock at " +
                               seconds(*caught_up_at_) + " (behind from " + seconds(behind_since_) +
                               ", by " + seconds(worst_) + " at most)"};
    }
    return std::nullopt;
}

}  // namespace sim
