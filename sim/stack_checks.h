// The stack's checks of the parameters a program hands it, shared by scanning and
// connecting: what a real stack refuses, it refuses here with the same code.
#pragma once

#include <cstdint>

#include "driver/ble.h"

namespace sim {

// NRF_SUCCESS, NRF_ERROR_NOT_SUPPORTED (extended scanning) or NRF_ERROR_INVALID_PARAM.
uint32_t check_scan_params(const ble_gap_scan_params_t& params);
// NRF_SUCCESS or NRF_ERROR_INVALID_PARAM: intervals in range and ordered, latency and
// supervision time-out in range, and a time-out long enough for the interval and latency.
uint32_t check_conn_params(const ble_gap_conn_params_t& params);

}  // namespace sim
