#include "sim/stack_checks.h"

namespace sim {

uint32_t check_scan_params(const ble_gap_scan_params_t& p) {
    if (p.extended) return NRF_ERROR_NOT_SUPPORTED;
    if (p.report_incomplete_evts) return NRF_ERROR_INVALID_PARAM;  // only with extended scanning
    if (p.scan_phys != BLE_GAP_PHY_AUTO && p.scan_phys != BLE_GAP_PHY_1MBPS)
        return NRF_ERROR_INVALID_PARAM;
    if (p.interval < BLE_GAP_SCAN_INTERVAL_MIN || p.window < BLE_GAP_SCAN_WINDOW_MIN) {
        return NRF_ERROR_INVALID_PARAM;
    }
    if (p.window > p.interval) return NRF_ERROR_INVALID_PARAM;
    // Whitelist policies need a whitelist, and this dongle has none set.
    if (p.filter_policy != BLE_GAP_SCAN_FP_ACCEPT_ALL && p.filter_policy != 2)
        return NRF_ERROR_INVALID_PARAM;
    // At least one primary advertising channel (37, 38, 39: the top bits of the last
    // mask byte) must stay open.
    if ((p.channel_mask[4] & 0xE0) == 0xE0) return NRF_ERROR_INVALID_PARAM;
    return NRF_SUCCESS;
}

uint32_t check_conn_params(const ble_gap_conn_params_t& p) {
    if (p.min_conn_interval < BLE_GAP_CP_MIN_CONN_INTVL_MIN ||
        p.max_conn_interval > BLE_GAP_CP_MAX_CONN_INTVL_MAX ||
        p.min_conn_interval > p.max_conn_interval) {
        return NRF_ERROR_INVALID_PARAM;
    }
    if (p.slave_latency > BLE_GAP_CP_SLAVE_LATENCY_MAX) return NRF_ERROR_INVALID_PARAM;
    if (p.conn_sup_timeout < BLE_GAP_CP_CONN_SUP_TIMEOUT_MIN ||
        p.conn_sup_timeout > BLE_GAP_CP_CONN_SUP_TIMEOUT_MAX) {
        return NRF_ERROR_INVALID_PARAM;
    }
    // The link must outlive a few missed events: time-out (10 ms units) above
    // (1 + latency) * max interval (1.25 ms units) * 2.
    const uint64_t timeout_us = static_cast<uint64_t>(p.conn_sup_timeout) * 10000;
    const uint64_t needed_us =
        (1 + static_cast<uint64_t>(p.slave_latency)) * p.max_conn_interval * 1250 * 2;
    if (timeout_us <= needed_us) return NRF_ERROR_INVALID_PARAM;
    return NRF_SUCCESS;
}

}  // namespace sim
