#include "tests/support/scripted_backend.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>

#include "app/test_context.h"
#include "tests/support/test_support.h"

namespace testing_support {

void scripted_backend::push_result(const std::string& name, uint32_t result) {
    std::lock_guard<std::mutex> guard(lock_);
    queued_[name].push_back(result);
}

void scripted_backend::set_default_result(const std::string& name, uint32_t result) {
    std::lock_guard<std::mutex> guard(lock_);
    defaults_[name] = result;
}

std::vector<recorded_call> scripted_backend::calls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

std::vector<recorded_call> scripted_backend::calls_named(const std::string& name) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<recorded_call> found;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(found),
                 [&name](const recorded_call& call) { return call.name == name; });
    return found;
}

void scripted_backend::clear_calls() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
}

void scripted_backend::deliver(ble_evt_t* event) {
    sd_rpc_evt_handler_t handler = nullptr;
    adapter_t* adapter = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        handler = event_handler_;
        adapter = adapter_;
    }
    if (handler != nullptr) handler(adapter, event);
}

void scripted_backend::deliver_log(sd_rpc_log_severity_t severity, const char* text) {
    if (log_handler_ != nullptr) log_handler_(adapter_, severity, text);
}

void scripted_backend::deliver_status(sd_rpc_app_status_t code, const char* text) {
    if (status_handler_ != nullptr) status_handler_(adapter_, code, text);
}

bool scripted_backend::is_open() const {
    std::lock_guard<std::mutex> guard(lock_);
    return open_;
}

uint32_t scripted_backend::record(recorded_call call) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::string name = call.name;
    calls_.push_back(std::move(call));
    auto queued = queued_.find(name);
    if (queued != queued_.end() && !queued->second.empty()) {
        const uint32_t result = queued->second.front();
        queued->second.pop_front();
        return result;
    }
    auto fallback = defaults_.find(name);
    return fallback != defaults_.end() ? fallback->second : NRF_SUCCESS;
}

uint32_t scripted_backend::open(adapter_t* adapter, sd_rpc_status_handler_t status_handler,
                                sd_rpc_evt_handler_t event_handler,
                                sd_rpc_log_handler_t log_handler) {
    const uint32_t result = record({"open", {}, {}});
    if (result == NRF_SUCCESS) {
        std::lock_guard<std::mutex> guard(lock_);
        adapter_ = adapter;
        status_handler_ = status_handler;
        event_handler_ = event_handler;
        log_handler_ = log_handler;
        open_ = true;
    }
    return result;
}

uint32_t scripted_backend::close() {
    const uint32_t result = record({"close", {}, {}});
    std::lock_guard<std::mutex> guard(lock_);
    open_ = false;
    event_handler_ = nullptr;
    return result;
}

uint32_t scripted_backend::conn_reset(sd_rpc_reset_t reset_mode) {
    return record({"conn_reset", {reset_mode}, {}});
}

uint32_t scripted_backend::log_severity_filter_set(sd_rpc_log_severity_t severity_filter) {
    return record({"log_severity_filter_set", {severity_filter}, {}});
}

uint32_t scripted_backend::cfg_set(uint32_t cfg_id, ble_cfg_t const* p_cfg, uint32_t app_ram_base) {
    std::vector<uint8_t> bytes;
    if (p_cfg != nullptr) {
        bytes.resize(sizeof(ble_cfg_t));
        std::memcpy(bytes.data(), p_cfg, sizeof(ble_cfg_t));
    }
    return record({"cfg_set", {cfg_id, app_ram_base}, bytes});
}

uint32_t scripted_backend::enable(uint32_t* p_app_ram_base) {
    return record({"enable", {p_app_ram_base == nullptr ? 0 : 1}, {}});
}

uint32_t scripted_backend::gap_scan_start(ble_gap_scan_params_t const* p,
                                          ble_data_t const* buffer) {
    recorded_call call{"gap_scan_start", {}, {}};
    call.args = {p != nullptr,
                 p != nullptr ? p->interval : 0,
                 p != nullptr ? p->window : 0,
                 p != nullptr ? p->active : 0,
                 p != nullptr ? p->timeout : 0,
                 p != nullptr ? p->scan_phys : 0,
                 buffer != nullptr ? buffer->len : -1};
    return record(std::move(call));
}

uint32_t scripted_backend::gap_scan_stop() {
    return record({"gap_scan_stop", {}, {}});
}

uint32_t scripted_backend::gap_adv_set_configure(uint8_t* p_adv_handle,
                                                 ble_gap_adv_data_t const* p_adv_data,
                                                 ble_gap_adv_params_t const* p) {
    recorded_call call{"gap_adv_set_configure", {}, {}};
    call.args = {p_adv_handle != nullptr ? *p_adv_handle : -1,
                 p != nullptr ? p->properties.type : -1,
                 p != nullptr ? static_cast<int64_t>(p->interval) : -1,
                 p != nullptr ? p->duration : -1,
                 p != nullptr ? p->max_adv_evts : -1,
                 p != nullptr ? p->primary_phy : -1};
    if (p_adv_data != nullptr && p_adv_data->adv_data.p_data != nullptr) {
        call.data.assign(p_adv_data->adv_data.p_data,
                         p_adv_data->adv_data.p_data + p_adv_data->adv_data.len);
    }
    const uint32_t result = record(std::move(call));
    if (result == NRF_SUCCESS && p_adv_handle != nullptr &&
        *p_adv_handle == BLE_GAP_ADV_SET_HANDLE_NOT_SET) {
        *p_adv_handle = 0;
    }
    return result;
}

