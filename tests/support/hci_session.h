// Drives the HCI backend through the driver interface alone, as the program does, with a
// scripted controller behind it: an adapter on a port of its own, callbacks that keep a copy
// of everything delivered, and the program's usual stack configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/sd_rpc.h"
#include "platform/platform.h"
#include "tests/support/scripted_controller.h"

namespace testing_support {

// A delivered event, copied whole (variable-length tail included), and an advertising
// report's data as the program's buffer held it at delivery.
struct hci_seen_event {
    std::shared_ptr<std::vector<std::max_align_t>> storage;
    std::vector<uint8_t> report_data;
    const ble_evt_t& evt() const { return *reinterpret_cast<const ble_evt_t*>(storage->data()); }
    uint16_t id() const { return evt().header.evt_id; }
};

class hci_session {
  public:
    // The controller is made here and handed to the backend at open(); `controller()` stays
    // valid for the session's life. The port is "hci:scripted-<n>" and `port_suffix`.
    explicit hci_session(const std::string& port_suffix = "");
    ~hci_session();
    hci_session(const hci_session&) = delete;
    hci_session& operator=(const hci_session&) = delete;

    scripted_controller& controller() { return *controller_; }
    // A fresh controller for the backend's next opening of the stream after the first (a
    // recovery's reopening), in the order added; with none left, the opening fails.
    scripted_controller& add_spare_controller();
    // How many times the backend has opened the stream, the failed tries included.
    int stream_opens() const;
    adapter_t* adapter() const { return adapter_; }

    uint32_t open();
    uint32_t close();
    // One advertising set, five central links with tag 1 and an ATT MTU of 150, then enable.
    uint32_t enable();
    uint32_t start_scan(uint16_t interval = 160, uint16_t window = 80, uint16_t timeout = 0);
    uint32_t resume_scan();
    // Opens, enables and connects to `peer` with controller handle `controller_handle`;
    // returns the program's handle, or 0xFFFF.
    uint16_t connect_phone(const wire::address_bytes& peer, uint16_t controller_handle);

    // Waits (clock milliseconds) for an event from index `from` on that satisfies `pred`;
    // its index, or -1.
    int wait_for(const std::function<bool(const hci_seen_event&)>& pred, uint32_t timeout_ms,
                 size_t from = 0);
    int wait_for_id(uint16_t id, uint32_t timeout_ms, size_t from = 0);
    // Waits (clock milliseconds) until `done` holds after some callback; false if it never does.
    bool wait_until(const std::function<bool()>& done, uint32_t timeout_ms);
    std::vector<hci_seen_event> events() const;
    size_t count(uint16_t id) const;
    std::vector<std::string> logs() const;
    std::vector<std::pair<int, std::string>> statuses() const;
    // Set before open(): runs on the event thread for each event before it is recorded.
    std::function<void(const ble_evt_t&)> on_event;

    uint8_t report_buffer[31] = {};
    ble_data_t report_descriptor{report_buffer, sizeof report_buffer};

  private:
    static void status_handler(adapter_t* adapter, sd_rpc_app_status_t code, const char* text);
    static void event_handler(adapter_t* adapter, ble_evt_t* event);
    static void log_handler(adapter_t* adapter, sd_rpc_log_severity_t severity, const char* text);

    std::string port_;
    // Shared with the transport the backend owns, which a failed open destroys.
    std::shared_ptr<scripted_controller> controller_;
    struct stream_source;
    std::shared_ptr<stream_source> streams_;
    adapter_t* adapter_ = nullptr;
    bool open_ = false;
    bool enabled_ = false;
    platform::event_handle arrived_ = nullptr;
    mutable std::mutex lock_;
    std::vector<hci_seen_event> events_;
    std::vector<std::string> logs_;
    std::vector<std::pair<int, std::string>> statuses_;
};

ble_gap_addr_t gap_address(const wire::address_bytes& bytes, uint8_t type);

}  // namespace testing_support
