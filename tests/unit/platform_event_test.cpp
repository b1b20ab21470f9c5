// Event objects, waits and the accelerated clock of the platform layer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

// Restores the clock's speed when a test ends, even when it fails.
class time_scale_guard {
  public:
    explicit time_scale_guard(double factor) : previous_(platform::time_scale()) {
        platform::set_time_scale(factor);
    }
    ~time_scale_guard() { platform::set_time_scale(previous_); }

  private:
    double previous_;
};

// Polls `condition` for up to `real_ms` real milliseconds.
template <typename Condition>
bool eventually(Condition condition, int real_ms = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct waiter {
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;

    void start(platform::event_handle event, int count) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, event] {
                if (platform::wait_for_event(event, 60000) == platform::wait_object_0) ++woken;
            });
        }
    }
    void join() {
        for (auto& t : threads) t.join();
    }
};

}  // namespace

TEST(PlatformEvent, AutoResetReleasesExactlyOneWaiterPerSignal) {
    platform::event_handle event = platform::create_event(false, false);
    ASSERT_NE(event, nullptr);
    waiter w;
    w.start(event, 2);
    ASSERT_TRUE(platform::set_event(event));
    ASSERT_TRUE(eventually([&] { return w.woken.load() >= 1; }));
    // The signal was consumed by the first waiter: the second goes on waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(w.woken.load(), 1);
    ASSERT_TRUE(platform::set_event(event));
    ASSERT_TRUE(eventually([&] { return w.woken.load() == 2; }));
    w.join();
    // Both signals were consumed.
    EXPECT_EQ(platform::wait_for_event(event, 0), platform::wait_timeout);
}

TEST(PlatformEvent, ManualResetReleasesEveryWaiterAndStaysSignalledUntilReset) {
    platform::event_handle event = platform::create_event(true, false);
    ASSERT_NE(event, nullptr);
    waiter w;
    w.start(event, 2);
    ASSERT_TRUE(platform::set_event(event));
    ASSERT_TRUE(eventually([&] { return w.woken.load() == 2; }));
    w.join();
    EXPECT_EQ(platform::wait_for_event(event, 0), platform::wait_object_0);
    EXPECT_EQ(platform::wait_for_event(event, 0), platform::wait_object_0);
    ASSERT_TRUE(platform::reset_event(event));
    EXPECT_EQ(platform::wait_for_event(event, 0), platform::wait_timeout);
}

TEST(PlatformEvent, InitiallySignalledAutoResetEventSatisfiesOneWait) {
    platform::event_handle event = platform::create_event(false, true);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(platform::wait_for_event(event, 0), platform::wait_object_0);
    EXPECT_EQ(platform::wait_for_event(event, 0), platform::wait_timeout);
}

TEST(PlatformEvent, TimedWaitOnAnUnsignalledEventTimesOutAfterItsTime) {
    platform::event_handle event = platform::create_event(true, false);
    ASSERT_NE(event, nullptr);
    const uint64_t before = platform::tick_count();
    EXPECT_EQ(platform::wait_for_event(event, 50), platform::wait_timeout);
    EXPECT_GE(platform::tick_count() - before, 50u);
}

TEST(PlatformEvent, NullHandleFailsInsteadOfCrashing) {
    EXPECT_EQ(platform::wait_for_event(nullptr, 10), platform::wait_failed);
    EXPECT_FALSE(platform::set_event(nullptr));
    EXPECT_FALSE(platform::reset_event(nullptr));
}

TEST(PlatformEvent, ScaledClockMakesALongWaitPassQuickly) {
    platform::event_handle event = platform::create_event(false, false);
    ASSERT_NE(event, nullptr);
    const auto real_start = std::chrono::steady_clock::now();
    uint64_t waited = 0;
    {
        time_scale_guard fast(65.0);
        const uint64_t before = platform::tick_count();
        EXPECT_EQ(platform::wait_for_event(event, 65000), platform::wait_timeout);
        waited = platform::tick_count() - before;
    }
    const auto real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - real_start)
                             .count();
    EXPECT_GE(waited, 65000u);
    // About one real second; far less than the 65 s an unscaled wait would take.
    EXPECT_LT(real_ms, 30000);
    EXPECT_EQ(platform::time_scale(), 1.0);
}

