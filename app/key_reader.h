// The console's keys, read on a thread of their own: the run thread carries out a command
// ('c', 'd') that may wait for seconds, and a quit typed meanwhile must end that wait at
// once rather than be read after it. The run thread still takes every key in the order it
// was typed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/platform.h"

class key_reader {
  public:
    // Keys read ahead and not yet taken: past this the reader waits for the run thread, so
    // that a flood on standard input cannot grow memory.
    static constexpr size_t max_pending_keys = 4096;

    // `source` gives one key per call, EOF at the end of input. `on_quit` is called on the
    // reader's thread as soon as the quit key or the end of input is read, before the run
    // thread takes it.
    key_reader(std::function<int()> source, std::function<void()> on_quit);
    ~key_reader();
    key_reader(const key_reader&) = delete;
    key_reader& operator=(const key_reader&) = delete;

    // Starts the reading thread; false when it cannot be started, and take() then reads
    // on the caller's thread.
    bool start();
    // The next key, in order; waits for it. After the quit key, the end of input or 'r'
    // nothing more is read.
    int take();

    static bool ends_reading(int key);
    static bool is_quit(int key);

  private:
    static void run(void* self);
    void read_keys();

    std::function<int()> source_;
    std::function<void()> on_quit_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<int> keys_;  // under lock_
    platform::thread_handle thread_ = nullptr;
};
