#include "driver/stack/param_checks.h"

#include <cstddef>

namespace driver::stack {
namespace {

constexpr uint8_t highest_legacy_adv_type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
constexpr uint8_t highest_adv_filter_policy = 3;
// Advertising channels 37, 38 and 39 are the top three bits of a channel mask's last byte.
constexpr uint8_t advertising_channel_bits = 0xE0;

bool in_range(uint16_t value, uint16_t low, uint16_t high) {
    return value >= low && value <= high;
}

bool directed(uint8_t adv_type) {
    return adv_type == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE ||
           adv_type == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED;
}

bool scannable(uint8_t adv_type) {
    return adv_type == BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED ||
           adv_type == BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED;
}

}  // namespace

uint32_t check_scan_params(const ble_gap_scan_params_t& p) {
    if (p.extended) return NRF_ERROR_NOT_SUPPORTED;
    if (p.report_incomplete_evts) return NRF_ERROR_INVALID_PARAM;  // only with extended scanning
    if (p.scan_phys != BLE_GAP_PHY_AUTO && p.scan_phys != BLE_GAP_PHY_1MBPS)
        return NRF_ERROR_INVALID_PARAM;
    if (!in_range(p.interval, BLE_GAP_SCAN_INTERVAL_MIN, BLE_GAP_SCAN_INTERVAL_MAX) ||
        !in_range(p.window, BLE_GAP_SCAN_WINDOW_MIN, BLE_GAP_SCAN_WINDOW_MAX)) {
        return NRF_ERROR_INVALID_PARAM;
    }
    if (p.window > p.interval) return NRF_ERROR_INVALID_PARAM;
    // Whitelist policies need a whitelist, and none is ever set.
    if (p.filter_policy != BLE_GAP_SCAN_FP_ACCEPT_ALL &&
        p.filter_policy != BLE_GAP_SCAN_FP_ALL_NOT_RESOLVED_DIRECTED) {
        return NRF_ERROR_INVALID_PARAM;
    }
    if ((p.channel_mask[BLE_GAP_CHANNEL_MASK_LEN - 1] & advertising_channel_bits) ==
        advertising_channel_bits) {
        return NRF_ERROR_INVALID_PARAM;
    }
    return NRF_SUCCESS;
}

uint32_t check_conn_params(const ble_gap_conn_params_t& p) {
    if (p.min_conn_interval < BLE_GAP_CP_MIN_CONN_INTVL_MIN ||
        p.max_conn_interval > BLE_GAP_CP_MAX_CONN_INTVL_MAX ||
        p.min_conn_interval > p.max_conn_interval) {
        return NRF_ERROR_INVALID_PARAM;
    }
    if (p.slave_latency > BLE_GAP_CP_SLAVE_LATENCY_MAX) return NRF_ERROR_INVALID_PARAM;
    if (!in_range(p.conn_sup_timeout, BLE_GAP_CP_CONN_SUP_TIMEOUT_MIN,
                  BLE_GAP_CP_CONN_SUP_TIMEOUT_MAX)) {
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

bool valid_peer_address(const ble_gap_addr_t& a) {
    constexpr uint8_t highest_address_type = 3;
    constexpr uint8_t static_address_bits = 0xC0;
    if (a.addr_type > highest_address_type) return false;
    return a.addr_type != BLE_GAP_ADDR_TYPE_RANDOM_STATIC ||
           (a.addr[BLE_GAP_ADDR_LEN - 1] & static_address_bits) == static_address_bits;
}

uint32_t check_adv_params(const ble_gap_adv_params_t& p) {
    const uint8_t type = p.properties.type;
    if (type == 0) return NRF_ERROR_INVALID_PARAM;
    if (type > highest_legacy_adv_type) return NRF_ERROR_NOT_SUPPORTED;
    if (directed(type) && p.p_peer_addr == nullptr) return NRF_ERROR_INVALID_PARAM;
    // High duty cycle directed advertising has no interval of its own.
    if (type != BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE &&
        (p.interval < BLE_GAP_ADV_INTERVAL_MIN || p.interval > BLE_GAP_ADV_INTERVAL_MAX)) {
        return NRF_ERROR_INVALID_PARAM;
    }
    if (p.primary_phy != BLE_GAP_PHY_AUTO && p.primary_phy != BLE_GAP_PHY_1MBPS) {
        return NRF_ERROR_INVALID_PARAM;
    }
    if (p.filter_policy > highest_adv_filter_policy) return NRF_ERROR_INVALID_PARAM;
    return NRF_SUCCESS;
}

uint32_t check_adv_data(const ble_gap_adv_data_t& d, uint8_t adv_type) {
    if (d.adv_data.len > BLE_GAP_ADV_SET_DATA_SIZE_MAX ||
        d.scan_rsp_data.len > BLE_GAP_ADV_SET_DATA_SIZE_MAX) {
        return NRF_ERROR_INVALID_LENGTH;
    }
    if ((d.adv_data.len > 0 && d.adv_data.p_data == nullptr) ||
        (d.scan_rsp_data.len > 0 && d.scan_rsp_data.p_data == nullptr)) {
        return NRF_ERROR_INVALID_ADDR;
    }
    if (d.scan_rsp_data.len > 0 && !scannable(adv_type)) return NRF_ERROR_INVALID_DATA;
    // Every AD structure must end inside the data.
    const uint8_t* bytes = d.adv_data.p_data;
    std::size_t at = 0;
    while (at < d.adv_data.len) {
        if (bytes[at] == 0 || at + 1 + bytes[at] > d.adv_data.len) return NRF_ERROR_INVALID_DATA;
        at += 1 + static_cast<std::size_t>(bytes[at]);
    }
    return NRF_SUCCESS;
}

}  // namespace driver::stack
