// GATT client responses in the few words a test needs: entries name only what the tests
// vary (16-bit UUIDs, handles), and the events come from the driver events' own builder.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/sd_rpc.h"
#include "driver/wire/event_builder.h"

namespace testing_support {

struct service_entry {
    uint8_t type;  // BLE_UUID_TYPE_*
    uint16_t uuid16;
    uint16_t start_handle;
    uint16_t end_handle;
};

struct characteristic_entry {
    uint16_t decl_handle;
    uint16_t value_handle;
    uint8_t type = BLE_UUID_TYPE_UNKNOWN;
    uint16_t uuid16 = 0;
};

struct descriptor_entry {
    uint16_t handle;
    uint16_t uuid16;
};

wire::event_buffer make_prim_srvc_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                                           const std::vector<service_entry>& services,
                                           uint16_t error_handle = 0);
wire::event_buffer make_char_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                                      const std::vector<characteristic_entry>& chars);
wire::event_buffer make_desc_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                                      const std::vector<descriptor_entry>& descs);
wire::event_buffer make_read_rsp(uint16_t conn_handle, uint16_t gatt_status, uint16_t handle,
                                 const std::vector<uint8_t>& data, uint16_t offset = 0);

// A characteristic declaration value: properties, value handle (low byte first), then the
// UUID in air order. `uuid_text` is 32 hex digits, most significant first.
std::vector<uint8_t> declaration_value(uint16_t value_handle, const char* uuid_text,
                                       uint8_t properties = 0x0A);

}  // namespace testing_support
