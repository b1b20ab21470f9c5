// Drives the simulated dongle through the driver interface alone, as the program does:
// a scenario written to a temporary file, an adapter on port "sim:<file>", and callbacks
// that keep a copy of everything delivered so that tests can wait for it and look at it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "driver/sd_rpc.h"
#include "platform/platform.h"

namespace sim_testing {

// A delivered event, copied whole (variable-length tail included).
struct seen_event {
    std::shared_ptr<std::vector<std::max_align_t>> storage;
    std::vector<uint8_t> report_data;  // an advertising report's data, copied at delivery
    const ble_evt_t& evt() const { return *reinterpret_cast<const ble_evt_t*>(storage->data()); }
    uint16_t id() const { return evt().header.evt_id; }
};

// Writes `text` to a fresh file in the temporary directory and returns its path.
std::string write_temp_file(const std::string& name, const std::string& text);

class session {
  public:
    explicit session(const std::string& scenario_json);
    ~session();
    session(const session&) = delete;
    session& operator=(const session&) = delete;

    const std::string& path() const { return path_; }
    adapter_t* adapter() const { return adapter_; }

    uint32_t open();
    uint32_t close();
    // The program's stack configuration (one advertising set, five central links with
    // tag 1, ATT MTU 150), then enable.
    uint32_t enable();
    uint32_t start_scan(uint16_t interval = 160, uint16_t window = 80, uint16_t timeout = 0);
    uint32_t resume_scan();
    uint32_t connect(const ble_gap_addr_t& peer, uint16_t sup_timeout = 400);

    // Set before open(). Run on the event thread for each event before it is recorded;
    // may call the driver.
    std::function<void(const ble_evt_t&)> on_event;
    // Set before open(). Run on the event thread when the open's reset is reported, at
    // simulated time 0: what it asks for does not depend on how fast the test thread runs.
    std::function<void()> at_open;
    std::function<void(int code, const std::string& text)> on_status;

    // Waits on the platform clock until an event from index `from` on satisfies `pred`;
    // returns its index, or -1 when `timeout_ms` passed first.
    int wait_for(const std::function<bool(const seen_event&)>& pred, uint32_t timeout_ms,
                 size_t from = 0);
    int wait_for_id(uint16_t id, uint32_t timeout_ms, size_t from = 0);
    std::vector<seen_event> events() const;
    size_t event_count() const;
    std::vector<std::string> logs() const;
    std::vector<std::pair<int, std::string>> statuses() const;

    uint8_t report_buffer[100] = {};
    ble_data_t report_descriptor{report_buffer, sizeof report_buffer};

  private:
    static void status_handler(adapter_t* adapter, sd_rpc_app_status_t code, const char* text);
    static void event_handler(adapter_t* adapter, ble_evt_t* event);
    static void log_handler(adapter_t* adapter, sd_rpc_log_severity_t severity, const char* text);

    std::string path_;
    adapter_t* adapter_ = nullptr;
    bool open_ = false;
    platform::event_handle arrived_ = nullptr;
    mutable std::mutex lock_;
    std::vector<seen_event> events_;
    std::vector<std::string> logs_;
    std::vector<std::pair<int, std::string>> statuses_;
};

// A world with one phone "p" (UUID a0a489971097bba1b343eddd8f50f6ac, address
// C0:00:00:00:00:01, advertising every 50 ms); `phone_extra` and `top_extra` are more
// keys (each starting with a comma) for the phone and the scenario.
std::string one_phone_world(const std::string& phone_extra = "", const std::string& top_extra = "",
                            double time_scale = 20);
constexpr const char* phone_uuid = "a0a489971097bba1b343eddd8f50f6ac";
constexpr const char* phone_address = "C0:00:00:00:00:01";

// The captured trace (sim::set_trace_capture) as JSON objects.
std::vector<nlohmann::json> trace();
// Simulated time (ms) of the first trace line for `event` from line `from` on; -1 if none.
double trace_time_of(const std::vector<nlohmann::json>& lines, const std::string& event,
                     size_t from = 0);

// Scanning parameters as the program passes them.
ble_gap_scan_params_t scan_params(uint16_t interval = 160, uint16_t window = 80,
                                  uint16_t timeout = 0);
ble_gap_addr_t address(const std::string& text);

}  // namespace sim_testing
