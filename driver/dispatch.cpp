// The driver calls of sd_rpc.h, routed to the backend of each adapter.
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "driver/backend.h"

struct physical_layer_t {
    driver::link_settings settings;
};
struct data_link_layer_t {
    driver::link_settings settings;
};
struct transport_layer_t {
    driver::link_settings settings;
};

namespace driver {
namespace {

struct registry {
    std::mutex lock;
    std::map<std::string, backend_factory> factories;
};

registry& factories() {
    // Never destroyed: adapters may be used while the process exits.
    static registry* r = new registry();
    return *r;
}

backend_factory factory_for(const std::string& port) {
    registry& r = factories();
    std::lock_guard<std::mutex> guard(r.lock);
    const backend_factory* best = nullptr;
    size_t best_length = 0;
    for (const auto& [prefix, factory] : r.factories) {
        if (port.compare(0, prefix.size(), prefix) == 0 &&
            (best == nullptr || prefix.size() > best_length)) {
            best = &factory;
            best_length = prefix.size();
        }
    }
    return best != nullptr ? *best : backend_factory(make_unsupported_port_backend);
}

}  // namespace

void register_backend(const std::string& prefix, backend_factory factory) {
    registry& r = factories();
    std::lock_guard<std::mutex> guard(r.lock);
    r.factories[prefix] = std::move(factory);
}

void unregister_backend(const std::string& prefix) {
    registry& r = factories();
    std::lock_guard<std::mutex> guard(r.lock);
    r.factories.erase(prefix);
}

backend* backend_of(adapter_t* adapter) {
    return adapter == nullptr ? nullptr : static_cast<backend*>(adapter->internal);
}

}  // namespace driver

namespace {

// A call on an adapter that has no backend is refused the way the library refuses a call
// on an adapter it does not know.
constexpr uint32_t no_backend = NRF_ERROR_SD_RPC_INVALID_ARGUMENT;

template <typename Call>
uint32_t with_backend(adapter_t* adapter, Call call) {
    driver::backend* b = driver::backend_of(adapter);
    return b == nullptr ? no_backend : call(*b);
}

}  // namespace

extern "C" {

physical_layer_t* sd_rpc_physical_layer_create_uart(const char* port_name, uint32_t baud_rate,
                                                    sd_rpc_flow_control_t flow_control,
                                                    sd_rpc_parity_t parity) {
    auto* layer = new (std::nothrow) physical_layer_t();
    if (layer == nullptr) return nullptr;
    layer->settings.port = port_name != nullptr ? port_name : "";
    layer->settings.baud_rate = baud_rate;
    layer->settings.flow_control = flow_control;
    layer->settings.parity = parity;
    return layer;
}

data_link_layer_t* sd_rpc_data_link_layer_create_bt_three_wire(physical_layer_t* physical_layer,
                                                               uint32_t retransmission_interval) {
    if (physical_layer == nullptr) return nullptr;
    auto* layer = new (std::nothrow) data_link_layer_t();
    if (layer == nullptr) return nullptr;
    layer->settings = physical_layer->settings;
    layer->settings.retransmission_interval_ms = retransmission_interval;
    return layer;
}

transport_layer_t* sd_rpc_transport_layer_create(data_link_layer_t* data_link_layer,
                                                 uint32_t response_timeout) {
    if (data_link_layer == nullptr) return nullptr;
    auto* layer = new (std::nothrow) transport_layer_t();
    if (layer == nullptr) return nullptr;
    layer->settings = data_link_layer->settings;
    layer->settings.response_timeout_ms = response_timeout;
    return layer;
}

adapter_t* sd_rpc_adapter_create(transport_layer_t* transport_layer) {
    if (transport_layer == nullptr) return nullptr;
    auto* adapter = new (std::nothrow) adapter_t();
    if (adapter == nullptr) return nullptr;
    std::unique_ptr<driver::backend> made =
        driver::factory_for(transport_layer->settings.port)(transport_layer->settings);
    adapter->internal = made.release();
    return adapter;
}

uint32_t sd_rpc_log_handler_severity_filter_set(adapter_t* adapter,
                                                sd_rpc_log_severity_t severity_filter) {
    return with_backend(
        adapter, [&](driver::backend& b) { return b.log_severity_filter_set(severity_filter); });
}

uint32_t sd_rpc_open(adapter_t* adapter, sd_rpc_status_handler_t status_handler,
                     sd_rpc_evt_handler_t event_handler, sd_rpc_log_handler_t log_handler) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.open(adapter, status_handler, event_handler, log_handler);
    });
}

uint32_t sd_rpc_close(adapter_t* adapter) {
    return with_backend(adapter, [](driver::backend& b) { return b.close(); });
}

