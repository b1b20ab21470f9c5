// The hand-over watch: when a receiving thread watches instead of sleeping, and that what
// is handed over while it watches or sleeps is never missed.
#include "platform/handover.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "queue/message_queue.h"

namespace {

using namespace std::chrono_literals;

// A sleeping wait for the receiver: on a condition variable until the count moves or
// `limit` passes.
struct sleeping_side {
    std::mutex lock;
    std::condition_variable changed;

    void hand_over(platform::handover_point& point) {
        point.handed_over();
        // Taken after the count moved: a sleeper that saw the old count still holds the lock
        // until it waits, so the notice below cannot fall between its look and its wait.
        { std::lock_guard<std::mutex> guard(lock); }
        changed.notify_all();
    }
    void sleep(platform::handover_point& point, uint64_t mark, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, limit, [&] { return point.handed() != mark; });
    }
};

}  // namespace

TEST(Handover, AReceiverWatchesOnlyAfterWorkCameSoonAndStopsWhenAWatchIsInVain) {
    platform::handover_point point;
    platform::handover_receiver receiver(point);
    sleeping_side side;

    // Nothing has come yet: no reason to expect anything soon.
    EXPECT_FALSE(receiver.expects_soon());
    EXPECT_FALSE(receiver.watch(receiver.mark()));

    // A sleep that only its limit ended (a timer, no hand-over) teaches nothing.
    uint64_t mark = receiver.mark();
    receiver.sleep([&] { side.sleep(point, mark, 5ms); });
    EXPECT_FALSE(receiver.expects_soon());

    // A hand-over long after the receiver went to sleep: watching would not have caught it.
    mark = receiver.mark();
    std::thread late([&] {
        std::this_thread::sleep_for(50ms);
        side.hand_over(point);
    });
    receiver.sleep([&] { side.sleep(point, mark, 10s); });
    late.join();
    EXPECT_FALSE(receiver.expects_soon());
    EXPECT_NE(point.handed(), mark);

    // Work that came right after it went to sleep: unless this machine stalled the other
    // thread past the watch limit, the next run-out is watched. A watch that runs out in
    // vain then ends the watching until a sleep says otherwise.
    mark = receiver.mark();
    std::atomic<bool> asleep{false};
    std::thread soon([&] {
        while (!asleep.load()) std::this_thread::yield();
        side.hand_over(point);
    });
    receiver.sleep([&] {
        asleep = true;
        side.sleep(point, mark, 10s);
    });
    soon.join();
    if (receiver.expects_soon()) {
        EXPECT_FALSE(receiver.watch(receiver.mark()));
    }
    EXPECT_FALSE(receiver.expects_soon());
}

TEST(Handover, WorkHandedOverDuringAWatchEndsItAndNothingIsMissed) {
    // Two threads play ping-pong many times, each watching for the other's hand-over before
    // it sleeps: every hand-over must be seen, however the watch and the sleep interleave.
    platform::handover_point to_b;
    platform::handover_point to_a;
    sleeping_side side_b;
    sleeping_side side_a;
    constexpr int rounds = 20000;
    std::atomic<int> b_saw{0};
    std::thread b([&] {
        platform::handover_receiver receiver(to_b);
        uint64_t seen = 0;
        for (int i = 0; i < rounds; ++i) {
            const uint64_t mark = seen;
            if (to_b.handed() == mark && !receiver.watch(mark)) {
                receiver.sleep([&] { side_b.sleep(to_b, mark, 10s); });
            }
            ASSERT_NE(to_b.handed(), mark) << "round " << i;
            seen = to_b.handed();
            ++b_saw;
            side_a.hand_over(to_a);
        }
    });
    platform::handover_receiver receiver(to_a);
    uint64_t seen = 0;
    for (int i = 0; i < rounds; ++i) {
        side_b.hand_over(to_b);
        const uint64_t mark = seen;
        if (to_a.handed() == mark && !receiver.watch(mark)) {
            receiver.sleep([&] { side_a.sleep(to_a, mark, 10s); });
        }
        ASSERT_NE(to_a.handed(), mark) << "round " << i;
        seen = to_a.handed();
    }
    b.join();
    EXPECT_EQ(b_saw.load(), rounds);
    EXPECT_EQ(to_a.handed(), static_cast<uint64_t>(rounds));
}

TEST(Handover, AQueueWhoseItemsEachPostTheNextRunsThemAllInOrderAndStopsPromptly) {
    // The pausing scanner's pattern: each item's end lets another thread post the next one
    // at once, so the work thread mostly watches. Order and completeness must hold, and a
    // stop must end a watch as it ends a sleep.
    message_queue queue;
    constexpr int items = 20000;
    std::atomic<int> ran{0};
    std::atomic<bool> out_of_order{false};
    platform::handover_point done_point;
    for (int i = 0; i < items; ++i) {
        const uint64_t before = done_point.handed();
        queue.post([&, i] {
            if (ran.load() != i) out_of_order = true;
            ++ran;
            done_point.handed_over();
        });
        while (done_point.handed() == before) {
            if (!done_point.watch_for([&] { return done_point.handed() != before; }, 10ms)) {
                std::this_thread::sleep_for(1ms);
            }
        }
    }
    EXPECT_EQ(ran.load(), items);
    EXPECT_FALSE(out_of_order.load());
    const auto stop_started = std::chrono::steady_clock::now();
    queue.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stop_started, 5s);
}
