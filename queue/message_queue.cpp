#include "queue/message_queue.h"

#include <boost/asio/post.hpp>
#include <exception>

#include "diag/console.h"
#include "platform/platform.h"

message_queue::message_queue()
    : work_(std::make_unique<boost::asio::io_context::work>(io_context_)),
      thread_([this] { run(); }) {}

message_queue::~message_queue() {
    try {
        stop();
    } catch (...) {
        // Destroyed on the work thread itself: nothing sensible is left to do at exit.
    }
}

void message_queue::post(std::function<void()> item) {
    if (diversion_) {
        diversion_(std::move(item));
        return;
    }
    boost::asio::post(io_context_, std::move(item));
    handover_.handed_over();
    open_gate();
}

void message_queue::divert_posts(std::function<void(std::function<void()>)> diversion) {
    diversion_ = std::move(diversion);
}

void message_queue::stop() {
    io_context_.stop();
    // Ends a watch at once, as the stop ends a sleep.
    handover_.handed_over();
    open_gate();
    if (thread_.joinable()) thread_.join();
}

void message_queue::open_gate() {
    // Every advertising report posts: once open, the gate costs one load.
    if (gate_open_.load()) return;
    {
        std::lock_guard<std::mutex> guard(gate_lock_);
        gate_open_ = true;
    }
    gate_changed_.notify_all();
}

void message_queue::run() {
    {
        std::unique_lock<std::mutex> guard(gate_lock_);
        gate_changed_.wait(guard, [this] { return gate_open_.load(); });
    }
    // Stopped before anything was posted (at process exit, asio's static objects may
    // already be gone): nothing to run.
    if (io_context_.stopped()) return;
    platform::set_thread_name("orvette-work");
    try {
        run_items();
    } catch (const std::exception& e) {
        console_printf(
            "Unhandled exception in message queue work thread will cause it to exit: %s\n",
            e.what());
    }
}

void message_queue::run_items() {
    // Items come in runs while reports flow: each report posts one, and the next follows the
    // resume this thread sends for the last. Between items of a run the thread watches for
    // the next rather than sleeping (see platform/handover.h); the items still run one at a
    // time, in posting order, on this thread alone.
    platform::handover_receiver receiver(handover_);
    while (!io_context_.stopped()) {
        const uint64_t mark = receiver.mark();
        if (io_context_.poll_one() > 0) continue;
        if (receiver.watch(mark)) continue;
        receiver.sleep([this] { io_context_.run_one(); });
    }
}
