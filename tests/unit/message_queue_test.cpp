// The message queue's own behaviour, on local queues: order, stop, and the end of its work
// thread. The catch-alls inside each work item belong to the event dispatcher's items.
#include "queue/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/thread/exceptions.hpp>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

// Waits on `event` long enough that only a broken queue makes it time out.
bool signalled(platform::event_handle event) {
    return platform::wait_for_event(event, 30000) == platform::wait_object_0;
}

}  // namespace

TEST(MessageQueue, RunsItemsOneAtATimeInPostingOrder) {
    message_queue queue;
    platform::event_handle done = platform::create_event(true, false);
    std::vector<int> order;  // touched by the work thread only until `done`
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue.post([&, i] {
            if (++running != 1) overlapped = true;
            order.push_back(i);
            --running;
        });
    }
    queue.post([&] { platform::set_event(done); });
    ASSERT_TRUE(signalled(done));
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped.load());
    queue.stop();
}

TEST(MessageQueue, PostNeverRunsTheItemOnTheCallersThread) {
    message_queue queue;
    platform::event_handle done = platform::create_event(true, false);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> ran_on_caller{true};
    queue.post([&] {
        ran_on_caller = std::this_thread::get_id() == caller;
        platform::set_event(done);
    });
    ASSERT_TRUE(signalled(done));
    EXPECT_FALSE(ran_on_caller.load());
    queue.stop();
}

TEST(MessageQueue, AnExceptionEscapingAnItemEndsTheWorkThreadWithAMessage) {
    message_queue queue;
    platform::event_handle thrown = platform::create_event(true, false);
    std::atomic<bool> later_ran{false};
    testing::internal::CaptureStdout();
    queue.post([&] {
        platform::set_event(thrown);
        throw std::runtime_error("boom");
    });
    ASSERT_TRUE(signalled(thrown));
    queue.post([&] { later_ran = true; });
    queue.stop();  // the work thread has ended or is ending by itself
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Unhandled exception in message queue work thread will cause it to exit: boom\n");
    EXPECT_FALSE(later_ran.load());
}

TEST(MessageQueue, StopWhileAnItemRunsReturnsAfterItAndDropsTheQueuedOnes) {
    message_queue queue;
    platform::event_handle started = platform::create_event(true, false);
    std::atomic<bool> first_finished{false};
    std::atomic<bool> stop_returned{false};
    std::atomic<bool> queued_ran{false};
    std::atomic<bool> finished_before_stop_returned{false};

    queue.post([&] {
        platform::set_event(started);
        // Stay busy until stop has been asked for, then a little longer, so that stop has
        // to wait for this item.
        while (!queue.stopped()) platform::sleep_ms(1);
        platform::sleep_ms(50);
        finished_before_stop_returned = !stop_returned.load();
        first_finished = true;
    });
    queue.post([&] { queued_ran = true; });
    queue.post([&] { queued_ran = true; });

    ASSERT_TRUE(signalled(started));
    queue.stop();
    stop_returned = true;
    EXPECT_TRUE(first_finished.load());
    EXPECT_TRUE(finished_before_stop_returned.load());
    EXPECT_FALSE(queued_ran.load());
}

TEST(MessageQueue, PostAfterStopIsAcceptedButNeverRuns) {
    std::atomic<bool> ran{false};
    auto held = std::make_shared<int>(7);
    {
        message_queue queue;
        queue.stop();
        queue.post([&ran, held] { ran = true; });
        EXPECT_EQ(held.use_count(), 2);  // the queue owns its copy of the item
        platform::sleep_ms(50);
    }
    EXPECT_FALSE(ran.load());
    // Destroyed unrun: the item's data was released with the queue.
    EXPECT_EQ(held.use_count(), 1);
}

TEST(MessageQueue, StopOnTheWorkThreadItselfThrowsInsteadOfDeadlocking) {
    message_queue queue;
    platform::event_handle done = platform::create_event(true, false);
    std::atomic<bool> refused{false};
    std::atomic<bool> next_ran{false};
    queue.post([&] {
        try {
            queue.stop();
        } catch (const boost::thread_resource_error&) {
            refused = true;
        }
        platform::set_event(done);
    });
    queue.post([&] { next_ran = true; });
    ASSERT_TRUE(signalled(done));
    queue.stop();
    EXPECT_TRUE(refused.load());
    // The queue was stopped all the same: what was queued behind is dropped.
    EXPECT_FALSE(next_ran.load());
}

TEST(MessageQueue, StopTwiceReturnsAtOnce) {
    message_queue queue;
    queue.stop();
    EXPECT_NO_THROW(queue.stop());
    EXPECT_TRUE(queue.stopped());
}

// Reports arrive one at a time, each posted once the previous item has run: the work
// thread then watches for the next item between them instead of sleeping. Every item still
// runs once, in order, and a stop while it watches ends it at once.
TEST(MessageQueue, HandOverOneAtATimeRunsEveryItemInOrderAndStopsWhileWatching) {
    message_queue queue;
    constexpr int items = 5000;
    std::vector<int> order;  // touched by the work thread only until the last item ran
    std::atomic<int> done{0};
    for (int i = 0; i < items; ++i) {
        queue.post([&, i] {
            order.push_back(i);
            done.store(i + 1, std::memory_order_release);
        });
        // Like the event thread waiting for the resume: the item has run before the next.
        while (done.load(std::memory_order_acquire) != i + 1) std::this_thread::yield();
    }
    ASSERT_EQ(order.size(), static_cast<size_t>(items));
    for (int i = 0; i < items; ++i) ASSERT_EQ(order[i], i);
    // Right after an item: the work thread may be watching for the next one.
    queue.stop();
    EXPECT_TRUE(queue.stopped());
}
