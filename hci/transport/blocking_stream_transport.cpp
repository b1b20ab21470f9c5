#include "hci/transport/blocking_stream_transport.h"

#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace hci {

namespace {

class blocking_stream_transport final : public transport {
  public:
    blocking_stream_transport(std::unique_ptr<platform::blocking_stream> stream, std::string name,
                              size_t read_size)
        : stream_(std::move(stream)), name_(std::move(name)), read_size_(read_size) {}

    ~blocking_stream_transport() override {
        close();
        // Only if close() ran on the reader thread, against its contract.
        if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
    }

    blocking_stream_transport(const blocking_stream_transport&) = delete;
    blocking_stream_transport& operator=(const blocking_stream_transport&) = delete;

    void start(bytes_handler on_bytes, lost_handler on_lost) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (started_ || closing_) return;
        started_ = true;
        on_bytes_ = std::move(on_bytes);
        on_lost_ = std::move(on_lost);
        try {
            reader_ = std::thread([this] { read_loop(); });
        } catch (const std::system_error& e) {
            // No thread of its own to say it on: better said here than never.
            if (lost_reason_.empty()) {
                lost_reason_ = name_ + ": cannot start the transport's thread: " + e.what();
            }
            const std::string why = lost_reason_;
            stream_->stop();
            lock.unlock();
            if (on_lost_) on_lost_(why);
        }
    }

    bool write(bytes_view packet, std::string& why) override {
        std::lock_guard<std::mutex> one_writer(write_mutex_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closing_) {
                why = closed_line();
                return false;
            }
            if (!lost_reason_.empty()) {
                why = lost_reason_;
                return false;
            }
        }
        if (packet.size == 0) {
            why = name_ + ": an empty packet is not a packet";
            return false;
        }
        std::string detail;
        if (stream_->write(packet.data, packet.size, detail)) return true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closing_) {
                why = closed_line();
                return false;
            }
            if (lost_reason_.empty()) lost_reason_ = name_ + ": " + detail;
            why = lost_reason_;
        }
        // The reader wakes and reports the loss on its own thread, as the interface wants.
        stream_->stop();
        return false;
    }

    void close() override {
        std::lock_guard<std::mutex> one_close(close_mutex_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closing_) return;
            closing_ = true;
        }
        stream_->stop();
        if (reader_.joinable()) {
            if (reader_.get_id() == std::this_thread::get_id()) return;
            reader_.join();
        }
        // A writer still inside the stream returns at once now that it is stopped; once it
        // has, the port is released (other programs may open it as soon as close() returns).
        std::lock_guard<std::mutex> one_writer(write_mutex_);
        stream_.reset();
    }

  private:
    std::string closed_line() const { return name_ + ": the transport is closed"; }

    void read_loop() {
        std::vector<uint8_t> buffer(read_size_);
        for (;;) {
            size_t count = 0;
            std::string detail;
            const auto status = stream_->read(buffer.data(), buffer.size(), count, detail);
            if (status == platform::blocking_stream::read_status::data && count > 0) {
                if (on_bytes_) on_bytes_(bytes_view(buffer.data(), count));
                continue;
            }
            std::string why;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (closing_) return;
                // Stopped without a close: a failed write stopped it and said why.
                if (lost_reason_.empty()) {
                    lost_reason_ = name_ + ": " +
                                   (detail.empty() ? std::string("the stream stopped") : detail);
                }
                why = lost_reason_;
            }
            stream_->stop();  // writes fail at once from here on
            if (on_lost_) on_lost_(why);
            return;
        }
    }

    std::unique_ptr<platform::blocking_stream> stream_;
    const std::string name_;
    const size_t read_size_;
    std::thread reader_;
    std::mutex close_mutex_;
    std::mutex write_mutex_;

    std::mutex mutex_;
    bool started_ = false;
    bool closing_ = false;
    std::string lost_reason_;

    // Set before the reader starts; the reader's only afterwards.
    bytes_handler on_bytes_;
    lost_handler on_lost_;
};

}  // namespace

std::unique_ptr<transport> make_blocking_transport(
    std::unique_ptr<platform::blocking_stream> stream, std::string name, size_t read_size) {
    return std::make_unique<blocking_stream_transport>(std::move(stream), std::move(name),
                                                       read_size == 0 ? 4096 : read_size);
}

}  // namespace hci
