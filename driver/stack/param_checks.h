// The stack's checks of the parameters a program hands it, apart from any state: what a
// real stack refuses, refused with the same code. The stack rules run them where a call
// carries such parameters; they are shared by scanning, connecting and advertising.
#pragma once

#include <cstdint>

#include "driver/ble.h"

namespace driver::stack {

// NRF_SUCCESS, NRF_ERROR_NOT_SUPPORTED (extended scanning) or NRF_ERROR_INVALID_PARAM:
// interval and window within 0x0004..0x4000, window no longer than interval, legacy 1M
// scanning without a whitelist and with an advertising channel left open.
uint32_t check_scan_params(const ble_gap_scan_params_t& params);
// NRF_SUCCESS or NRF_ERROR_INVALID_PARAM: intervals in range and ordered, latency and
// supervision time-out in range, and a time-out long enough for the interval and latency.
uint32_t check_conn_params(const ble_gap_conn_params_t& params);
// A peer address the stack can connect to: a known type, and a random static address
// with its two top bits set.
bool valid_peer_address(const ble_gap_addr_t& address);
// NRF_SUCCESS, NRF_ERROR_NOT_SUPPORTED (extended types) or NRF_ERROR_INVALID_PARAM.
uint32_t check_adv_params(const ble_gap_adv_params_t& params);
// Advertising data for a set advertising as `adv_type`: NRF_SUCCESS,
// NRF_ERROR_INVALID_LENGTH, NRF_ERROR_INVALID_ADDR or NRF_ERROR_INVALID_DATA (an AD
// structure that does not end inside the data, or a scan response the type cannot send).
uint32_t check_adv_data(const ble_gap_adv_data_t& data, uint8_t adv_type);

}  // namespace driver::stack
