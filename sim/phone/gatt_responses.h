// What a phone's GATT server answers to each client procedure, as plain records.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/ble_gattc.h"

namespace sim {

// Every response carries `silent`: when true the phone does not answer at all and the
// world must send no event for the request (the central then only sees its own time-out).
struct services_response {
    uint16_t status = 0;
    uint16_t error_handle = 0;
    std::vector<ble_gattc_service_t> services;
    bool silent = false;
};
struct characteristics_response {
    uint16_t status = 0;
    uint16_t error_handle = 0;
    std::vector<ble_gattc_char_t> chars;
    bool silent = false;
};
struct descriptors_response {
    uint16_t status = 0;
    uint16_t error_handle = 0;
    std::vector<ble_gattc_desc_t> descs;
    bool silent = false;
};
struct read_response {
    uint16_t status = 0;
    uint16_t error_handle = 0;
    uint16_t handle = 0;
    uint16_t offset = 0;
    std::vector<uint8_t> data;
    bool silent = false;
};
struct write_response {
    uint16_t status = 0;
    uint16_t error_handle = 0;
    uint16_t handle = 0;
    uint8_t write_op = 0;
    std::vector<uint8_t> data;
    bool silent = false;
    uint16_t offset = 0;
};
struct notification {
    uint16_t handle;
    std::vector<uint8_t> data;
};

}  // namespace sim