uint32_t scripted_backend::gap_adv_start(uint8_t adv_handle, uint8_t conn_cfg_tag) {
    return record({"gap_adv_start", {adv_handle, conn_cfg_tag}, {}});
}

uint32_t scripted_backend::gap_adv_stop(uint8_t adv_handle) {
    return record({"gap_adv_stop", {adv_handle}, {}});
}

uint32_t scripted_backend::gap_connect(ble_gap_addr_t const* addr, ble_gap_scan_params_t const* s,
                                       ble_gap_conn_params_t const* c, uint8_t conn_cfg_tag) {
    recorded_call call{"gap_connect", {}, {}};
    call.args = {s != nullptr ? s->interval : -1,
                 s != nullptr ? s->window : -1,
                 c != nullptr ? c->min_conn_interval : -1,
                 c != nullptr ? c->max_conn_interval : -1,
                 c != nullptr ? c->slave_latency : -1,
                 c != nullptr ? c->conn_sup_timeout : -1,
                 conn_cfg_tag};
    if (addr != nullptr) call.data.assign(addr->addr, addr->addr + BLE_GAP_ADDR_LEN);
    return record(std::move(call));
}

uint32_t scripted_backend::gap_connect_cancel() {
    return record({"gap_connect_cancel", {}, {}});
}

uint32_t scripted_backend::gap_disconnect(uint16_t conn_handle, uint8_t hci_status_code) {
    return record({"gap_disconnect", {conn_handle, hci_status_code}, {}});
}

uint32_t scripted_backend::gap_conn_param_update(uint16_t conn_handle,
                                                 ble_gap_conn_params_t const* c) {
    return record({"gap_conn_param_update",
                   {conn_handle, c != nullptr ? c->min_conn_interval : -1,
                    c != nullptr ? c->max_conn_interval : -1, c != nullptr ? c->slave_latency : -1,
                    c != nullptr ? c->conn_sup_timeout : -1},
                   {}});
}

uint32_t scripted_backend::gap_rssi_start(uint16_t conn_handle, uint8_t threshold_dbm,
                                          uint8_t skip_count) {
    return record({"gap_rssi_start", {conn_handle, threshold_dbm, skip_count}, {}});
}

uint32_t scripted_backend::gattc_primary_services_discover(uint16_t conn_handle,
                                                           uint16_t start_handle,
                                                           ble_uuid_t const* p_srvc_uuid) {
    return record({"gattc_primary_services_discover",
                   {conn_handle, start_handle, p_srvc_uuid != nullptr},
                   {}});
}

uint32_t scripted_backend::gattc_characteristics_discover(uint16_t conn_handle,
                                                          ble_gattc_handle_range_t const* range) {
    return record({"gattc_characteristics_discover",
                   {conn_handle, range != nullptr ? range->start_handle : -1,
                    range != nullptr ? range->end_handle : -1},
                   {}});
}

uint32_t scripted_backend::gattc_descriptors_discover(uint16_t conn_handle,
                                                      ble_gattc_handle_range_t const* range) {
    return record({"gattc_descriptors_discover",
                   {conn_handle, range != nullptr ? range->start_handle : -1,
                    range != nullptr ? range->end_handle : -1},
                   {}});
}

uint32_t scripted_backend::gattc_read(uint16_t conn_handle, uint16_t handle, uint16_t offset) {
    return record({"gattc_read", {conn_handle, handle, offset}, {}});
}

uint32_t scripted_backend::gattc_write(uint16_t conn_handle, ble_gattc_write_params_t const* w) {
    recorded_call call{"gattc_write", {}, {}};
    if (w == nullptr) {
        call.args = {conn_handle};
    } else {
        call.args = {conn_handle, w->write_op, w->flags, w->handle, w->offset, w->len};
        if (w->p_value != nullptr) call.data.assign(w->p_value, w->p_value + w->len);
    }
    return record(std::move(call));
}

namespace {
std::atomic<scripted_backend*> last_created{nullptr};
}

void install_scripted_backend(std::function<void(scripted_backend&)> setup) {
    driver::register_backend("script", [setup](const driver::link_settings&) {
        auto made = std::make_unique<scripted_backend>();
        if (setup) setup(*made);
        last_created = made.get();
        return std::unique_ptr<driver::backend>(std::move(made));
    });
}

scripted_backend* last_scripted_backend() {
    return last_created.load();
}

scripted_backend* make_scripted_adapter() {
    driver::register_backend("script", [](const driver::link_settings&) {
        return std::unique_ptr<driver::backend>(std::make_unique<scripted_backend>());
    });
    physical_layer_t* phy = sd_rpc_physical_layer_create_uart(
        "script", 1000000, SD_RPC_FLOW_CONTROL_NONE, SD_RPC_PARITY_NONE);
    adapter_t* adapter = sd_rpc_adapter_create(
        sd_rpc_transport_layer_create(sd_rpc_data_link_layer_create_bt_three_wire(phy, 250), 1500));
    test_context.adapter = adapter;
    return static_cast<scripted_backend*>(driver::backend_of(adapter));
}

scripted_backend* start_scripted_run() {
    reset_test_context();
    scripted_backend* backend = make_scripted_adapter();
    create_event_objects();
    return backend;
}

}  // namespace testing_support
