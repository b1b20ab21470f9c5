// A driver backend for tests: records every call with its arguments and answers with the
// results a test sets. Events are delivered by the test, on the test's thread, through
// deliver(), which calls the program's event handler exactly as the driver would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/backend.h"

namespace testing_support {

struct recorded_call {
    std::string name;           // the backend method, e.g. "gattc_read"
    std::vector<int64_t> args;  // scalar arguments in order (see each method)
    std::vector<uint8_t> data;  // bytes passed by pointer (write value, adv data)
};

class scripted_backend final : public driver::backend {
  public:
    // Results: each call name has a queue of results used one per call; when it is empty
    // the default result (normally NRF_SUCCESS) answers.
    void push_result(const std::string& name, uint32_t result);
    void set_default_result(const std::string& name, uint32_t result);

    std::vector<recorded_call> calls() const;
    std::vector<recorded_call> calls_named(const std::string& name) const;
    void clear_calls();

    // Calls the event handler given to open(), as the driver's event thread would.
    void deliver(ble_evt_t* event);
    void deliver_log(sd_rpc_log_severity_t severity, const char* text);
    void deliver_status(sd_rpc_app_status_t code, const char* text);
    bool is_open() const;

    uint32_t open(adapter_t* adapter, sd_rpc_status_handler_t status_handler,
                  sd_rpc_evt_handler_t event_handler, sd_rpc_log_handler_t log_handler) override;
    uint32_t close() override;
    uint32_t conn_reset(sd_rpc_reset_t reset_mode) override;
    uint32_t log_severity_filter_set(sd_rpc_log_severity_t severity_filter) override;
    // args: cfg_id, app_ram_base; data: the ble_cfg_t bytes.
    uint32_t cfg_set(uint32_t cfg_id, ble_cfg_t const* p_cfg, uint32_t app_ram_base) override;
    uint32_t enable(uint32_t* p_app_ram_base) override;
    // args: has_params, interval, window, active, timeout, scan_phys, buffer_len.
    uint32_t gap_scan_start(ble_gap_scan_params_t const* p_scan_params,
                            ble_data_t const* p_adv_report_buffer) override;
    uint32_t gap_scan_stop() override;
    // args: handle_in, type, interval, duration, max_adv_evts, primary_phy; data: adv data.
    uint32_t gap_adv_set_configure(uint8_t* p_adv_handle, ble_gap_adv_data_t const* p_adv_data,
                                   ble_gap_adv_params_t const* p_adv_params) override;
    uint32_t gap_adv_start(uint8_t adv_handle, uint8_t conn_cfg_tag) override;
    uint32_t gap_adv_stop(uint8_t adv_handle) override;
    // args: scan interval, scan window, min_ci, max_ci, latency, sup_timeout, tag; data: addr.
    uint32_t gap_connect(ble_gap_addr_t const* p_peer_addr,
                         ble_gap_scan_params_t const* p_scan_params,
                         ble_gap_conn_params_t const* p_conn_params, uint8_t conn_cfg_tag) override;
    uint32_t gap_connect_cancel() override;
    uint32_t gap_disconnect(uint16_t conn_handle, uint8_t hci_status_code) override;
    uint32_t gap_conn_param_update(uint16_t conn_handle,
                                   ble_gap_conn_params_t const* p_conn_params) override;
    uint32_t gap_rssi_start(uint16_t conn_handle, uint8_t threshold_dbm,
                            uint8_t skip_count) override;
    // args: conn_handle, start_handle, has_uuid.
    uint32_t gattc_primary_services_discover(uint16_t conn_handle, uint16_t start_handle,
                                             ble_uuid_t const* p_srvc_uuid) override;
    // args: conn_handle, start_handle, end_handle.
    uint32_t gattc_characteristics_discover(
        uint16_t conn_handle, ble_gattc_handle_range_t const* p_handle_range) override;
    // args: conn_handle, start_handle, end_handle.
    uint32_t gattc_descriptors_discover(uint16_t conn_handle,
                                        ble_gattc_handle_range_t const* p_handle_range) override;
    uint32_t gattc_read(uint16_t conn_handle, uint16_t handle, uint16_t offset) override;
    // args: conn_handle, write_op, flags, handle, offset, len; data: value bytes.
    uint32_t gattc_write(uint16_t conn_handle,
                         ble_gattc_write_params_t const* p_write_params) override;

  private:
    uint32_t record(recorded_call call);

    mutable std::mutex lock_;
    std::vector<recorded_call> calls_;
    std::map<std::string, std::deque<uint32_t>> queued_;
    std::map<std::string, uint32_t> defaults_;
    adapter_t* adapter_ = nullptr;
    sd_rpc_status_handler_t status_handler_ = nullptr;
    sd_rpc_evt_handler_t event_handler_ = nullptr;
    sd_rpc_log_handler_t log_handler_ = nullptr;
    bool open_ = false;
};

// Makes port names beginning with "script" build scripted backends (for runs of
// test_run in-process); `setup` prepares each one before the program uses it.
void install_scripted_backend(std::function<void(scripted_backend&)> setup = {});
// The backend built most recently for a "script" port.
scripted_backend* last_scripted_backend();

// Creates an adapter on a scripted backend, opens nothing, and stores it in
// test_context.adapter. Returns the backend.
scripted_backend* make_scripted_adapter();

// The program's state as a run begins, on a scripted driver: the shared context reset, an
// adapter on a fresh scripted backend (returned) and the run's event objects created.
scripted_backend* start_scripted_run();

}  // namespace testing_support
