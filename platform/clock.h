// Shared arithmetic of the accelerated clock, used by both sides of the platform layer.
#pragma once

#include <cstdint>

namespace platform::detail {

// Real milliseconds since an arbitrary origin, as read from the OS monotonic clock.
double real_ms_now();

// Clock milliseconds now (scaled), continuous across scale changes.
double clock_ms_now();

// How many real milliseconds to sleep at most before checking the clock again while
// waiting `remaining` clock milliseconds. Bounded so that a change of scale takes effect.
uint32_t real_slice_ms(double remaining_clock_ms);

}  // namespace platform::detail
