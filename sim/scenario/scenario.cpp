#include "sim/scenario/scenario.h"

namespace sim {

int rssi_track::at(sim_us t) const {
    if (points.empty()) return -60;
    if (repeat > 0 && t >= 0) t %= repeat;
    if (t <= points.front().first) return points.front().second;
    for (size_t i = 1; i < points.size(); ++i) {
        const auto& [t1, v1] = points[i];
        if (t < t1) {
            const auto& [t0, v0] = points[i - 1];
            return v0 + static_cast<int>((static_cast<int64_t>(v1 - v0) * (t - t0)) / (t1 - t0));
        }
    }
    return points.back().second;
}

}  // namespace sim
