// The LE controller behind the HCI benchmark's adapter: it answers what the host asks while
// opening, starting the scanner and closing (each with a Command Complete, status 0), and
// hands the host whatever the benchmark delivers, from a reader thread of its own as a real
// transport does. For the latency runs it notes the moment it calls the host's byte handler
// with a delivery.
//
// Answers: Read Local Version Information (HCI 5.3, manufacturer 0xFFFF, the value kept for
// tests), Read BD_ADDR (a static random address), LE Read Buffer Size (251 bytes, 3 packets), LE
// Read Local Supported Features (encryption and the connection parameters request), and a plain
// success for Reset, the two event masks and the scan parameters and enable. Any other
// command gets Unknown HCI Command and is noted, so that a benchmark that would measure
// something other than the usual open and scan can say so.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hci/h4_parser.h"
#include "hci/transport/transport.h"

namespace bench {

using bench_clock = std::chrono::steady_clock;

class hci_bench_controller final : public hci::transport {
  public:
    hci_bench_controller() = default;
    ~hci_bench_controller() override;
    hci_bench_controller(const hci_bench_controller&) = delete;
    hci_bench_controller& operator=(const hci_bench_controller&) = delete;

    void start(bytes_handler on_bytes, lost_handler on_lost) override;
    bool write(hci::bytes_view packet, std::string& why) override;
    void close() override;

    // Queues `bytes` for the reader thread, which hands them over in one call.
    void deliver(std::vector<uint8_t> bytes);
    // The moment the reader thread last started handing over a delivery.
    bench_clock::time_point last_handover() const;
    // Opcodes of the commands the controller did not know, in order.
    std::vector<uint16_t> unknown_commands() const;

  private:
    void run();
    void answer(const hci::h4_packet& command);

    // Held by start() and close() around the reader thread's start and join.
    std::mutex thread_lock_;
    std::thread reader_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bytes_handler on_bytes_;
    bool stopping_ = false;
    bool closed_ = false;
    std::deque<std::vector<uint8_t>> queue_;
    hci::h4_parser commands_;
    std::vector<uint16_t> unknown_;
    // Written by the reader thread just before the handler runs; read by the benchmark once
    // the program has seen what the handler was given.
    std::atomic<bench_clock::rep> handover_{0};
};

// The host's end of a controller the benchmark keeps hold of: the backend owns the
// transport it opens, and the benchmark must still reach the controller after a close.
std::unique_ptr<hci::transport> link_to(std::shared_ptr<hci_bench_controller> controller);

}  // namespace bench
