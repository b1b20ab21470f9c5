#include "tests/support/program_stack.h"

#include <gtest/gtest.h>

#include "driver/wire/hex_text.h"

namespace testing_support {

uint32_t enable_program_stack(adapter_t* adapter) {
    ble_cfg_t cfg{};
    cfg.gap_cfg.role_count_cfg.adv_set_count = 1;
    cfg.gap_cfg.role_count_cfg.central_role_count = 5;
    uint32_t r = sd_ble_cfg_set(adapter, BLE_GAP_CFG_ROLE_COUNT, &cfg, 0);
    if (r != NRF_SUCCESS) return r;
    cfg = ble_cfg_t{};
    cfg.conn_cfg.conn_cfg_tag = 1;
    cfg.conn_cfg.params.gatt_conn_cfg.att_mtu = 150;
    r = sd_ble_cfg_set(adapter, BLE_CONN_CFG_GATT, &cfg, 0);
    if (r != NRF_SUCCESS) return r;
    cfg = ble_cfg_t{};
    cfg.conn_cfg.conn_cfg_tag = 1;
    cfg.conn_cfg.params.gap_conn_cfg.conn_count = 5;
    cfg.conn_cfg.params.gap_conn_cfg.event_length = 6;
    r = sd_ble_cfg_set(adapter, BLE_CONN_CFG_GAP, &cfg, 0);
    if (r != NRF_SUCCESS) return r;
    return sd_ble_enable(adapter, nullptr);
}

std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(wire::parse_hex_bytes(text, out)) << text;
    return out;
}

}  // namespace testing_support
