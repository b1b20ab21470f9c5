#include "tests/support/hci_session.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>

#include "driver/backend.h"
#include "hci/backend/hci_backend.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/program_stack.h"

namespace testing_support {
namespace {

// The session whose callbacks are live: the driver's callbacks carry no user pointer.
std::atomic<hci_session*> current{nullptr};
std::atomic<int> serial{0};

// The backend's end of the session's controller.
class forwarding_transport final : public hci::transport {
  public:
    explicit forwarding_transport(std::shared_ptr<scripted_controller> c) : c_(std::move(c)) {}
    ~forwarding_transport() override { c_->close(); }
    void start(bytes_handler on_bytes, lost_handler on_lost) override {
        c_->start(std::move(on_bytes), std::move(on_lost));
    }
    bool write(hci::bytes_view packet, std::string& why) override { return c_->write(packet, why); }
    void close() override { c_->close(); }

  private:
    std::shared_ptr<scripted_controller> c_;
};

}  // namespace

// What the backend's opener hands out: the session's controller first, then the spares.
struct hci_session::stream_source {
    std::mutex lock;
    int opens = 0;
    std::deque<std::shared_ptr<scripted_controller>> spares;
    std::vector<std::shared_ptr<scripted_controller>> handed;  // kept for the session's life
};

ble_gap_addr_t gap_address(const wire::address_bytes& bytes, uint8_t type) {
    ble_gap_addr_t a{};
    a.addr_type = type;
    std::memcpy(a.addr, bytes.data(), 6);
    return a;
}

hci_session::hci_session(const std::string& port_suffix)
    : port_("hci:scripted-" + std::to_string(++serial) + port_suffix),
      controller_(std::make_shared<scripted_controller>()),
      streams_(std::make_shared<stream_source>()) {
    arrived_ = platform::create_event(false, false);
    std::shared_ptr<scripted_controller> controller = controller_;
    std::shared_ptr<stream_source> streams = streams_;
    driver::register_backend(port_, [controller, streams](const driver::link_settings& settings) {
        return hci::make_backend(
            settings, [controller, streams](std::string& why) -> std::unique_ptr<hci::transport> {
                std::lock_guard<std::mutex> guard(streams->lock);
                if (++streams->opens == 1)
                    return std::make_unique<forwarding_transport>(controller);
                if (streams->spares.empty()) {
                    why = "no controller on the scripted port any more";
                    return nullptr;
                }
                std::shared_ptr<scripted_controller> next = streams->spares.front();
                streams->spares.pop_front();
                return std::make_unique<forwarding_transport>(next);
            });
    });
    auto* phy = sd_rpc_physical_layer_create_uart(port_.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE,
                                                  SD_RPC_PARITY_NONE);
    auto* link = sd_rpc_data_link_layer_create_bt_three_wire(phy, 250);
    auto* transport = sd_rpc_transport_layer_create(link, 1500);
    adapter_ = sd_rpc_adapter_create(transport);
}

hci_session::~hci_session() {
    close();
    hci_session* self = this;
    current.compare_exchange_strong(self, nullptr);
    driver::unregister_backend(port_);
    platform::set_time_scale(1.0);
}

scripted_controller& hci_session::add_spare_controller() {
    auto made = std::make_shared<scripted_controller>();
    std::lock_guard<std::mutex> guard(streams_->lock);
    streams_->spares.push_back(made);
    streams_->handed.push_back(made);
    return *made;
}

int hci_session::stream_opens() const {
    std::lock_guard<std::mutex> guard(streams_->lock);
    return streams_->opens;
}

uint32_t hci_session::open() {
    current = this;
    const uint32_t result = sd_rpc_open(adapter_, status_handler, event_handler, log_handler);
    if (result == NRF_SUCCESS) open_ = true;
    return result;
}

uint32_t hci_session::close() {
    if (!open_) return NRF_SUCCESS;
    open_ = false;
    return sd_rpc_close(adapter_);
}

uint32_t hci_session::enable() {
    const uint32_t r = enable_program_stack(adapter_);
    enabled_ = r == NRF_SUCCESS;
    return r;
}

uint32_t hci_session::start_scan(uint16_t interval, uint16_t window, uint16_t timeout) {
    ble_gap_scan_params_t p{};
    p.scan_phys = BLE_GAP_PHY_1MBPS;
    p.interval = interval;
    p.window = window;
    p.timeout = timeout;
    return sd_ble_gap_scan_start(adapter_, &p, &report_descriptor);
}

uint32_t hci_session::resume_scan() {
    return sd_ble_gap_scan_start(adapter_, nullptr, &report_descriptor);
}

uint16_t hci_session::connect_phone(const wire::address_bytes& peer, uint16_t controller_handle) {
    if (!open_ && open() != NRF_SUCCESS) return BLE_CONN_HANDLE_INVALID;
    if (!enabled_ && enable() != NRF_SUCCESS) return BLE_CONN_HANDLE_INVALID;
    controller_->connect_on_create(controller_handle);
    ble_gap_scan_params_t scan{};
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 96;
    scan.window = 48;
    ble_gap_conn_params_t conn{24, 40, 0, 400};
    const ble_gap_addr_t address = gap_address(peer, BLE_GAP_ADDR_TYPE_PUBLIC);
    const size_t before = events().size();
    if (sd_ble_gap_connect(adapter_, &address, &scan, &conn, 1) != NRF_SUCCESS) {
        return BLE_CONN_HANDLE_INVALID;
    }
    const int at = wait_for_id(BLE_GAP_EVT_CONNECTED, 5000, before);
    if (at < 0) return BLE_CONN_HANDLE_INVALID;
    return events()[static_cast<size_t>(at)].evt().evt.gap_evt.conn_handle;
}

int hci_session::wait_for(const std::function<bool(const hci_seen_event&)>& pred,
                          uint32_t timeout_ms, size_t from) {
    const uint64_t deadline = platform::tick_count() + timeout_ms;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (size_t i = from; i < events_.size(); ++i) {
                if (pred(events_[i])) return static_cast<int>(i);
            }
        }
        const uint64_t now = platform::tick_count();
        if (now >= deadline) return -1;
        platform::wait_for_event(arrived_,
                                 static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 100)));
    }
}

