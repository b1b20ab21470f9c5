// Diverted posts: the hook single-threaded harnesses use to run queued work themselves.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "platform/platform.h"
#include "queue/message_queue.h"

TEST(MessageQueueDiversion, DivertedItemsReachTheDiversionUnrunAndInOrderThenPostsFlowAgain) {
    message_queue queue;
    std::vector<std::function<void()>> diverted;
    queue.divert_posts([&](std::function<void()> item) { diverted.push_back(std::move(item)); });

    std::atomic<int> ran{0};
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        queue.post([&, i] {
            ++ran;
            order.push_back(i);
        });
    }
    ASSERT_EQ(diverted.size(), 3u);
    // Nothing reached the work thread: only the harness runs diverted items.
    platform::event_handle flushed = platform::create_event(true, false);
    queue.divert_posts({});
    queue.post([&] { platform::set_event(flushed); });
    ASSERT_EQ(platform::wait_for_event(flushed, 30000), platform::wait_object_0);
    EXPECT_EQ(ran.load(), 0);

    for (auto& item : diverted) item();
    EXPECT_EQ(ran.load(), 3);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    queue.stop();
}
