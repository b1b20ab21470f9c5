// A short busy wait for a hand-over between two threads that are both running.
//
// Waking a thread that sleeps takes tens of microseconds on some machines (idle cores in
// deep sleep states, virtual machines), while the work handed over takes one or two. A
// thread that expects the next piece of work within microseconds therefore watches for it
// for a bounded time first, and only then goes to sleep. The limit is real time, not the
// accelerated clock: it is about the processor, not about the program's timing.
#pragma once

#include <atomic>
#include <chrono>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

namespace platform {

// How long a thread that has just handed over or finished work watches for the next piece
// before it sleeps: longer than a hand-over between two running threads, shorter than
// anything a person or the radio link would notice.
constexpr std::chrono::microseconds handoff_spin_limit{50};

// Tells the processor that this is a busy-wait loop, so that the other hardware thread of
// the core runs on and the loop's exit is not slowed by a mispredicted memory order.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
}

// Calls `ready` until it returns true or `limit` of real time has passed; returns its last
// answer. `ready` must be cheap and take no lock (an atomic load).
template <typename Ready>
bool spin_until(Ready ready, std::chrono::microseconds limit = handoff_spin_limit) {
    using spin_clock = std::chrono::steady_clock;
    // The clock costs more than a pause: read it only every few rounds.
    constexpr int rounds_per_clock_read = 32;
    const spin_clock::time_point deadline = spin_clock::now() + limit;
    for (;;) {
        for (int round = 0; round < rounds_per_clock_read; ++round) {
            if (ready()) return true;
            cpu_relax();
        }
        if (spin_clock::now() >= deadline) return ready();
    }
}

// The processor the calling thread runs on now, or -1 where that cannot be told.
int current_processor();

// Where the thread that hands work over last ran: a watch is pointless on the processor the
// partner itself needs (both on one core of a busy machine), the partner cannot run until
// the watcher gives the core up.
class handoff_site {
  public:
    // By the thread that hands work over, as it does.
    void note_handover() { processor_.store(current_processor(), std::memory_order_relaxed); }
    bool shares_processor_with_caller() const {
        const int mine = current_processor();
        return mine >= 0 && mine == processor_.load(std::memory_order_relaxed);
    }

  private:
    std::atomic<int> processor_{-1};
};

// One waiting thread's judgement of whether watching pays. Watching pays when waking a
// sleeping thread is slow and the next piece of work comes soon; so the thread watches only
// while its last sleeping wait was neither short (a wake-up that is quick by itself: a busy
// machine, whose cores never rest, wakes threads in a few microseconds, and there threads
// that spin would only lose the priority a sleeping thread gets over the other programs)
// nor long (an idle program never spins). Now and then it sleeps anyway to judge again.
// When a watch runs out in vain, the next waits go straight to sleep: twice as many after
// each such watch, up to a bound, and half as many again after each watch that succeeds.
class handoff_waiter {
  public:
    // Returns once `ready` is true, having watched it for up to the limit if that pays, or
    // once `block` (the sleeping wait) has returned. `partner` is where the work comes from.
    template <typename Ready, typename Block>
    void wait(const handoff_site& partner, Ready ready, Block block) {
        if (skip_ > 0) {
            --skip_;
        } else if (watch_ && watches_ < watches_between_judgements &&
                   !partner.shares_processor_with_caller()) {
            ++watches_;
            if (spin_until(ready)) {
                penalty_ = penalty_ > 1 ? penalty_ / 2 : 1;
                return;
            }
            skip_ = penalty_;
            penalty_ = penalty_ < max_penalty ? penalty_ * 2 : max_penalty;
        }
        watches_ = 0;
        // Work already there costs no sleep: nothing to judge by.
        if (ready()) {
            block();
            return;
        }
        const auto before = std::chrono::steady_clock::now();
        block();
        const auto slept = std::chrono::steady_clock::now() - before;
        watch_ = slept >= quick_wake_up && slept < work_flowing;
    }

  private:
    static constexpr std::chrono::microseconds quick_wake_up{5};
    static constexpr std::chrono::microseconds work_flowing{500};
    static constexpr unsigned watches_between_judgements = 1000;
    static constexpr unsigned max_penalty = 64;
    bool watch_ = false;
    unsigned watches_ = 0;
    unsigned skip_ = 0;
    unsigned penalty_ = 1;
};

}  // namespace platform
