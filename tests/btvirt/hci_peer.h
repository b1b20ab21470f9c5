// A small HCI host of our own that owns one emulated controller of a btvirt world: it sends
// commands one at a time and waits, with a time limit, for each one's Command Complete or
// Command Status; it advertises given data and scans and keeps every advertising report. One
// reader thread parses the controller's byte stream and queues what arrives; every wait is
// bounded. Other tests use it as the device on the far side of the program's link.
//
// The emulator tells scanners about an advertiser only at the moment either side switches
// its advertising or scanning on. To look like a device that advertises all the time, an
// advertising peer switches its advertising off and on again once every advertising interval,
// on a thread of its own.
//
// Test code: failures come back as gtest assertion results that say what went wrong.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/wire/address_text.h"
#include "hci/bytes.h"
#include "hci/h4_parser.h"
#include "hci/hci_commands.h"

namespace btvirt_testing {

// One advertising report, copied out of its event.
struct received_report {
    uint8_t event_type = 0;
    uint8_t address_type = 0;
    wire::address_bytes address{};
    std::vector<uint8_t> data;
    int8_t rssi = 127;
};

// What a command got back.
struct command_reply {
    bool complete = false;  // Command Complete; false for Command Status
    uint8_t status = 0;
    // Command Complete's return parameters, status byte first; empty for Command Status.
    std::vector<uint8_t> return_parameters;
};

class hci_peer {
  public:
    static constexpr std::chrono::milliseconds default_command_limit{2000};
    // A report arriving while this many are kept is counted and dropped, so that a scanner
    // left running cannot grow without bound.
    static constexpr size_t max_kept_reports = 10000;

    // Called on the reader thread with every ACL packet and every event that is not the
    // answer to a command. It must not wait for the controller: nothing else is read
    // while it runs.
    using packet_listener = std::function<void(const hci::h4_packet&)>;

    // Connects to a world's LE socket, which makes a fresh controller for this peer. Throws
    // std::runtime_error when the connection cannot be made.
    explicit hci_peer(const std::string& socket_path, packet_listener listener = {});
    // Stops the advertising thread, closes the connection (the emulator then drops the
    // controller) and joins the reader.
    ~hci_peer();
    hci_peer(const hci_peer&) = delete;
    hci_peer& operator=(const hci_peer&) = delete;

    // Sends one whole command packet (as hci_commands.h builds them) and waits for the
    // Command Complete or Command Status with its opcode. Fails when none came within
    // `limit` or the emulator closed the connection; the controller's status is not judged.
    ::testing::AssertionResult command(const std::vector<uint8_t>& packet,
                                       command_reply* reply = nullptr,
                                       std::chrono::milliseconds limit = default_command_limit);
    // The same, and the status must be success.
    ::testing::AssertionResult command_ok(const std::vector<uint8_t>& packet,
                                          command_reply* reply = nullptr,
                                          std::chrono::milliseconds limit = default_command_limit);

    // Returns once every event the controller sent before this call has been taken in: the
    // answer to a command comes after them on the same stream. Checks for silence start here.
    ::testing::AssertionResult round_trip();

    // Stops advertising (the thread too), resets the controller, lets it report LE events and
    // reads its public address.
    ::testing::AssertionResult reset();
    // The public address that reset() read; zero before.
    const wire::address_bytes& address() const { return address_; }

    // Sets the parameters and the data (at most 31 bytes), switches advertising on, and from
    // then on switches it off and on again once every `parameters.interval_min` until
    // stop_advertising(), reset() or the end of the peer. Advertising already running is
    // stopped first, since the controller refuses new parameters while it advertises.
    ::testing::AssertionResult start_advertising(const hci::advertising_parameters& parameters,
                                                 hci::bytes_view data);
    ::testing::AssertionResult stop_advertising();
    // How often the advertising thread has switched advertising on again, and the first
    // thing that went wrong there (empty while nothing did).
    size_t advertising_restarts() const;
    std::string advertising_trouble() const;

    ::testing::AssertionResult start_scanning(const hci::scan_parameters& parameters = {});
    ::testing::AssertionResult stop_scanning();

    // Every report kept so far, oldest first.
    std::vector<received_report> reports() const;
    size_t report_count() const;
    size_t dropped_reports() const;
    // Waits until a report from index `from` on satisfies `pred`; its index, or nullopt when
    // `limit` passed first (or the connection closed without one).
    std::optional<size_t> wait_for_report(const std::function<bool(const received_report&)>& pred,
                                          std::chrono::milliseconds limit, size_t from = 0);

    // Writes one whole H4 packet (ACL data, say) without waiting for anything.
    ::testing::AssertionResult send_packet(const std::vector<uint8_t>& packet);

    // False once the emulator has closed the connection (or reading from it failed).
    bool connected() const;

  private:
    void read_loop();
    void handle_event(const hci::h4_packet& packet);
    bool write_packet(const std::vector<uint8_t>& packet, std::string& error);
    void advertise_loop(std::chrono::milliseconds period);
    void stop_advertising_thread();

    int fd_ = -1;
    wire::address_bytes address_{};
    packet_listener listener_;

    // One packet written at a time: the emulator mixes up packets written at the same time.
    std::mutex write_lock_;

    // One command in flight at a time: the tests' thread and the advertising thread share
    // the controller, and the emulator mixes up packets written at the same time.
    std::mutex command_lock_;

    mutable std::mutex state_lock_;
    std::condition_variable arrived_;
    // Answers not yet taken by a waiting command, with their opcodes.
    std::deque<std::pair<uint16_t, command_reply>> replies_;
    std::vector<received_report> reports_;
    size_t dropped_reports_ = 0;
    bool closed_ = false;
    std::thread reader_;

    // The advertising thread, and what it says.
    std::mutex advertising_lock_;
    std::condition_variable advertising_wake_;
    bool advertising_stop_ = false;
    std::thread advertiser_;
    size_t advertising_restarts_ = 0;  // under state_lock_
    std::string advertising_trouble_;  // under state_lock_
};

// Advertising data: the flags (LE General Discoverable, no BR/EDR) and the complete list of
// one 128-bit service UUID, given as 32 hex digits the way people write it (most significant
// first; dashes allowed) and put on the air least significant byte first.
std::vector<uint8_t> flags_and_uuid128(const std::string& uuid_text);

}  // namespace btvirt_testing
