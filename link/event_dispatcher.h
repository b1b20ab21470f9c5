// The BLE event callback and the work items it posts to the message queue.
#pragma once

#include <cstdint>
#include <string>

#include "driver/sd_rpc.h"

void ble_event_handler(adapter_t* adapter, ble_evt_t* p_ble_evt);
// True while a call of ble_event_handler is in progress. Once quit_requested is set, a call
// that starts later touches neither the driver nor driver_lock.
bool ble_event_handler_busy();
void on_conn_params_update_request(const ble_gap_evt_t& gap_evt);

// Looks for a complete list of exactly one 128-bit service UUID in advertising data,
// reading only inside [data, data + len). On success writes 32 lower-case hex digits,
// most significant byte first, into `uuid`.
bool find_uuid128(const uint8_t* data, uint16_t len, std::string& uuid);

struct adv_report_work {
    ble_gap_addr_t peer_addr;
    std::string uuid;
    int8_t rssi;
    bool connectable;
    void operator()() const;
};

struct scan_resume_work {
    void operator()() const;
};

struct disconnect_work {
    uint8_t reason;
    uint16_t conn_handle;
    void operator()() const;
};
