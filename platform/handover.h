// Hand-overs between threads without a wake-up each while work flows.
//
// Waking a sleeping thread takes tens of microseconds on some machines (virtual machines,
// idle cores in deep sleep), while the work handed over takes one or two: a pausing scanner's
// report goes to the work thread and its resume comes back, hundreds of thousands of times a
// second at full speed. So a thread that has just run out of work and expects more within
// microseconds watches for it for a bounded time before it sleeps. It expects more only when
// the last piece came soon after it last ran out: a program whose work comes seldom never
// watches, and one whose work flows never sleeps between pieces. The limits are real time,
// not the accelerated clock: they are about the processor, not about the program's timing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/platform.h"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

namespace platform {

using handover_clock = std::chrono::steady_clock;

// How long a thread watches for the next piece of work before it sleeps: longer than a
// hand-over between two running threads, shorter than anything a person or a radio link
// would notice.
constexpr std::chrono::microseconds handover_watch_limit{50};

// Tells the processor that this is a busy-wait loop (the other hardware thread of the core
// runs on; the loop's exit is not slowed by a mispredicted memory order).
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
}

// Calls `ready` until it returns true, `limit` of real time has passed or `shares_processor`
// says that the thread that would hand over last ran on this very processor; returns the
// last answer of `ready`. `ready` must be cheap and take no lock. Two threads on one
// processor (a busy machine) hand over by a switch, which is quick, and a watch would only
// keep the other one from running.
template <typename Ready, typename SharesProcessor>
bool watch_for(Ready ready, SharesProcessor shares_processor,
               std::chrono::microseconds limit = handover_watch_limit) {
    constexpr int rounds_per_look = 64;
    const handover_clock::time_point deadline = handover_clock::now() + limit;
    for (;;) {
        if (shares_processor()) return ready();
        for (int round = 0; round < rounds_per_look; ++round) {
            if (ready()) return true;
            cpu_relax();
        }
        if (handover_clock::now() >= deadline) return ready();
    }
}

// Where one thread receives work from others. Those handing over count each piece once it
// is where the receiver will find it; the receiver learns from the count that work came
// while it watched, and from the time the first piece came while it slept whether
// watching would have caught it.
class handover_point {
  public:
    // By a thread handing work over, once the receiver can find it.
    void handed_over() {
        giver_processor_.store(current_processor(), std::memory_order_relaxed);
        handed_.fetch_add(1, std::memory_order_acq_rel);
        if (!asleep_.load(std::memory_order_acquire)) return;
        int64_t none = 0;
        first_while_asleep_.compare_exchange_strong(none, now_ns(), std::memory_order_acq_rel);
    }
    uint64_t handed() const { return handed_.load(std::memory_order_acquire); }

    // Watches for up to `limit` until `ready` holds (see watch_for).
    template <typename Ready>
    bool watch_for(Ready ready, std::chrono::microseconds limit = handover_watch_limit) const {
        return platform::watch_for(
            ready, [this] { return giver_shares_my_processor(); }, limit);
    }

    // True when the thread that handed over last ran on the caller's processor.
    bool giver_shares_my_processor() const {
        const int mine = current_processor();
        return mine < 0 || mine == giver_processor_.load(std::memory_order_relaxed);
    }

  private:
    friend class handover_receiver;
    static int64_t now_ns() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   handover_clock::now().time_since_epoch())
            .count();
    }

    std::atomic<uint64_t> handed_{0};
    std::atomic<int> giver_processor_{-1};
    std::atomic<bool> asleep_{false};
    // 0 while nothing came since the receiver went to sleep.
    std::atomic<int64_t> first_while_asleep_{0};
};

// The receiving thread's side: one receiver per point, used only by that thread.
class handover_receiver {
  public:
    explicit handover_receiver(handover_point& point) : point_(point) {}

    // The count to compare with once the receiver has found no work: read it before looking.
    uint64_t mark() const { return point_.handed(); }

    // Watches for work handed over after `mark`, if watching pays; true when something
    // came, and the receiver need not sleep.
    bool watch(uint64_t mark) {
        if (!expect_soon_) return false;
        if (point_.watch_for([&] { return point_.handed() != mark; })) return true;
        expect_soon_ = false;
        return false;
    }

    // Runs `sleep` (the blocking wait) and judges from what woke it whether the next
    // run-out deserves a watch.
    template <typename Sleep>
    void sleep(Sleep sleep) {
        point_.first_while_asleep_.store(0, std::memory_order_release);
        point_.asleep_.store(true, std::memory_order_release);
        const int64_t idle_since = handover_point::now_ns();
        sleep();
        point_.asleep_.store(false, std::memory_order_release);
        const int64_t first = point_.first_while_asleep_.load(std::memory_order_acquire);
        // Nothing stamped: what woke it came before it slept, or was no hand-over at all
        // (a timer); either way nothing says the next piece will be quick.
        expect_soon_ = first != 0 && first - idle_since < watch_limit_ns;
    }

    bool expects_soon() const { return expect_soon_; }

  private:
    static constexpr int64_t watch_limit_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(handover_watch_limit).count();

    handover_point& point_;
    bool expect_soon_ = false;
};

}  // namespace platform
