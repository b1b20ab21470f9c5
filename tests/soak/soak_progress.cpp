#include "tests/soak/soak_progress.h"

#include <cstdio>

namespace soak {

bool progress_pacer::due(double real_s, double sim_ms) {
    if (terminal_) {
        if (real_s < next_real_s_) return false;
        next_real_s_ = real_s + progress_every_real_s;
        return true;
    }
    if (sim_ms < next_sim_ms_) return false;
    // A world that jumped several hours (it never does) still gives one line.
    while (next_sim_ms_ <= sim_ms) next_sim_ms_ += progress_every_sim_ms;
    return true;
}

std::string progress_line(const audit_progress& p, double planned_ms, double real_s) {
    char text[256];
    const double share = planned_ms > 0 ? 100 * p.t_ms / planned_ms : 0;
    std::snprintf(text, sizeof text,
                  "soak: %.2f h of %.4g h (%.0f%%) in %.0f s real; set-ups %d, disconnections %d, "
                  "phones connected %d of %d%s",
                  p.t_ms / 3600000, planned_ms / 3600000, share, real_s, p.setups, p.disconnections,
                  p.phones_connected, p.phones,
                  p.world_behind ? "; the world is behind its clock" : "");
    return text;
}

}  // namespace soak
