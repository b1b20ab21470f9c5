// GATT server events: the program runs no server, it only recognises the write event.
#pragma once

#include <cstdint>

#include "driver/ble_types.h"

typedef struct {
    uint16_t handle;
    ble_uuid_t uuid;
    uint8_t op;
    uint8_t auth_required;
    uint16_t offset;
    uint16_t len;
    uint8_t data[1];
} ble_gatts_evt_write_t;

typedef struct {
    uint16_t conn_handle;
    union {
        ble_gatts_evt_write_t write;
    } params;
} ble_gatts_evt_t;

#define BLE_GATTS_EVT_BASE 0x50
enum BLE_GATTS_EVTS {
    BLE_GATTS_EVT_WRITE = BLE_GATTS_EVT_BASE,
    BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST = BLE_GATTS_EVT_BASE + 1,
    BLE_GATTS_EVT_SYS_ATTR_MISSING = BLE_GATTS_EVT_BASE + 2,
    BLE_GATTS_EVT_HVC = BLE_GATTS_EVT_BASE + 3,
    BLE_GATTS_EVT_SC_CONFIRM = BLE_GATTS_EVT_BASE + 4,
    BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST = BLE_GATTS_EVT_BASE + 5,
    BLE_GATTS_EVT_TIMEOUT = BLE_GATTS_EVT_BASE + 6,
    BLE_GATTS_EVT_HVN_TX_COMPLETE = BLE_GATTS_EVT_BASE + 7,
};