uint32_t sd_rpc_conn_reset(adapter_t* adapter, sd_rpc_reset_t reset_mode) {
    return with_backend(adapter, [&](driver::backend& b) { return b.conn_reset(reset_mode); });
}

uint32_t sd_ble_cfg_set(adapter_t* adapter, uint32_t cfg_id, ble_cfg_t const* p_cfg,
                        uint32_t app_ram_base) {
    return with_backend(adapter,
                        [&](driver::backend& b) { return b.cfg_set(cfg_id, p_cfg, app_ram_base); });
}

uint32_t sd_ble_enable(adapter_t* adapter, uint32_t* p_app_ram_base) {
    return with_backend(adapter, [&](driver::backend& b) { return b.enable(p_app_ram_base); });
}

uint32_t sd_ble_gap_scan_start(adapter_t* adapter, ble_gap_scan_params_t const* p_scan_params,
                               ble_data_t const* p_adv_report_buffer) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gap_scan_start(p_scan_params, p_adv_report_buffer);
    });
}

uint32_t sd_ble_gap_scan_stop(adapter_t* adapter) {
    return with_backend(adapter, [](driver::backend& b) { return b.gap_scan_stop(); });
}

uint32_t sd_ble_gap_adv_set_configure(adapter_t* adapter, uint8_t* p_adv_handle,
                                      ble_gap_adv_data_t const* p_adv_data,
                                      ble_gap_adv_params_t const* p_adv_params) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gap_adv_set_configure(p_adv_handle, p_adv_data, p_adv_params);
    });
}

uint32_t sd_ble_gap_adv_start(adapter_t* adapter, uint8_t adv_handle, uint8_t conn_cfg_tag) {
    return with_backend(
        adapter, [&](driver::backend& b) { return b.gap_adv_start(adv_handle, conn_cfg_tag); });
}

uint32_t sd_ble_gap_adv_stop(adapter_t* adapter, uint8_t adv_handle) {
    return with_backend(adapter, [&](driver::backend& b) { return b.gap_adv_stop(adv_handle); });
}

uint32_t sd_ble_gap_connect(adapter_t* adapter, ble_gap_addr_t const* p_peer_addr,
                            ble_gap_scan_params_t const* p_scan_params,
                            ble_gap_conn_params_t const* p_conn_params, uint8_t conn_cfg_tag) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gap_connect(p_peer_addr, p_scan_params, p_conn_params, conn_cfg_tag);
    });
}

uint32_t sd_ble_gap_connect_cancel(adapter_t* adapter) {
    return with_backend(adapter, [](driver::backend& b) { return b.gap_connect_cancel(); });
}

uint32_t sd_ble_gap_disconnect(adapter_t* adapter, uint16_t conn_handle, uint8_t hci_status_code) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gap_disconnect(conn_handle, hci_status_code);
    });
}

uint32_t sd_ble_gap_conn_param_update(adapter_t* adapter, uint16_t conn_handle,
                                      ble_gap_conn_params_t const* p_conn_params) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gap_conn_param_update(conn_handle, p_conn_params);
    });
}

uint32_t sd_ble_gap_rssi_start(adapter_t* adapter, uint16_t conn_handle, uint8_t threshold_dbm,
                               uint8_t skip_count) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gap_rssi_start(conn_handle, threshold_dbm, skip_count);
    });
}

uint32_t sd_ble_gattc_primary_services_discover(adapter_t* adapter, uint16_t conn_handle,
                                                uint16_t start_handle,
                                                ble_uuid_t const* p_srvc_uuid) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gattc_primary_services_discover(conn_handle, start_handle, p_srvc_uuid);
    });
}

uint32_t sd_ble_gattc_characteristics_discover(adapter_t* adapter, uint16_t conn_handle,
                                               ble_gattc_handle_range_t const* p_handle_range) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gattc_characteristics_discover(conn_handle, p_handle_range);
    });
}

uint32_t sd_ble_gattc_descriptors_discover(adapter_t* adapter, uint16_t conn_handle,
                                           ble_gattc_handle_range_t const* p_handle_range) {
    return with_backend(adapter, [&](driver::backend& b) {
        return b.gattc_descriptors_discover(conn_handle, p_handle_range);
    });
}

uint32_t sd_ble_gattc_read(adapter_t* adapter, uint16_t conn_handle, uint16_t handle,
                           uint16_t offset) {
    return with_backend(
        adapter, [&](driver::backend& b) { return b.gattc_read(conn_handle, handle, offset); });
}

uint32_t sd_ble_gattc_write(adapter_t* adapter, uint16_t conn_handle,
                            ble_gattc_write_params_t const* p_write_params) {
    return with_backend(
        adapter, [&](driver::backend& b) { return b.gattc_write(conn_handle, p_write_params); });
}

}  // extern "C"
