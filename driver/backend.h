// What sits behind the driver calls in this build. The sd_rpc_* and sd_ble_* functions
// are a thin dispatch to one backend per adapter, chosen from the port name when the
// adapter is made, among the factories the program registered (app/backends.cpp); names
// that no factory claims reach a backend that explains that this build cannot serve them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "driver/sd_rpc.h"

namespace driver {

class backend {
  public:
    virtual ~backend() = default;

    // The adapter handle that callbacks must carry back to the program.
    virtual uint32_t open(adapter_t* adapter, sd_rpc_status_handler_t status_handler,
                          sd_rpc_evt_handler_t event_handler, sd_rpc_log_handler_t log_handler) = 0;
    virtual uint32_t close() = 0;
    virtual uint32_t conn_reset(sd_rpc_reset_t reset_mode) = 0;
    virtual uint32_t log_severity_filter_set(sd_rpc_log_severity_t severity_filter) = 0;

    virtual uint32_t cfg_set(uint32_t cfg_id, ble_cfg_t const* p_cfg, uint32_t app_ram_base) = 0;
    virtual uint32_t enable(uint32_t* p_app_ram_base) = 0;

    virtual uint32_t gap_scan_start(ble_gap_scan_params_t const* p_scan_params,
                                    ble_data_t const* p_adv_report_buffer) = 0;
    virtual uint32_t gap_scan_stop() = 0;
    virtual uint32_t gap_adv_set_configure(uint8_t* p_adv_handle,
                                           ble_gap_adv_data_t const* p_adv_data,
                                           ble_gap_adv_params_t const* p_adv_params) = 0;
    virtual uint32_t gap_adv_start(uint8_t adv_handle, uint8_t conn_cfg_tag) = 0;
    virtual uint32_t gap_adv_stop(uint8_t adv_handle) = 0;
    virtual uint32_t gap_connect(ble_gap_addr_t const* p_peer_addr,
                                 ble_gap_scan_params_t const* p_scan_params,
                                 ble_gap_conn_params_t const* p_conn_params,
                                 uint8_t conn_cfg_tag) = 0;
    virtual uint32_t gap_connect_cancel() = 0;
    virtual uint32_t gap_disconnect(uint16_t conn_handle, uint8_t hci_status_code) = 0;
    virtual uint32_t gap_conn_param_update(uint16_t conn_handle,
                                           ble_gap_conn_params_t const* p_conn_params) = 0;
    virtual uint32_t gap_rssi_start(uint16_t conn_handle, uint8_t threshold_dbm,
                                    uint8_t skip_count) = 0;

    virtual uint32_t gattc_primary_services_discover(uint16_t conn_handle, uint16_t start_handle,
                                                     ble_uuid_t const* p_srvc_uuid) = 0;
    virtual uint32_t gattc_characteristics_discover(
        uint16_t conn_handle, ble_gattc_handle_range_t const* p_handle_range) = 0;
    virtual uint32_t gattc_descriptors_discover(uint16_t conn_handle,
                                                ble_gattc_handle_range_t const* p_handle_range) = 0;
    virtual uint32_t gattc_read(uint16_t conn_handle, uint16_t handle, uint16_t offset) = 0;
    virtual uint32_t gattc_write(uint16_t conn_handle,
                                 ble_gattc_write_params_t const* p_write_params) = 0;
};

// Link settings as the program passed them to the link set-up calls.
struct link_settings {
    std::string port;
    uint32_t baud_rate = 0;
    sd_rpc_flow_control_t flow_control = SD_RPC_FLOW_CONTROL_NONE;
    sd_rpc_parity_t parity = SD_RPC_PARITY_NONE;
    uint32_t retransmission_interval_ms = 0;
    uint32_t response_timeout_ms = 0;
};

// Builds a backend for a port whose name begins with the prefix it was registered under.
using backend_factory = std::function<std::unique_ptr<backend>(const link_settings&)>;

// Registers a factory for port names that begin with `prefix`. The longest matching
// prefix wins. Registering the same prefix again replaces the factory (tests use this).
void register_backend(const std::string& prefix, backend_factory factory);
// Removes a factory registered under `prefix`.
void unregister_backend(const std::string& prefix);

// The backend behind an adapter made by sd_rpc_adapter_create, or null.
backend* backend_of(adapter_t* adapter);

// The backend served for port names no factory claims: its open() says through the log
// callback which port names there are, and fails.
std::unique_ptr<backend> make_unsupported_port_backend(const link_settings& settings);

}  // namespace driver