TEST(PlatformEvent, ScaleChangeReachesAThreadAlreadyWaiting) {
    platform::event_handle event = platform::create_event(false, false);
    ASSERT_NE(event, nullptr);
    std::atomic<uint32_t> result{0xDEAD};
    std::thread sleeper([&] { result = platform::wait_for_event(event, 600000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        // Ten clock minutes pass in about a real second once the waiter sees the new scale.
        time_scale_guard fast(600.0);
        ASSERT_TRUE(eventually([&] { return result.load() != 0xDEAD; }, 60000));
    }
    sleeper.join();
    EXPECT_EQ(result.load(), platform::wait_timeout);
}

TEST(PlatformEvent, ScaleChangeReachesEveryWaiterAndSleeperThatPlannedAtTheOldScale) {
    // Waits plan their whole sleep at the scale they start with, so only the change's own
    // wake-up can shorten them: two threads on one event (each listed once, one leaving the
    // list must not take the other's entry), a third on another, and a sleeper.
    platform::event_handle shared = platform::create_event(true, false);
    platform::event_handle other = platform::create_event(false, false);
    ASSERT_NE(shared, nullptr);
    ASSERT_NE(other, nullptr);
    std::atomic<int> timed_out{0};
    std::atomic<int> slept{0};
    std::vector<std::thread> threads;
    for (platform::event_handle event : {shared, shared, other}) {
        threads.emplace_back([&timed_out, event] {
            if (platform::wait_for_event(event, 600000) == platform::wait_timeout) ++timed_out;
        });
    }
    threads.emplace_back([&slept] {
        platform::sleep_ms(600000);
        ++slept;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        time_scale_guard fast(600.0);
        ASSERT_TRUE(eventually([&] { return timed_out.load() == 3 && slept.load() == 1; }, 60000));
    }
    for (std::thread& t : threads) t.join();
    // The list is empty again: a later wait at the normal scale still ends on its signal.
    ASSERT_TRUE(platform::set_event(other));
    EXPECT_EQ(platform::wait_for_event(other, 1000), platform::wait_object_0);
}

TEST(PlatformEvent, ASignalEndsAWaitWithoutLimitWhateverTheScaleDoes) {
    platform::event_handle event = platform::create_event(false, false);
    ASSERT_NE(event, nullptr);
    std::atomic<uint32_t> result{0xDEAD};
    std::thread waiter([&] { result = platform::wait_for_event(event, platform::infinite); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        time_scale_guard fast(1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(result.load(), 0xDEADu);
        ASSERT_TRUE(platform::set_event(event));
        ASSERT_TRUE(eventually([&] { return result.load() != 0xDEAD; }, 10000));
    }
    waiter.join();
    EXPECT_EQ(result.load(), platform::wait_object_0);
}

namespace {
void add_one(void* argument) {
    platform::sleep_ms(20);
    ++*static_cast<std::atomic<int>*>(argument);
}
}  // namespace

TEST(PlatformThread, JoinWaitsForTheThreadWhichGetsItsArgument) {
    std::atomic<int> counter{0};
    platform::thread_handle thread = platform::start_thread(add_one, &counter);
    ASSERT_NE(thread, nullptr);
    platform::join_thread(thread);
    EXPECT_EQ(counter.load(), 1);
    EXPECT_NE(platform::current_thread_id(), 0u);
}

// The wait that a quit ends: an event, and beside it a manual-reset interrupt that the wait
// reports without consuming.
TEST(PlatformEitherWait, InterruptEndsTheWaitAndStaysSetWhileTheEventKeepsNoSignal) {
    platform::event_handle event = platform::create_event(false, false);
    platform::event_handle interrupt = platform::create_event(true, false);
    std::atomic<uint32_t> result{platform::wait_failed};
    std::thread waiting([&] { result = platform::wait_for_either(event, interrupt, 60000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto set_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(platform::set_event(interrupt));
    waiting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - set_at, std::chrono::seconds(5));
    EXPECT_EQ(result.load(), platform::wait_object_1);
    // Seen again by every later wait, before it begins; the event got no signal from it.
    EXPECT_EQ(platform::wait_for_either(event, interrupt, 60000), platform::wait_object_1);
    EXPECT_EQ(platform::wait_for_event(event, 0), platform::wait_timeout);
}

TEST(PlatformEitherWait, SignalledEventIsReportedFirstAndConsumed) {
    platform::event_handle event = platform::create_event(false, true);
    platform::event_handle interrupt = platform::create_event(true, true);
    EXPECT_EQ(platform::wait_for_either(event, interrupt, 0), platform::wait_object_0);
    EXPECT_EQ(platform::wait_for_either(event, interrupt, 0), platform::wait_object_1);
}

TEST(PlatformEitherWait, TimesOutWhenNeitherComesAndANullInterruptIsNeverSignalled) {
    platform::event_handle event = platform::create_event(false, false);
    platform::event_handle interrupt = platform::create_event(true, false);
    EXPECT_EQ(platform::wait_for_either(event, interrupt, 30), platform::wait_timeout);
    EXPECT_EQ(platform::wait_for_either(event, nullptr, 30), platform::wait_timeout);
    ASSERT_TRUE(platform::set_event(event));
    EXPECT_EQ(platform::wait_for_either(event, nullptr, 30), platform::wait_object_0);
    EXPECT_EQ(platform::wait_for_either(nullptr, interrupt, 30), platform::wait_failed);
}

// Several threads wait on different events, two of them on the same one, and with and
// without a time limit: one interrupt ends them all, and no wait is left listed with it.
TEST(PlatformEitherWait, OneInterruptEndsTheWaitsOnEveryEvent) {
    platform::event_handle interrupt = platform::create_event(true, false);
    const platform::event_handle events[3] = {platform::create_event(false, false),
                                              platform::create_event(true, false),
                                              platform::create_event(false, false)};
    std::atomic<int> interrupted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        const platform::event_handle event = events[i % 3];
        const uint32_t limit = i == 3 ? platform::infinite : 60000;
        threads.emplace_back([&, event, limit] {
            if (platform::wait_for_either(event, interrupt, limit) == platform::wait_object_1) {
                ++interrupted;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(platform::set_event(interrupt));
    ASSERT_TRUE(eventually([&] { return interrupted.load() == 4; }));
    for (auto& thread : threads) thread.join();
    // The events themselves still work as before.
    ASSERT_TRUE(platform::set_event(events[0]));
    EXPECT_EQ(platform::wait_for_event(events[0], 0), platform::wait_object_0);
}
