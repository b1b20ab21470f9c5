// A transport over any Asio byte stream (a Unix socket, a POSIX serial port, the user
// channel's socket), run by an io_context on a thread of the transport's own.
//
// Every operation on the stream happens on that thread: Asio's stream objects are not safe
// to share between threads, and a synchronous write from a caller's thread could not be cut
// short by close(). So write() hands the packet to the thread and waits there for it to be
// written (or for the stream to fail, or close()). Packets are written one after the other,
// each by one whole write, so they never interleave. A write from the transport's own
// thread (a bytes handler answering what it got) cannot wait for itself: it is queued in
// order and returns at once; a failure then still ends in on_lost. send() does the same from
// any thread, for callers that hold a lock the bytes handler may be waiting for.
//
// A write that takes no bytes for too long (a controller holding CTS, a peer that stopped
// reading) counts as a lost stream rather than a hang: the caller learns it in seconds and
// close() never waits on it. So do more bytes waiting to be written than any host has reason
// to hand over at once: a controller that stops reading while it still frees its buffers
// would otherwise have the queue grow without end before the stall is noticed.
#pragma once

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "hci/transport/transport.h"

namespace hci {

struct stream_settings {
    std::string name;         // the port name, first in every line
    std::string what;         // "the serial port", "the Unix socket", ...
    size_t read_size = 4096;  // the largest read; the user channel needs a whole packet
    std::chrono::milliseconds stall_limit{10000};  // longest a packet's write may take
    uint32_t baud_rate = 0;  // if set, a packet's time on the wire is added to the limit
    // Most bytes handed over and not yet written. The host's commands go one at a time and
    // its ACL data no faster than the controller's few buffers free: far below this.
    size_t max_queued_bytes = 1024 * 1024;
};

template <typename Stream>
class asio_stream_transport final : public transport {
  public:
    explicit asio_stream_transport(stream_settings settings)
        : settings_(std::move(settings)),
          stream_(io_),
          stall_timer_(io_),
          work_(io_.get_executor()),
          read_buffer_(settings_.read_size) {}

    ~asio_stream_transport() override {
        close();
        // Only if close() ran on the transport's own thread, against its contract.
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

    asio_stream_transport(const asio_stream_transport&) = delete;
    asio_stream_transport& operator=(const asio_stream_transport&) = delete;

    // To open or connect the stream before begin(), on the opener's thread.
    Stream& stream() { return stream_; }
    boost::asio::io_context& context() { return io_; }

    // Starts the transport's thread once the stream is open. False with `error` if the
    // system has no thread to give.
    bool begin(std::string& error) {
        try {
            thread_ = std::thread([this] { io_.run(); });
        } catch (const std::system_error& e) {
            error = settings_.name + ": cannot start the transport's thread: " + e.what();
            return false;
        }
        return true;
    }

    void start(bytes_handler on_bytes, lost_handler on_lost) override {
        boost::asio::post(
            io_, [this, on_bytes = std::move(on_bytes), on_lost = std::move(on_lost)]() mutable {
                if (started_) return;
                started_ = true;
                on_bytes_ = std::move(on_bytes);
                on_lost_ = std::move(on_lost);
                std::string lost;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (closing_) return;
                    lost = lost_reason_;
                }
                // A write may have failed before anyone listened.
                if (!lost.empty()) {
                    tell_lost(lost);
                    return;
                }
                read_next();
            });
    }

    bool write(bytes_view packet, std::string& why) override {
        return hand_over(packet, why, !io_.get_executor().running_in_this_thread());
    }

    bool send(bytes_view packet, std::string& why) override {
        return hand_over(packet, why, false);
    }

    void close() override {
        std::lock_guard<std::mutex> one_close(close_mutex_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closing_) return;
            closing_ = true;
        }
        changed_.notify_all();
        if (!thread_.joinable()) {
            boost::system::error_code ignored;
            stream_.close(ignored);
            return;
        }
        boost::asio::post(io_, [this] { shut(); });
        work_.reset();
        if (thread_.get_id() == std::this_thread::get_id()) return;
        thread_.join();
    }

  private:
    std::string closed_line() const { return settings_.name + ": the transport is closed"; }

    void read_next() {
        stream_.async_read_some(boost::asio::buffer(read_buffer_),
                                [this](const boost::system::error_code& error, size_t count) {
                                    if (error) {
                                        fail(error == boost::asio::error::eof
                                                 ? settings_.name + ": " + settings_.what +
                                                       " was closed at the other end"
                                                 : settings_.name + ": reading " + settings_.what +
                                                       " failed: " + error.message());
                                        return;
                                    }
                                    if (on_bytes_)
                                        on_bytes_(bytes_view(read_buffer_.data(), count));
                                    if (stream_.is_open()) read_next();
                                });
    }

