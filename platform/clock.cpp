#include "platform/clock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>

#include "platform/platform.h"

namespace platform {
namespace {

struct clock_state {
    std::mutex lock;
    double scale = 1.0;
    double anchor_real_ms = 0.0;
    double anchor_clock_ms = 0.0;
};

clock_state& state() {
    // Never destroyed: threads still read the clock while the process exits.
    static clock_state* s = new clock_state();
    return *s;
}

}  // namespace

namespace detail {

double real_ms_now() {
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    return duration<double, std::milli>(steady_clock::now() - origin).count();
}

double clock_ms_now() {
    clock_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.anchor_clock_ms + (real_ms_now() - s.anchor_real_ms) * s.scale;
}

uint32_t real_slice_ms(double remaining_clock_ms) {
    const double real = std::ceil(remaining_clock_ms / time_scale());
    return static_cast<uint32_t>(std::clamp(real, 1.0, 20.0));
}

uint32_t real_wait_ms(double remaining_clock_ms) {
    // Below INFINITE, which a Windows wait would take literally.
    constexpr double longest = 0x7FFFFFFF;
    const double real = std::ceil(remaining_clock_ms / time_scale());
    return static_cast<uint32_t>(std::clamp(real, 1.0, longest));
}

}  // namespace detail

// Offset so that a tick count is never 0, as on a machine that has been running.
constexpr uint64_t tick_origin_ms = 1000;

uint64_t tick_count() {
    return static_cast<uint64_t>(detail::clock_ms_now()) + tick_origin_ms;
}

uint64_t tick_count_us() {
    return static_cast<uint64_t>(detail::clock_ms_now() * 1000.0) + tick_origin_ms * 1000;
}

namespace {
void change_scale(double factor) {
    clock_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    const double real = detail::real_ms_now();
    s.anchor_clock_ms = s.anchor_clock_ms + (real - s.anchor_real_ms) * s.scale;
    s.anchor_real_ms = real;
    s.scale = factor;
}
}  // namespace

void set_time_scale(double factor) {
    if (!(factor > 0.0)) return;
    change_scale(factor);
    detail::wake_timed_waiters();
}

double time_scale() {
    clock_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.scale;
}

}  // namespace platform
