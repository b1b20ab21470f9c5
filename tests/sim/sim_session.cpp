#include "tests/sim/sim_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/backends.h"
#include "driver/wire/address_text.h"
#include "sim/scenario/ad_data.h"
#include "sim/world/trace.h"
#include "tests/support/program_stack.h"

namespace sim_testing {
namespace {

// The session whose callbacks are live: the driver's callbacks carry no user pointer.
std::atomic<session*> current{nullptr};

}  // namespace

std::string write_temp_file(const std::string& name, const std::string& text) {
    static std::atomic<int> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("orvette-sim-" + std::to_string(stamp) + "-" + std::to_string(++serial));
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / name;
    std::ofstream out(file);
    out << text;
    // Forward slashes on every system: tests paste the path into JSON text, where a
    // Windows backslash would start an escape.
    return file.generic_string();
}

std::string one_phone_world(const std::string& phone_extra, const std::string& top_extra,
                            double time_scale) {
    return R"({"seed": 7, "time_scale": )" + std::to_string(time_scale) +
           R"(, "phones": [{"name": "p", "uuid": "a0a489971097bba1b343eddd8f50f6ac", "address": "C0:00:00:00:00:01", "adv_interval_ms": 50)" +
           phone_extra + "}]" + top_extra + "}";
}

std::vector<nlohmann::json> trace() {
    std::vector<nlohmann::json> lines;
    for (const std::string& line : sim::trace_lines()) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

double trace_time_of(const std::vector<nlohmann::json>& lines, const std::string& event,
                     size_t from) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].value("event", "") == event) return lines[i]["t"].get<double>();
    }
    return -1;
}

ble_gap_scan_params_t scan_params(uint16_t interval, uint16_t window, uint16_t timeout) {
    ble_gap_scan_params_t p{};
    p.scan_phys = BLE_GAP_PHY_1MBPS;
    p.interval = interval;
    p.window = window;
    p.timeout = timeout;
    return p;
}

ble_gap_addr_t address(const std::string& text) {
    wire::address_bytes bytes{};
    EXPECT_TRUE(wire::parse_address(text, bytes)) << text;
    ble_gap_addr_t a{};
    a.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    std::memcpy(a.addr, bytes.data(), 6);
    return a;
}

session::session(const std::string& scenario_json) {
    register_backends();
    path_ = write_temp_file("scenario.json", scenario_json);
    arrived_ = platform::create_event(false, false);
    const std::string port = "sim:" + path_;
    auto* phy = sd_rpc_physical_layer_create_uart(port.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE,
                                                  SD_RPC_PARITY_NONE);
    auto* link = sd_rpc_data_link_layer_create_bt_three_wire(phy, 250);
    auto* transport = sd_rpc_transport_layer_create(link, 1500);
    adapter_ = sd_rpc_adapter_create(transport);
}

session::~session() {
    close();
    session* self = this;
    current.compare_exchange_strong(self, nullptr);
    platform::set_time_scale(1.0);
    sim::set_trace_capture(false);
    sim::clear_trace_lines();
}

uint32_t session::open() {
    current = this;
    const uint32_t result = sd_rpc_open(adapter_, status_handler, event_handler, log_handler);
    if (result == NRF_SUCCESS) open_ = true;
    return result;
}

uint32_t session::close() {
    if (!open_) return NRF_SUCCESS;
    open_ = false;
    return sd_rpc_close(adapter_);
}

uint32_t session::enable() {
    return testing_support::enable_program_stack(adapter_);
}

uint32_t session::start_scan(uint16_t interval, uint16_t window, uint16_t timeout) {
    const ble_gap_scan_params_t p = scan_params(interval, window, timeout);
    return sd_ble_gap_scan_start(adapter_, &p, &report_descriptor);
}

uint32_t session::resume_scan() {
    return sd_ble_gap_scan_start(adapter_, nullptr, &report_descriptor);
}

uint32_t session::connect(const ble_gap_addr_t& peer, uint16_t sup_timeout) {
    const ble_gap_scan_params_t scan = scan_params();
    const ble_gap_conn_params_t conn{6, 6, 0, sup_timeout};
    return sd_ble_gap_connect(adapter_, &peer, &scan, &conn, 1);
}

int session::wait_for(const std::function<bool(const seen_event&)>& pred, uint32_t timeout_ms,
                      size_t from) {
    const uint64_t deadline = platform::tick_count() + timeout_ms;
    size_t checked = from;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (; checked < events_.size(); ++checked) {
                if (pred(events_[checked])) return static_cast<int>(checked);
            }
        }
        const uint64_t now = platform::tick_count();
        if (now >= deadline) return -1;
        platform::wait_for_event(arrived_,
                                 static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 1000)));
    }
}

int session::wait_for_id(uint16_t id, uint32_t timeout_ms, size_t from) {
    return wait_for([id](const seen_event& e) { return e.id() == id; }, timeout_ms, from);
}

std::vector<seen_event> session::events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
}

size_t session::event_count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_.size();
}

std::vector<std::string> session::logs() const {
    std::lock_guard<std::mutex> guard(lock_);
    return logs_;
}

std::vector<std::pair<int, std::string>> session::statuses() const {
    std::lock_guard<std::mutex> guard(lock_);
    return statuses_;
}

void session::status_handler(adapter_t*, sd_rpc_app_status_t code, const char* text) {
    session* s = current.load();
    if (s == nullptr) return;
    if (s->on_status) s->on_status(code, text);
    if (code == RESET_PERFORMED && s->at_open) s->at_open();
    {
        std::lock_guard<std::mutex> guard(s->lock_);
        s->statuses_.emplace_back(code, text);
    }
    platform::set_event(s->arrived_);
}

void session::event_handler(adapter_t*, ble_evt_t* event) {
    session* s = current.load();
    if (s == nullptr) return;
    seen_event seen;
    const size_t bytes = std::max<size_t>(event->header.evt_len, sizeof(ble_evt_t));
    seen.storage = std::make_shared<std::vector<std::max_align_t>>(
        (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    std::memcpy(seen.storage->data(), event, bytes);
    if (event->header.evt_id == BLE_GAP_EVT_ADV_REPORT &&
        event->evt.gap_evt.params.adv_report.data.p_data != nullptr) {
        const ble_data_t& d = event->evt.gap_evt.params.adv_report.data;
        seen.report_data.assign(d.p_data, d.p_data + d.len);
    }
    if (s->on_event) s->on_event(*event);
    {
        std::lock_guard<std::mutex> guard(s->lock_);
        s->events_.push_back(std::move(seen));
    }
    platform::set_event(s->arrived_);
}

void session::log_handler(adapter_t*, sd_rpc_log_severity_t, const char* text) {
    session* s = current.load();
    if (s == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(s->lock_);
        s->logs_.emplace_back(text);
    }
    platform::set_event(s->arrived_);
}

}  // namespace sim_testing
