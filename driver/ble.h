// The BLE event record, stack configuration and the stack calls the program makes.
#pragma once

#include <cstdint>

#include "driver/ble_gap.h"
#include "driver/ble_gatt.h"
#include "driver/ble_gattc.h"
#include "driver/ble_gatts.h"
#include "driver/ble_types.h"
#include "driver/nrf_error.h"

typedef struct {
    uint16_t evt_id;
    uint16_t evt_len;
} ble_evt_hdr_t;

typedef struct {
    uint16_t conn_handle;
} ble_common_evt_t;

typedef struct {
    ble_evt_hdr_t header;
    union {
        ble_common_evt_t common_evt;
        ble_gap_evt_t gap_evt;
        ble_gattc_evt_t gattc_evt;
        ble_gatts_evt_t gatts_evt;
    } evt;
} ble_evt_t;

#define BLE_CONN_CFG_TAG_DEFAULT 0

#define BLE_CONN_CFG_BASE 0x20
#define BLE_CONN_CFG_GAP (BLE_CONN_CFG_BASE + 0)
#define BLE_CONN_CFG_GATTC (BLE_CONN_CFG_BASE + 1)
#define BLE_CONN_CFG_GATTS (BLE_CONN_CFG_BASE + 2)
#define BLE_CONN_CFG_GATT (BLE_CONN_CFG_BASE + 3)
#define BLE_CONN_CFG_L2CAP (BLE_CONN_CFG_BASE + 4)

typedef struct {
    uint8_t conn_cfg_tag;
    union {
        ble_gap_conn_cfg_t gap_conn_cfg;
        ble_gatt_conn_cfg_t gatt_conn_cfg;
    } params;
} ble_conn_cfg_t;

typedef union {
    ble_conn_cfg_t conn_cfg;
    ble_gap_cfg_t gap_cfg;
} ble_cfg_t;
