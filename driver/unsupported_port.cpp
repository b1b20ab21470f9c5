// The backend for port names no backend claims: rather than hang or pretend, opening such
// a port says once which port names there are, and fails with a serial-port error.
#include <string>

#include "driver/backend.h"
#include "driver/wire/printable_text.h"

namespace driver {
namespace {

class unsupported_port_backend final : public backend {
  public:
    explicit unsupported_port_backend(std::string port) : port_(std::move(port)) {}

    uint32_t open(adapter_t* adapter, sd_rpc_status_handler_t, sd_rpc_evt_handler_t,
                  sd_rpc_log_handler_t log_handler) override {
        if (log_handler != nullptr) {
            const std::string text =
                "serial port " + wire::printable_text(port_) +
                ": not a port this build can open; real controllers are reached over HCI as "
                "'hci:<serial device>[@baud][,noflow]', 'hci:unix:<socket path>' or "
                "'hci:user:<N>' (Linux), and the simulated dongle as 'sim' or 'sim:FILE'";
            log_handler(adapter, SD_RPC_LOG_ERROR, text.c_str());
        }
        return NRF_ERROR_SD_RPC_SERIAL_PORT;
    }
    uint32_t close() override { return NRF_ERROR_SD_RPC_SERIAL_PORT_STATE; }
    uint32_t conn_reset(sd_rpc_reset_t) override { return NRF_ERROR_SD_RPC_SERIAL_PORT_STATE; }
    uint32_t log_severity_filter_set(sd_rpc_log_severity_t) override { return NRF_SUCCESS; }
    uint32_t cfg_set(uint32_t, ble_cfg_t const*, uint32_t) override { return refused(); }
    uint32_t enable(uint32_t*) override { return refused(); }
    uint32_t gap_scan_start(ble_gap_scan_params_t const*, ble_data_t const*) override {
        return refused();
    }
    uint32_t gap_scan_stop() override { return refused(); }
    uint32_t gap_adv_set_configure(uint8_t*, ble_gap_adv_data_t const*,
                                   ble_gap_adv_params_t const*) override {
        return refused();
    }
    uint32_t gap_adv_start(uint8_t, uint8_t) override { return refused(); }
    uint32_t gap_adv_stop(uint8_t) override { return refused(); }
    uint32_t gap_connect(ble_gap_addr_t const*, ble_gap_scan_params_t const*,
                         ble_gap_conn_params_t const*, uint8_t) override {
        return refused();
    }
    uint32_t gap_connect_cancel() override { return refused(); }
    uint32_t gap_disconnect(uint16_t, uint8_t) override { return refused(); }
    uint32_t gap_conn_param_update(uint16_t, ble_gap_conn_params_t const*) override {
        return refused();
    }
    uint32_t gap_rssi_start(uint16_t, uint8_t, uint8_t) override { return refused(); }
    uint32_t gattc_primary_services_discover(uint16_t, uint16_t, ble_uuid_t const*) override {
        return refused();
    }
    uint32_t gattc_characteristics_discover(uint16_t, ble_gattc_handle_range_t const*) override {
        return refused();
    }
    uint32_t gattc_descriptors_discover(uint16_t, ble_gattc_handle_range_t const*) override {
        return refused();
    }
    uint32_t gattc_read(uint16_t, uint16_t, uint16_t) override { return refused(); }
    uint32_t gattc_write(uint16_t, ble_gattc_write_params_t const*) override { return refused(); }

  private:
    static uint32_t refused() { return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE; }
    std::string port_;
};

}  // namespace

std::unique_ptr<backend> make_unsupported_port_backend(const link_settings& settings) {
    return std::make_unique<unsupported_port_backend>(settings.port);
}

}  // namespace driver
