#include "queue/message_queue.h"

#include <boost/asio/post.hpp>
#include <exception>

#include "diag/console.h"

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
}

void message_queue::divert_posts(std::function<void(std::function<void()>)> diversion) {
    diversion_ = std::move(diversion);
}

void message_queue::stop() {
    io_context_.stop();
    if (thread_.joinable()) thread_.join();
}

void message_queue::run() {
    try {
        io_context_.run();
    } catch (const std::exception& e) {
        console_printf("Unhandled exception in message queue work thread will cause it to exit: %s\n",
                       e.what());
    }
}
