// Shared arithmetic of the accelerated clock, used by both sides of the platform layer.
#pragma once

#include <cstdint>

namespace platform::detail {

// Real milliseconds since an arbitrary origin, as read from the OS monotonic clock.
double real_ms_now();

// Clock milliseconds now (scaled), continuous across scale changes.
double clock_ms_now();

// How many real milliseconds to sleep at most before checking the clock again while
// waiting `remaining` clock milliseconds, for waits that cannot be woken by a change of
// scale: bounded (20 ms) so that the change takes effect all the same.
uint32_t real_slice_ms(double remaining_clock_ms);

// Real milliseconds that `remaining_clock_ms` of clock time take at the present scale
// (at least 1), for the platform's own waits, which a change of scale wakes.
uint32_t real_wait_ms(double remaining_clock_ms);

// Wakes every timed wait of the platform layer (wait_for_event, sleep_ms) so that it plans
// its wait again at the new scale. Each side of the platform layer has its own; called by
// set_time_scale once the new scale is in force.
void wake_timed_waiters();

}  // namespace platform::detail
