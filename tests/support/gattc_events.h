// Builders for GATT client events as the driver delivers them: the response lists and
// the read data are tails that run past the declared one-element arrays, so each event
// lives in storage aligned for the record and large enough for its tail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/sd_rpc.h"

namespace testing_support {

class built_event {
  public:
    explicit built_event(std::size_t tail_bytes);
    ble_evt_t* event() { return reinterpret_cast<ble_evt_t*>(storage_.data()); }
    ble_gattc_evt_t& gattc() { return event()->evt.gattc_evt; }

  private:
    std::vector<uint64_t> storage_;
};

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

built_event make_prim_srvc_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                                    const std::vector<service_entry>& services,
                                    uint16_t error_handle = 0);
built_event make_char_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                               const std::vector<characteristic_entry>& chars);
built_event make_desc_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                               const std::vector<descriptor_entry>& descs);
built_event make_read_rsp(uint16_t conn_handle, uint16_t gatt_status, uint16_t handle,
                          const std::vector<uint8_t>& data, uint16_t offset = 0);

// A characteristic declaration value: properties, value handle (low byte first), then the
// UUID in air order. `uuid_text` is 32 hex digits, most significant first, or 4 digits.
std::vector<uint8_t> declaration_value(uint16_t value_handle, const char* uuid_text,
                                       uint8_t properties = 0x0A);
// The 16 air-order bytes of a UUID text of 32 hex digits, most significant first.
std::vector<uint8_t> uuid_air_bytes(const char* uuid_text);

}  // namespace testing_support