bool hci_session::wait_until(const std::function<bool()>& done, uint32_t timeout_ms) {
    const uint64_t deadline = platform::tick_count() + timeout_ms;
    while (!done()) {
        const uint64_t now = platform::tick_count();
        if (now >= deadline) return false;
        platform::wait_for_event(arrived_,
                                 static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 100)));
    }
    return true;
}

int hci_session::wait_for_id(uint16_t id, uint32_t timeout_ms, size_t from) {
    return wait_for([id](const hci_seen_event& e) { return e.id() == id; }, timeout_ms, from);
}

std::vector<hci_seen_event> hci_session::events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
}

size_t hci_session::count(uint16_t id) const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<size_t>(std::count_if(
        events_.begin(), events_.end(), [id](const hci_seen_event& e) { return e.id() == id; }));
}

std::vector<std::string> hci_session::logs() const {
    std::lock_guard<std::mutex> guard(lock_);
    return logs_;
}

std::vector<std::pair<int, std::string>> hci_session::statuses() const {
    std::lock_guard<std::mutex> guard(lock_);
    return statuses_;
}

void hci_session::status_handler(adapter_t*, sd_rpc_app_status_t code, const char* text) {
    hci_session* s = current.load();
    if (s == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(s->lock_);
        s->statuses_.emplace_back(static_cast<int>(code), text == nullptr ? "" : text);
    }
    platform::set_event(s->arrived_);
}

void hci_session::event_handler(adapter_t*, ble_evt_t* event) {
    hci_session* s = current.load();
    if (s == nullptr) return;
    if (s->on_event) s->on_event(*event);
    hci_seen_event seen;
    const size_t bytes = std::max<size_t>(event->header.evt_len, sizeof(ble_evt_t));
    seen.storage = std::make_shared<std::vector<std::max_align_t>>(
        (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    std::memcpy(seen.storage->data(), event, event->header.evt_len);
    if (event->header.evt_id == BLE_GAP_EVT_ADV_REPORT) {
        const ble_data_t& d = event->evt.gap_evt.params.adv_report.data;
        if (d.p_data != nullptr) seen.report_data.assign(d.p_data, d.p_data + d.len);
    }
    {
        std::lock_guard<std::mutex> guard(s->lock_);
        s->events_.push_back(std::move(seen));
    }
    platform::set_event(s->arrived_);
}

void hci_session::log_handler(adapter_t*, sd_rpc_log_severity_t, const char* text) {
    hci_session* s = current.load();
    if (s == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(s->lock_);
        s->logs_.emplace_back(text == nullptr ? "" : text);
    }
    platform::set_event(s->arrived_);
}

}  // namespace testing_support
