// A phone on an emulated controller, over HCI: a small peripheral host of ours that
// advertises a scenario phone's advertisement, accepts the program's connection and serves
// that phone's GATT database over ATT. The database and the way the phone answers (the
// challenge answer, notifications once a CCCD is written, scripted faults) are the simulated
// phone's own (sim::phone_gatt); this class only carries its answers to and from ATT PDUs.
//
// Threads: the hci_peer's reader hands every ACL packet and event to a queue and counts the
// controller's free buffers; one worker thread of the phone takes the queue, reassembles
// L2CAP frames, answers them and sends in fragments of the controller's buffer size, one
// packet in the controller at a time. Every wait is bounded. What goes wrong on the worker
// is kept for trouble().
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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hci/acl.h"
#include "sim/scenario/scenario.h"
#include "tests/btvirt/hci_peer.h"

namespace btvirt_testing {

// The phone called `name` in a scenario given as JSON text (its "phones" list); throws
// std::runtime_error when the text does not load or has no such phone.
sim::device_config scenario_phone(const std::string& scenario_json, const std::string& name);

// An L2CAP frame the phone received.
struct received_frame {
    uint16_t channel_id = 0;
    std::vector<uint8_t> payload;
};

class test_phone {
  public:
    static constexpr std::chrono::milliseconds default_limit{5000};

    // Connects to the world's LE socket (a fresh controller). Nothing is sent before start().
    test_phone(const std::string& socket_path, sim::device_config phone);
    // Ends the worker, then the peer (advertising thread and reader).
    ~test_phone();
    test_phone(const test_phone&) = delete;
    test_phone& operator=(const test_phone&) = delete;

    // Resets the controller, learns its buffers and starts advertising.
    ::testing::AssertionResult start();
    const wire::address_bytes& address() const { return peer_->address(); }
    hci_peer& peer() { return *peer_; }

    // Before start(): makes `count` links as a central to the advertiser `dummy` (switched on
    // again for each), so that this controller's next link handle is the one the program's
    // controller gives its count+1-th concurrent link. See docs/btvirt.md.
    ::testing::AssertionResult make_dummy_links(size_t count, hci_peer& dummy);

    // Links the program made to this phone, and the ones that have ended since.
    size_t connections() const;
    size_t disconnections() const;
    // The reason of each ended link, oldest first.
    std::vector<uint8_t> disconnect_reasons() const;
    // Waits until connections() (or disconnections()) reaches `n`.
    bool wait_connections(size_t n, std::chrono::milliseconds limit = default_limit);
    bool wait_disconnections(size_t n, std::chrono::milliseconds limit = default_limit);
    // ATT requests heard, over all connections.
    size_t requests_heard() const;
    bool wait_requests(size_t n, std::chrono::milliseconds limit = default_limit);

    // Behaviour on demand. Silent: ATT requests are heard and counted but never answered.
    void set_silent(bool silent);
    // Hangs up with `reason` instead of answering request n + 1 of a connection (only the
    // phone's `connection`-th one, counted from 1, when given).
    void hang_up_after(uint32_t requests, uint8_t reason,
                       std::optional<uint32_t> connection = std::nullopt);
    // CCCD writes are answered with Write Not Permitted.
    void refuse_cccd_writes();
    // Sends in fragments of at most `bytes` (at least 1) instead of the controller's buffer
    // size, so that every PDU the phone sends the program arrives in pieces.
    void set_fragment_size(size_t bytes);

    // Requests of the phone's own on the current link.
    ::testing::AssertionResult send_exchange_mtu(uint16_t client_rx_mtu);
    ::testing::AssertionResult send_pairing_request();
    // Intervals in 1.25 ms, timeout in 10 ms.
    ::testing::AssertionResult request_connection_parameters(uint16_t interval_min,
                                                             uint16_t interval_max,
                                                             uint16_t latency, uint16_t timeout);
    // Ends the current link with `reason`.
    ::testing::AssertionResult disconnect(uint8_t reason = 0x13);
    // The current link ends as if its supervision time-out had run out (reason 0x08), as a
    // real phone's does once the central's controller is gone. The emulator keeps no such
    // time-out, and tells nobody when a controller goes away or is reset under its links.
    void time_out_link();

