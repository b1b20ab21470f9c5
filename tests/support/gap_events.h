// The GAP and GATT client events and the advertising data tests hand the event handler,
// in the few words a test needs: the events come from the driver events' own builder, with
// the fields the tests never vary left at plausible defaults.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/sd_rpc.h"
#include "driver/wire/event_builder.h"

namespace testing_support {

// A complete list of 128-bit service UUIDs, each given as 16 bytes in air order
// (least significant byte first).
std::vector<uint8_t> ad_uuid128_list(const std::vector<std::vector<uint8_t>>& uuids);
// The 16 air-order bytes of a UUID written as 32 hex digits, most significant first;
// throws std::invalid_argument for any other text.
std::vector<uint8_t> uuid_air_bytes(const std::string& uuid_text);
std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& parts);

ble_gap_addr_t make_address(const std::vector<uint8_t>& air_order_bytes);

// The report carries its own copy of `data`. Connectable undirected advertising unless
// `type_bits` (BLE_GAP_ADV_REPORT_TYPE_*) says otherwise.
wire::event_buffer adv_report_event(
    const std::vector<uint8_t>& data, int8_t rssi = -60,
    const ble_gap_addr_t& peer = make_address({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}),
    uint16_t type_bits = BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE | BLE_GAP_ADV_REPORT_TYPE_SCANNABLE);
wire::event_buffer connected_event(uint16_t conn_handle, uint8_t role = BLE_GAP_ROLE_CENTRAL);
wire::event_buffer gap_timeout_event(uint8_t source);
wire::event_buffer adv_set_terminated_event(uint8_t adv_handle);
wire::event_buffer write_response_event(uint16_t conn_handle, uint16_t gatt_status);
// A notification of `len` zero bytes.
wire::event_buffer hvx_event(uint16_t conn_handle, uint16_t handle, uint16_t len);
wire::event_buffer read_response_event(uint16_t conn_handle, uint16_t handle,
                                       uint16_t gatt_status = 0);
// An event that carries only its ID (and a connection handle).
wire::event_buffer bare_event(uint16_t evt_id, uint16_t conn_handle = 0);

// Waits (real time) until every work item posted to the_message_queue so far has run.
// False if they have not within the limit (or the queue no longer runs).
bool drain_message_queue(uint32_t real_ms_limit = 20000);

// Polls `condition` (real time) until it holds; false if it never did within the limit.
bool wait_until(const std::function<bool()>& condition, uint32_t real_ms_limit = 20000);

// For runs in a child process (death tests), whose standard error the parent reads:
// sends standard output there too, unbuffered, so that nothing is lost at a direct exit.
void route_stdout_to_stderr();

}  // namespace testing_support
