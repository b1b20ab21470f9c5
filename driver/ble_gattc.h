// GATT client declarations: procedures' parameters and the events that answer them.
#pragma once

#include <cstdint>

#include "driver/ble_gatt.h"
#include "driver/ble_types.h"

typedef struct {
    uint16_t start_handle;
    uint16_t end_handle;
} ble_gattc_handle_range_t;

typedef struct {
    ble_uuid_t uuid;
    ble_gattc_handle_range_t handle_range;
} ble_gattc_service_t;

typedef struct {
    uint8_t broadcast : 1;
    uint8_t read : 1;
    uint8_t write_wo_resp : 1;
    uint8_t write : 1;
    uint8_t notify : 1;
    uint8_t indicate : 1;
    uint8_t auth_signed_wr : 1;
} ble_gatt_char_props_t;

typedef struct {
    ble_uuid_t uuid;
    ble_gatt_char_props_t char_props;
    uint8_t char_ext_props : 1;
    uint16_t handle_decl;
    uint16_t handle_value;
} ble_gattc_char_t;

typedef struct {
    uint16_t handle;
    ble_uuid_t uuid;
} ble_gattc_desc_t;

typedef struct {
    uint8_t write_op;
    uint8_t flags;
    uint16_t handle;
    uint16_t offset;
    uint16_t len;
    uint8_t const* p_value;
} ble_gattc_write_params_t;

// Response events. The trailing arrays are variable length: the event carries `count`
// (or `len`) elements in the memory that follows the event header.
typedef struct {
    uint16_t count;
    ble_gattc_service_t services[1];
} ble_gattc_evt_prim_srvc_disc_rsp_t;

typedef struct {
    uint16_t count;
    ble_gattc_char_t chars[1];
} ble_gattc_evt_char_disc_rsp_t;

typedef struct {
    uint16_t count;
    ble_gattc_desc_t descs[1];
} ble_gattc_evt_desc_disc_rsp_t;

typedef struct {
    uint16_t handle;
    uint16_t offset;
    uint16_t len;
    uint8_t data[1];
} ble_gattc_evt_read_rsp_t;

typedef struct {
    uint16_t handle;
    uint8_t write_op;
    uint16_t offset;
    uint16_t len;
    uint8_t data[1];
} ble_gattc_evt_write_rsp_t;

typedef struct {
    uint16_t handle;
    uint8_t type;
    uint16_t len;
    uint8_t data[1];
} ble_gattc_evt_hvx_t;

typedef struct {
    uint16_t server_rx_mtu;
} ble_gattc_evt_exchange_mtu_rsp_t;

typedef struct {
    uint8_t src;
} ble_gattc_evt_timeout_t;

typedef struct {
    uint8_t count;
} ble_gattc_evt_write_cmd_tx_complete_t;

typedef struct {
    uint16_t conn_handle;
    uint16_t gatt_status;
    uint16_t error_handle;
    union {
        ble_gattc_evt_prim_srvc_disc_rsp_t prim_srvc_disc_rsp;
        ble_gattc_evt_char_disc_rsp_t char_disc_rsp;
        ble_gattc_evt_desc_disc_rsp_t desc_disc_rsp;
        ble_gattc_evt_read_rsp_t read_rsp;
        ble_gattc_evt_write_rsp_t write_rsp;
        ble_gattc_evt_hvx_t hvx;
        ble_gattc_evt_exchange_mtu_rsp_t exchange_mtu_rsp;
        ble_gattc_evt_timeout_t timeout;
        ble_gattc_evt_write_cmd_tx_complete_t write_cmd_tx_complete;
    } params;
} ble_gattc_evt_t;

#define BLE_GATTC_EVT_BASE 0x30
enum BLE_GATTC_EVTS {
    BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP = BLE_GATTC_EVT_BASE,
    BLE_GATTC_EVT_REL_DISC_RSP = BLE_GATTC_EVT_BASE + 1,
    BLE_GATTC_EVT_CHAR_DISC_RSP = BLE_GATTC_EVT_BASE + 2,
    BLE_GATTC_EVT_DESC_DISC_RSP = BLE_GATTC_EVT_BASE + 3,
    BLE_GATTC_EVT_ATTR_INFO_DISC_RSP = BLE_GATTC_EVT_BASE + 4,
    BLE_GATTC_EVT_CHAR_VAL_BY_UUID_READ_RSP = BLE_GATTC_EVT_BASE + 5,
    BLE_GATTC_EVT_READ_RSP = BLE_GATTC_EVT_BASE + 6,
    BLE_GATTC_EVT_CHAR_VALS_READ_RSP = BLE_GATTC_EVT_BASE + 7,
    BLE_GATTC_EVT_WRITE_RSP = BLE_GATTC_EVT_BASE + 8,
    BLE_GATTC_EVT_HVX = BLE_GATTC_EVT_BASE + 9,
    BLE_GATTC_EVT_EXCHANGE_MTU_RSP = BLE_GATTC_EVT_BASE + 10,
    BLE_GATTC_EVT_TIMEOUT = BLE_GATTC_EVT_BASE + 11,
    BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE = BLE_GATTC_EVT_BASE + 12,
};
