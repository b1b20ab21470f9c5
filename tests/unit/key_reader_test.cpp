// The console's keys read ahead on their own thread: order kept, the quit raised the moment
// it is read, nothing read past the last key, and a bounded read-ahead.
#include "app/key_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace {

bool eventually(const std::function<bool()>& condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Gives the keys of `text`, then EOF; counts the calls.
struct scripted_keys {
    explicit scripted_keys(std::string text) : text(std::move(text)) {}
    int next() {
        const size_t at = calls++;
        return at < text.size() ? static_cast<unsigned char>(text[at]) : EOF;
    }
    std::string text;
    std::atomic<size_t> calls{0};
};

TEST(KeyReader, QuitIsRaisedWhileEarlierKeysWaitAndKeysComeInOrder) {
    scripted_keys keys("d\nsq");
    std::atomic<int> quits{0};
    key_reader reader([&] { return keys.next(); }, [&] { ++quits; });
    ASSERT_TRUE(reader.start());
    // Nothing is taken yet: the run thread is busy with an earlier command.
    ASSERT_TRUE(eventually([&] { return quits.load() == 1; }));
    EXPECT_EQ(reader.take(), 'd');
    EXPECT_EQ(reader.take(), '\n');
    EXPECT_EQ(reader.take(), 's');
    EXPECT_EQ(reader.take(), 'q');
    EXPECT_EQ(keys.calls.load(), 4u) << "read past the quit";
    EXPECT_EQ(quits.load(), 1);
}

TEST(KeyReader, ReadingEndsAtQuitEndOfInputOrHardResetAndOnlyTheQuitsRaiseIt) {
    struct case_t {
        std::string text;
        int last;
        bool quits;
    };
    const case_t cases[] = {{"+Q-", 'Q', true}, {"+", EOF, true}, {"+r-", 'r', false}};
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.text);
        scripted_keys keys(c.text);
        std::atomic<int> quits{0};
        {
            key_reader reader([&] { return keys.next(); }, [&] { ++quits; });
            ASSERT_TRUE(reader.start());
            EXPECT_EQ(reader.take(), '+');
            EXPECT_EQ(reader.take(), c.last);
        }  // joined: the reader has ended by itself
        EXPECT_EQ(keys.calls.load(), 2u);
        EXPECT_EQ(quits.load(), c.quits ? 1 : 0);
    }
}

TEST(KeyReader, ReadAheadStopsAtItsBoundUntilKeysAreTaken) {
    // A flood of keys, then the quit far behind it.
    scripted_keys keys(std::string(3 * key_reader::max_pending_keys, 's') + "q");
    key_reader reader([&] { return keys.next(); }, {});
    ASSERT_TRUE(reader.start());
    // The bound, and the one key read that waits for room.
    ASSERT_TRUE(eventually([&] { return keys.calls.load() == key_reader::max_pending_keys + 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(keys.calls.load(), key_reader::max_pending_keys + 1);
    EXPECT_EQ(reader.take(), 's');
    ASSERT_TRUE(eventually([&] { return keys.calls.load() == key_reader::max_pending_keys + 2; }));
    int key = 's';
    size_t taken = 1;
    while (key == 's') {
        key = reader.take();
        ++taken;
    }
    EXPECT_EQ(key, 'q');
    EXPECT_EQ(taken, keys.text.size());
}

}  // namespace
