// One work thread that runs, in posting order, the work the BLE event thread must not do
// itself (anything that calls the driver and then waits for a later event).
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/thread/thread.hpp>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/handover.h"

class message_queue {
  public:
    message_queue();
    ~message_queue();
    message_queue(const message_queue&) = delete;
    message_queue& operator=(const message_queue&) = delete;

    // Queues `item` for the work thread and returns at once; never runs it inside post.
    void post(std::function<void()> item);
    // Stops the io_context and joins the work thread: a running item finishes, queued
    // items are dropped. Idempotent. Called on the work thread itself, the join is refused
    // with boost's resource-deadlock error (thrown) instead of waiting for itself.
    void stop();
    // True once stop has been called (from any thread), even while an item still runs.
    bool stopped() const { return io_context_.stopped(); }

    // For single-threaded harnesses (fuzzing): while a diversion is set, post hands each
    // item to it instead of the work thread, so the harness decides when, or whether, the
    // item runs. Set or cleared only while no other thread posts; an empty function ends
    // the diversion.
    void divert_posts(std::function<void(std::function<void()>)> diversion);

  private:
    void run();
    void run_items();
    void open_gate();

    boost::asio::io_context io_context_;
    std::unique_ptr<boost::asio::io_context::work> work_;
    // The process-wide queue is built, and its thread started, while static objects are
    // still being initialised; the io_context's run keeps per-thread state in asio's own
    // static objects, which may not be initialised yet. So the thread holds back from
    // running until the first post or stop, which only ever come from a running program.
    std::mutex gate_lock_;
    std::condition_variable gate_changed_;
    std::atomic<bool> gate_open_{false};
    platform::handover_point handover_;
    boost::thread thread_;
    std::function<void(std::function<void()>)> diversion_;
};

// The process-wide queue, built before the entry point runs.
extern message_queue the_message_queue;
