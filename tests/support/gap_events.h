// Builders for the GAP and GATT client events the driver delivers, and for advertising
// data, so that tests can hand the event handler exactly what the air would bring.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/sd_rpc.h"

namespace testing_support {

// An event together with the storage its pointers refer to.
struct gap_event_record {
    ble_evt_t event{};
    std::vector<uint8_t> data;  // advertising data the event points to

    ble_evt_t* get() { return &event; }
};

// One AD structure: length byte (type + payload), type byte, payload.
std::vector<uint8_t> ad_structure(uint8_t type, const std::vector<uint8_t>& payload);
// A complete list of 128-bit service UUIDs, each given as 16 bytes in air order
// (least significant byte first).
std::vector<uint8_t> ad_uuid128_list(const std::vector<std::vector<uint8_t>>& uuids);
// The 16 air-order bytes of a UUID written as 32 hex digits, most significant first.
std::vector<uint8_t> uuid_air_bytes(const std::string& uuid_text);
std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& parts);

ble_gap_addr_t make_address(const std::vector<uint8_t>& air_order_bytes);

// Connectable undirected advertising unless `type_bits` (BLE_GAP_ADV_REPORT_TYPE_*) says
// otherwise.
std::unique_ptr<gap_event_record> adv_report_event(
    const std::vector<uint8_t>& data, int8_t rssi = -60,
    const ble_gap_addr_t& peer = make_address({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}),
    uint16_t type_bits = BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE | BLE_GAP_ADV_REPORT_TYPE_SCANNABLE);
std::unique_ptr<gap_event_record> connected_event(uint16_t conn_handle,
                                                  uint8_t role = BLE_GAP_ROLE_CENTRAL);
std::unique_ptr<gap_event_record> disconnected_event(uint16_t conn_handle, uint8_t reason);
std::unique_ptr<gap_event_record> gap_timeout_event(uint8_t source);
std::unique_ptr<gap_event_record> rssi_changed_event(uint16_t conn_handle, int8_t rssi,
                                                     uint8_t channel);
std::unique_ptr<gap_event_record> conn_param_update_request_event(
    uint16_t conn_handle, const ble_gap_conn_params_t& params);
std::unique_ptr<gap_event_record> adv_set_terminated_event(uint8_t adv_handle);
std::unique_ptr<gap_event_record> write_response_event(uint16_t conn_handle, uint16_t gatt_status);
std::unique_ptr<gap_event_record> hvx_event(uint16_t conn_handle, uint16_t handle, uint16_t len);
std::unique_ptr<gap_event_record> read_response_event(uint16_t conn_handle, uint16_t handle,
                                                      uint16_t gatt_status = 0);
std::unique_ptr<gap_event_record> gattc_timeout_event(uint16_t conn_handle);
// An event that carries only its ID (and a connection handle).
std::unique_ptr<gap_event_record> bare_event(uint16_t evt_id, uint16_t conn_handle = 0);

// Waits (real time) until every work item posted to the_message_queue so far has run.
// False if they have not within the limit (or the queue no longer runs).
bool drain_message_queue(uint32_t real_ms_limit = 20000);

// Polls `condition` (real time) until it holds; false if it never did within the limit.
bool wait_until(const std::function<bool()>& condition, uint32_t real_ms_limit = 20000);

// For runs in a child process (death tests), whose standard error the parent reads:
// sends standard output there too, unbuffered, so that nothing is lost at a direct exit.
void route_stdout_to_stderr();

}  // namespace testing_support
