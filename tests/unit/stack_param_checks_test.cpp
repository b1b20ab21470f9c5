// The stack's parameter checks at their edges: the values a real stack still takes and
// the first ones it refuses.
#include <gtest/gtest.h>

#include <cstdint>

#include "driver/stack/param_checks.h"

namespace {

using driver::stack::check_adv_data;
using driver::stack::check_adv_params;
using driver::stack::check_conn_params;
using driver::stack::check_scan_params;
using driver::stack::valid_peer_address;

constexpr uint32_t ok = NRF_SUCCESS;
constexpr uint32_t invalid_param = NRF_ERROR_INVALID_PARAM;

ble_gap_scan_params_t scan(uint16_t interval, uint16_t window) {
    ble_gap_scan_params_t p{};
    p.scan_phys = BLE_GAP_PHY_1MBPS;
    p.interval = interval;
    p.window = window;
    return p;
}

TEST(StackParamChecks, ScanIntervalAndWindowStayWithin4And0x4000) {
    EXPECT_EQ(check_scan_params(scan(4, 4)), ok);
    EXPECT_EQ(check_scan_params(scan(0x4000, 0x4000)), ok);
    EXPECT_EQ(check_scan_params(scan(0x4000, 4)), ok);
    EXPECT_EQ(check_scan_params(scan(16385, 16)), invalid_param);
    EXPECT_EQ(check_scan_params(scan(0xFFFF, 0xFFFF)), invalid_param);
    EXPECT_EQ(check_scan_params(scan(3, 3)), invalid_param);
    EXPECT_EQ(check_scan_params(scan(160, 3)), invalid_param);
    // The window may fill the interval, never exceed it.
    EXPECT_EQ(check_scan_params(scan(160, 160)), ok);
    EXPECT_EQ(check_scan_params(scan(160, 161)), invalid_param);
    EXPECT_EQ(check_scan_params(scan(0x4000, 16385)), invalid_param);
}

TEST(StackParamChecks, ScanningIsLegacy1MWithoutWhitelistOnAnOpenChannel) {
    ble_gap_scan_params_t p = scan(160, 80);
    p.extended = 1;
    EXPECT_EQ(check_scan_params(p), static_cast<uint32_t>(NRF_ERROR_NOT_SUPPORTED));
    p = scan(160, 80);
    p.report_incomplete_evts = 1;
    EXPECT_EQ(check_scan_params(p), invalid_param);
    p = scan(160, 80);
    p.scan_phys = BLE_GAP_PHY_AUTO;
    EXPECT_EQ(check_scan_params(p), ok);
    p.scan_phys = BLE_GAP_PHY_CODED;
    EXPECT_EQ(check_scan_params(p), invalid_param);
    p = scan(160, 80);
    p.filter_policy = 1;  // whitelist only
    EXPECT_EQ(check_scan_params(p), invalid_param);
    p.filter_policy = BLE_GAP_SCAN_FP_ALL_NOT_RESOLVED_DIRECTED;
    EXPECT_EQ(check_scan_params(p), ok);
    p = scan(160, 80);
    p.channel_mask[4] = 0xC0;  // channels 38 and 39 off, 37 still open
    EXPECT_EQ(check_scan_params(p), ok);
    p.channel_mask[4] = 0xE0;
    EXPECT_EQ(check_scan_params(p), invalid_param);
}

TEST(StackParamChecks, ConnectionParametersAndASupervisionTimeOutLongEnoughForThem) {
    EXPECT_EQ(check_conn_params({6, 6, 0, 400}), ok);
    EXPECT_EQ(check_conn_params({5, 6, 0, 400}), invalid_param);
    EXPECT_EQ(check_conn_params({6, 3200, 0, 3200}), ok);
    EXPECT_EQ(check_conn_params({6, 3201, 0, 3200}), invalid_param);
    EXPECT_EQ(check_conn_params({40, 24, 0, 400}), invalid_param);  // min above max
    EXPECT_EQ(check_conn_params({6, 6, 499, 3200}), ok);
    EXPECT_EQ(check_conn_params({6, 6, 500, 3200}), invalid_param);
    EXPECT_EQ(check_conn_params({6, 6, 0, 9}), invalid_param);
    EXPECT_EQ(check_conn_params({6, 6, 0, 3201}), invalid_param);
    // 40 x 1.25 ms x 2 = 100 ms: a 100 ms time-out is not above it, 110 ms is.
    EXPECT_EQ(check_conn_params({6, 40, 0, 10}), invalid_param);
    EXPECT_EQ(check_conn_params({6, 40, 0, 11}), ok);
    // Latency stretches the time the link may go unheard: (1 + 3) x 100 ms.
    EXPECT_EQ(check_conn_params({6, 40, 3, 40}), invalid_param);
    EXPECT_EQ(check_conn_params({6, 40, 3, 41}), ok);
}

TEST(StackParamChecks, ARandomStaticPeerAddressHasItsTwoTopBitsSet) {
    ble_gap_addr_t a{};
    a.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    a.addr[5] = 0xC0;
    EXPECT_TRUE(valid_peer_address(a));
    a.addr[5] = 0x80;
    EXPECT_FALSE(valid_peer_address(a));
    a.addr_type = BLE_GAP_ADDR_TYPE_PUBLIC;
    EXPECT_TRUE(valid_peer_address(a));
    a.addr_type = 3;
    EXPECT_TRUE(valid_peer_address(a));
    a.addr_type = 4;
    EXPECT_FALSE(valid_peer_address(a));
}

TEST(StackParamChecks, AdvertisingParametersOfTheLegacyTypes) {
    ble_gap_adv_params_t p{};
    p.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
    p.interval = BLE_GAP_ADV_INTERVAL_MIN;
    EXPECT_EQ(check_adv_params(p), ok);
    p.interval = BLE_GAP_ADV_INTERVAL_MIN - 1;
    EXPECT_EQ(check_adv_params(p), invalid_param);
    p.interval = BLE_GAP_ADV_INTERVAL_MAX + 1;
    EXPECT_EQ(check_adv_params(p), invalid_param);
    p.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED + 1;
    EXPECT_EQ(check_adv_params(p), static_cast<uint32_t>(NRF_ERROR_NOT_SUPPORTED));
    p.properties.type = 0;
    EXPECT_EQ(check_adv_params(p), invalid_param);
    // Directed advertising needs its peer; the high duty cycle kind has no interval.
    p.properties.type = BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE;
    EXPECT_EQ(check_adv_params(p), invalid_param);
    const ble_gap_addr_t peer{};
    p.p_peer_addr = &peer;
    EXPECT_EQ(check_adv_params(p), ok);
    p.primary_phy = BLE_GAP_PHY_2MBPS;
    EXPECT_EQ(check_adv_params(p), invalid_param);
    p.primary_phy = BLE_GAP_PHY_1MBPS;
    p.filter_policy = 4;
    EXPECT_EQ(check_adv_params(p), invalid_param);
}

TEST(StackParamChecks, AdvertisingDataMustBeWholeStructuresThatFit) {
    uint8_t bytes[32] = {0x02, 0x01, 0x06, 0x03, 0x03, 0x0F, 0x18};
    const uint8_t scannable = BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED;
    const uint8_t silent = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
    EXPECT_EQ(check_adv_data({{bytes, 7}, {nullptr, 0}}, silent), ok);
    EXPECT_EQ(check_adv_data({{bytes, 6}, {nullptr, 0}}, silent),
              static_cast<uint32_t>(NRF_ERROR_INVALID_DATA));  // runs past the end
    bytes[7] = 0x00;
    EXPECT_EQ(check_adv_data({{bytes, 8}, {nullptr, 0}}, silent),
              static_cast<uint32_t>(NRF_ERROR_INVALID_DATA));  // a zero-length structure
    EXPECT_EQ(check_adv_data({{bytes, 32}, {nullptr, 0}}, silent),
              static_cast<uint32_t>(NRF_ERROR_INVALID_LENGTH));
    EXPECT_EQ(check_adv_data({{nullptr, 3}, {nullptr, 0}}, silent),
              static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    EXPECT_EQ(check_adv_data({{bytes, 7}, {bytes, 3}}, silent),
              static_cast<uint32_t>(NRF_ERROR_INVALID_DATA));  // nobody can ask for it
    EXPECT_EQ(check_adv_data({{bytes, 7}, {bytes, 3}}, scannable), ok);
}

}  // namespace