    // Posts the packet to the transport's thread; waits for it to be written if `wait`.
    bool hand_over(bytes_view packet, std::string& why, bool wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closing_) {
            why = closed_line();
            return false;
        }
        if (!lost_reason_.empty()) {
            why = lost_reason_;
            return false;
        }
        if (packet.size == 0) {
            why = settings_.name + ": an empty packet is not a packet";
            return false;
        }
        if (packet.size >
            settings_.max_queued_bytes - std::min(settings_.max_queued_bytes, queued_bytes_)) {
            lost_reason_ = settings_.name + ": " + settings_.what + " has " +
                           std::to_string(queued_bytes_) +
                           " bytes waiting to be written: the other end is not reading";
            why = lost_reason_;
            // Said on the transport's thread, as every loss is; the writer learns it here.
            boost::asio::post(io_, [this, lost = lost_reason_] { overflowed(lost); });
            lock.unlock();
            changed_.notify_all();
            return false;
        }
        const uint64_t ticket = ++queued_;
        queued_bytes_ += packet.size;
        // Posted under the lock, so that close() cannot post its shut-down between the
        // check above and this.
        boost::asio::post(
            io_, [this, bytes = packet.to_vector()]() mutable { enqueue(std::move(bytes)); });
        if (!wait) return true;
        changed_.wait(lock,
                      [&] { return written_ >= ticket || closing_ || !lost_reason_.empty(); });
        if (written_ >= ticket) return true;
        why = closing_ ? closed_line() : lost_reason_;
        return false;
    }

    void enqueue(std::vector<uint8_t> bytes) {
        if (!stream_.is_open()) return;  // lost or closed: the writer has been told
        queue_.push_back(std::move(bytes));
        if (!writing_) write_next();
    }

    void write_next() {
        if (queue_.empty()) {
            writing_ = false;
            return;
        }
        writing_ = true;
        const uint64_t serial = ++write_serial_;
        const std::vector<uint8_t>& packet = queue_.front();
        boost::asio::async_write(
            stream_, boost::asio::buffer(packet),
            [this](const boost::system::error_code& error, size_t) { written(error); });
        auto limit = settings_.stall_limit;
        if (settings_.baud_rate != 0) {
            // Ten bit times a byte: start, eight data bits, stop.
            limit += std::chrono::milliseconds(packet.size() * 10000 / settings_.baud_rate);
        }
        stall_timer_.expires_after(limit);
        stall_timer_.async_wait([this, serial, limit](const boost::system::error_code& error) {
            // A timer cancelled after it expired still calls back, without an error.
            if (error || serial != write_serial_ || !writing_) return;
            fail(settings_.name + ": " + settings_.what + " has not taken a packet in " +
                 std::to_string(limit.count()) + " ms: the other end is not reading");
        });
    }

    void written(const boost::system::error_code& error) {
        stall_timer_.cancel();
        if (error) {
            fail(settings_.name + ": writing to " + settings_.what + " failed: " + error.message());
            return;
        }
        // Only now: the write read from this buffer until it completed.
        const size_t size = queue_.front().size();
        queue_.pop_front();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++written_;
            queued_bytes_ -= size;
        }
        changed_.notify_all();
        write_next();
    }

    // The stream is gone. Reports it once, unless close() is under way: closing is no loss.
    void fail(const std::string& why) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closing_ || !lost_reason_.empty()) return;
            lost_reason_ = why;
        }
        changed_.notify_all();
        writing_ = false;
        shut();
        if (started_) tell_lost(why);
    }

    // On the transport's thread: on_lost once, whichever failure gets there first.
    void tell_lost(const std::string& why) {
        if (lost_told_) return;
        lost_told_ = true;
        if (on_lost_) on_lost_(why);
    }

    // The queue outgrew its bound: lost_reason_ is set already, so no other failure reports.
    void overflowed(const std::string& why) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closing_) return;
        }
        writing_ = false;
        shut();
        if (started_) tell_lost(why);
    }

    // Cancels everything pending; the queue's buffers stay until the transport goes, as an
    // aborted write may not have let go of its own yet.
    void shut() {
        boost::system::error_code ignored;
        stall_timer_.cancel();
        stream_.close(ignored);
    }

    const stream_settings settings_;
    boost::asio::io_context io_;
    Stream stream_;
    boost::asio::steady_timer stall_timer_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::thread thread_;
    std::mutex close_mutex_;

    // Shared with callers' threads, under mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool closing_ = false;
    std::string lost_reason_;
    uint64_t queued_ = 0;
    uint64_t written_ = 0;
    size_t queued_bytes_ = 0;  // handed over and not yet written

    // The transport's thread only.
    bool started_ = false;
    bool lost_told_ = false;
    bytes_handler on_bytes_;
    lost_handler on_lost_;
    std::vector<uint8_t> read_buffer_;
    std::deque<std::vector<uint8_t>> queue_;
    bool writing_ = false;
    uint64_t write_serial_ = 0;
};

}  // namespace hci
