// Basic BLE types shared by the GAP and GATT declarations.
#pragma once

#include <cstdint>

#define BLE_CONN_HANDLE_INVALID 0xFFFF

#define BLE_UUID_TYPE_UNKNOWN 0x00
#define BLE_UUID_TYPE_BLE 0x01
#define BLE_UUID_TYPE_VENDOR_BEGIN 0x02

typedef struct {
    uint16_t uuid;
    uint8_t type;
} ble_uuid_t;

typedef struct {
    uint8_t* p_data;
    uint16_t len;
} ble_data_t;
