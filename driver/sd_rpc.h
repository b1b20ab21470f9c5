// The calls and callbacks of the dongle's driver library that Orvette uses. The program
// includes only this header (and those it includes) to reach the dongle.
#pragma once

#include <cstdint>

#include "driver/ble.h"

extern "C" {

typedef struct {
    void* internal;
} adapter_t;

typedef struct physical_layer_t physical_layer_t;
typedef struct data_link_layer_t data_link_layer_t;
typedef struct transport_layer_t transport_layer_t;

typedef enum {
    SD_RPC_FLOW_CONTROL_NONE = 0,
    SD_RPC_FLOW_CONTROL_HARDWARE = 1,
} sd_rpc_flow_control_t;

typedef enum {
    SD_RPC_PARITY_NONE = 0,
    SD_RPC_PARITY_EVEN = 1,
} sd_rpc_parity_t;

typedef enum {
    SYS_RESET = 0,
    SOFT_RESET = 1,
} sd_rpc_reset_t;

typedef enum {
    SD_RPC_LOG_TRACE = 0,
    SD_RPC_LOG_DEBUG = 1,
    SD_RPC_LOG_INFO = 2,
    SD_RPC_LOG_WARNING = 3,
    SD_RPC_LOG_ERROR = 4,
    SD_RPC_LOG_FATAL = 5,
} sd_rpc_log_severity_t;

typedef enum {
    PKT_SEND_MAX_RETRIES_REACHED = 0,
    PKT_UNEXPECTED = 1,
    PKT_ENCODE_ERROR = 2,
    PKT_DECODE_ERROR = 3,
    PKT_SEND_ERROR = 4,
    IO_RESOURCES_UNAVAILABLE = 5,
    RESET_PERFORMED = 6,
    CONNECTION_ACTIVE = 7,
} sd_rpc_app_status_t;

typedef void (*sd_rpc_status_handler_t)(adapter_t* adapter, sd_rpc_app_status_t code,
                                        const char* message);
typedef void (*sd_rpc_evt_handler_t)(adapter_t* adapter, ble_evt_t* p_ble_evt);
typedef void (*sd_rpc_log_handler_t)(adapter_t* adapter, sd_rpc_log_severity_t severity,
                                     const char* log_message);

// Link set-up.
physical_layer_t* sd_rpc_physical_layer_create_uart(const char* port_name, uint32_t baud_rate,
                                                    sd_rpc_flow_control_t flow_control,
                                                    sd_rpc_parity_t parity);
data_link_layer_t* sd_rpc_data_link_layer_create_bt_three_wire(physical_layer_t* physical_layer,
                                                               uint32_t retransmission_interval);
transport_layer_t* sd_rpc_transport_layer_create(data_link_layer_t* data_link_layer,
                                                 uint32_t response_timeout);
adapter_t* sd_rpc_adapter_create(transport_layer_t* transport_layer);
uint32_t sd_rpc_log_handler_severity_filter_set(adapter_t* adapter,
                                                sd_rpc_log_severity_t severity_filter);

// Adapter.
uint32_t sd_rpc_open(adapter_t* adapter, sd_rpc_status_handler_t status_handler,
                     sd_rpc_evt_handler_t event_handler, sd_rpc_log_handler_t log_handler);
uint32_t sd_rpc_close(adapter_t* adapter);
uint32_t sd_rpc_conn_reset(adapter_t* adapter, sd_rpc_reset_t reset_mode);

// Stack.
uint32_t sd_ble_cfg_set(adapter_t* adapter, uint32_t cfg_id, ble_cfg_t const* p_cfg,
                        uint32_t app_ram_base);
uint32_t sd_ble_enable(adapter_t* adapter, uint32_t* p_app_ram_base);

// GAP.
uint32_t sd_ble_gap_scan_start(adapter_t* adapter, ble_gap_scan_params_t const* p_scan_params,
                               ble_data_t const* p_adv_report_buffer);
uint32_t sd_ble_gap_scan_stop(adapter_t* adapter);
uint32_t sd_ble_gap_adv_set_configure(adapter_t* adapter, uint8_t* p_adv_handle,
                                      ble_gap_adv_data_t const* p_adv_data,
                                      ble_gap_adv_params_t const* p_adv_params);
uint32_t sd_ble_gap_adv_start(adapter_t* adapter, uint8_t adv_handle, uint8_t conn_cfg_tag);
uint32_t sd_ble_gap_adv_stop(adapter_t* adapter, uint8_t adv_handle);
uint32_t sd_ble_gap_connect(adapter_t* adapter, ble_gap_addr_t const* p_peer_addr,
                            ble_gap_scan_params_t const* p_scan_params,
                            ble_gap_conn_params_t const* p_conn_params, uint8_t conn_cfg_tag);
uint32_t sd_ble_gap_connect_cancel(adapter_t* adapter);
uint32_t sd_ble_gap_disconnect(adapter_t* adapter, uint16_t conn_handle, uint8_t hci_status_code);
uint32_t sd_ble_gap_conn_param_update(adapter_t* adapter, uint16_t conn_handle,
                                      ble_gap_conn_params_t const* p_conn_params);
uint32_t sd_ble_gap_rssi_start(adapter_t* adapter, uint16_t conn_handle, uint8_t threshold_dbm,
                               uint8_t skip_count);

// GATT client.
uint32_t sd_ble_gattc_primary_services_discover(adapter_t* adapter, uint16_t conn_handle,
                                                uint16_t start_handle,
                                                ble_uuid_t const* p_srvc_uuid);
uint32_t sd_ble_gattc_characteristics_discover(adapter_t* adapter, uint16_t conn_handle,
                                               ble_gattc_handle_range_t const* p_handle_range);
// Every attribute in the range, by handle and type (ATT Find Information): for a
// characteristic's range after its value, its descriptors.
uint32_t sd_ble_gattc_descriptors_discover(adapter_t* adapter, uint16_t conn_handle,
                                           ble_gattc_handle_range_t const* p_handle_range);
uint32_t sd_ble_gattc_read(adapter_t* adapter, uint16_t conn_handle, uint16_t handle,
                           uint16_t offset);
uint32_t sd_ble_gattc_write(adapter_t* adapter, uint16_t conn_handle,
                            ble_gattc_write_params_t const* p_write_params);

}  // extern "C"
