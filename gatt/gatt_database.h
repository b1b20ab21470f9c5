// A phone's discovered GATT database, as kept in its phone_record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct gatt_characteristic {
    uint16_t decl_handle = 0;
    uint16_t value_handle = 0;
    bool metadata_read = false;
    std::string uuid128;  // 32 lower-case hex digits once read, else empty
    // Where the Client Characteristic Configuration descriptor is when the set-up had to
    // look for it (see gatt/cccd_search.h); 0 for the usual place, right after the value.
    uint16_t cccd_handle = 0;
    // The set-up looked and found none: the characteristic cannot be notified.
    bool cccd_missing = false;
};

struct gatt_service {
    uint8_t uuid_type = 0;  // BLE_UUID_TYPE_UNKNOWN (128-bit) or BLE_UUID_TYPE_BLE (16-bit)
    uint16_t uuid16 = 0;
    std::string uuid128;  // filled by the declaration read for 128-bit services
    uint16_t start_handle = 0;
    uint16_t end_handle = 0;
    std::vector<gatt_characteristic> characteristics;
};
