// Waits on a condition variable against the program's clock, which tests accelerate: the
// limit is in clock milliseconds, the sleeps in between are real and short enough that a
// change of scale is noticed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"
#include "platform/platform.h"

namespace hci {

// True once `done()` holds; false if `limit_ms` of clock time passed first.
template <typename Predicate>
bool wait_clock_ms(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   uint64_t limit_ms, Predicate done) {
    const uint64_t deadline = platform::tick_count() + limit_ms;
    while (!done()) {
        const uint64_t now = platform::tick_count();
        if (now >= deadline) return false;
        const uint32_t slice = platform::detail::real_slice_ms(static_cast<double>(deadline - now));
        cv.wait_for(lock, std::chrono::milliseconds(slice == 0 ? 1 : slice));
    }
    return true;
}

}  // namespace hci