    // Frames received on channel `cid` (not ATT requests, which are answered), oldest first;
    // waits until one from index `from` on satisfies `pred`.
    std::optional<received_frame> wait_for_frame(
        const std::function<bool(const received_frame&)>& pred,
        std::chrono::milliseconds limit = default_limit);
    // Waits until `n` frames received so far satisfy `pred`.
    bool wait_frames(size_t n, const std::function<bool(const received_frame&)>& pred,
                     std::chrono::milliseconds limit = default_limit);
    // LE Connection Update Complete events seen, as their connection intervals.
    std::vector<uint16_t> connection_updates() const;

    // The CCCD value at `handle` as the phone's database holds it now.
    uint16_t cccd_value(uint16_t handle) const;
    // What went wrong on the worker or the advertising thread; empty while nothing did.
    std::string trouble() const;

  private:
    void on_packet(const hci::h4_packet& packet);
    void work();
    void handle_event(const std::vector<uint8_t>& packet);
    void handle_frame(uint16_t connection_handle, const std::vector<uint8_t>& pdu);
    void answer_att(uint16_t connection_handle, hci::bytes_view request);
    bool send_pdu(uint16_t connection_handle, uint16_t cid, const std::vector<uint8_t>& payload);
    void note_trouble(const std::string& what);
    ::testing::AssertionResult start_advertising();
    std::optional<uint16_t> link() const;
    bool wait_until(std::chrono::milliseconds limit, const std::function<bool()>& done);

    sim::device_config config_;
    std::chrono::steady_clock::time_point born_;
    std::unique_ptr<hci_peer> peer_;

    // Advertising is switched by the test's thread (start) and by the worker (on links coming
    // and going); hci_peer's advertising control is for one thread at a time.
    std::mutex advertising_control_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<hci::h4_packet> inbox_;
    bool stopping_ = false;
    // The controller's ACL buffers: their size, and how many are free.
    size_t buffer_size_ = 27;
    size_t fragment_limit_ = 0;  // 0: the buffer size
    size_t buffers_total_ = 1;
    size_t buffers_free_ = 1;
    std::optional<uint16_t> link_;  // the program's link, while it is up
    std::vector<uint16_t> dummy_links_;
    size_t connections_ = 0;
    size_t disconnections_ = 0;
    std::vector<uint8_t> reasons_;
    size_t requests_ = 0;
    bool silent_ = false;
    std::vector<received_frame> frames_;
    std::vector<uint16_t> updates_;
    std::string trouble_;
    bool advertising_wanted_ = false;

    // Touched by the worker alone, but for the faults added before or between links, and
    // cccd_value(): under gatt_lock_.
    mutable std::mutex gatt_lock_;
    hci::acl_reassembler reassembler_;
    uint8_t next_identifier_ = 1;
    bool reset_done_ = false;  // the test's thread alone

    std::thread worker_;
};

// Phones for tests with several links at once. The program's controller gives its links
// handle numbers in the order they come up; the emulator's quirk (docs/btvirt.md) loses the
// data of a phone whose own next handle number differs. phone_row adds each phone with as
// many dummy links to its one shared dummy advertiser as links will be up before its own,
// then starts it.
class phone_row {
  public:
    explicit phone_row(const std::string& socket_path);
    // The phone that will be the program's `links_before`+1-th concurrent link.
    ::testing::AssertionResult add(sim::device_config phone, size_t links_before);
    test_phone& operator[](size_t i) { return *phones_[i]; }
    size_t size() const { return phones_.size(); }

  private:
    std::string socket_path_;
    std::unique_ptr<hci_peer> dummy_;
    std::vector<std::unique_ptr<test_phone>> phones_;
};

}  // namespace btvirt_testing
