// Simulated time: microseconds since the dongle was opened, as a signed 64-bit count.
// Integer arithmetic keeps every schedule exact and the same on every machine.
#pragma once

#include <cstdint>
#include <optional>

namespace sim {

using sim_us = int64_t;

constexpr sim_us us_per_ms = 1000;
constexpr sim_us never = INT64_MAX;

constexpr sim_us ms(int64_t milliseconds) {
    return milliseconds * us_per_ms;
}
// Bluetooth's units: 0.625 ms for scan and advertising timing, 1.25 ms for connection
// intervals, 10 ms for time-outs.
constexpr sim_us units_625(int64_t count) {
    return count * 625;
}
constexpr sim_us units_1250(int64_t count) {
    return count * 1250;
}
constexpr sim_us units_10ms(int64_t count) {
    return count * 10000;
}

// Whether `t` lies in [from, until): always without `from`, for ever after it without `until`.
inline bool within(const std::optional<sim_us>& from, const std::optional<sim_us>& until,
                   sim_us t) {
    return !from || (t >= *from && (!until || t < *until));
}

// Milliseconds with three decimals, as the trace shows them.
inline double to_ms(sim_us t) {
    return static_cast<double>(t) / 1000.0;
}

}  // namespace sim
