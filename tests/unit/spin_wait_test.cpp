// The bounded watch before a hand-over sleep: it ends when the work comes, runs out at its
// limit, and is never tried by a thread that has only ever waited long.
#include "platform/spin_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using std::chrono::steady_clock;

TEST(SpinWait, EndsAsSoonAsReadyAndRunsOutAtItsLimit) {
    EXPECT_TRUE(platform::spin_until([] { return true; }));

    const auto started = steady_clock::now();
    EXPECT_FALSE(platform::spin_until([] { return false; }, std::chrono::microseconds(200)));
    EXPECT_GE(steady_clock::now() - started, std::chrono::microseconds(200));

    // Work handed over by another thread ends the watch.
    std::atomic<bool> handed_over{false};
    std::thread partner([&] { handed_over = true; });
    while (!platform::spin_until([&] { return handed_over.load(); })) {
    }
    partner.join();
}

TEST(SpinWait, AWaiterWhoseWaitsAreLongNeverWatches) {
    platform::handoff_waiter waiter;
    platform::handoff_site partner;
    int watched = 0;
    int slept = 0;
    for (int i = 0; i < 3; ++i) {
        waiter.wait(
            partner,
            [&] {
                ++watched;
                return false;
            },
            [&] {
                ++slept;
                // Far past any hand-over: an idle thread's wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            });
    }
    EXPECT_EQ(watched, 0);
    EXPECT_EQ(slept, 3);
}

TEST(SpinWait, AWatchThatRunsOutSleepsAfterwardsAndTheNextWaitsSleepAtOnce) {
    platform::handoff_waiter waiter;
    platform::handoff_site partner;  // never noted: no processor to share
    // A first sleep of a hand-over's length (busy, so that it is neither quick nor long
    // on any machine that runs the thread at all) makes the next wait watch.
    const auto handover_length = std::chrono::microseconds(100);
    waiter.wait(
        partner, [] { return false; },
        [&] {
            const auto until = steady_clock::now() + handover_length;
            while (steady_clock::now() < until) {
            }
        });
    int watched = 0;
    int slept = 0;
    const auto watch_in_vain = [&] {
        ++watched;
        return false;
    };
    const auto sleep_briefly = [&] {
        ++slept;
        const auto until = steady_clock::now() + handover_length;
        while (steady_clock::now() < until) {
        }
    };
    waiter.wait(partner, watch_in_vain, sleep_briefly);
    // The watch may have been skipped only if the first sleep was stretched by preemption
    // past the bound; either way the wait ended in a sleep.
    EXPECT_EQ(slept, 1);
    const int watched_first = watched;
    waiter.wait(partner, watch_in_vain, sleep_briefly);
    EXPECT_EQ(slept, 2);
    // After a watch that ran out, the next wait went straight to sleep.
    if (watched_first > 0) EXPECT_EQ(watched, watched_first);
}

}  // namespace
