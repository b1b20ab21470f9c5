// The stack's configuration as the program sets it before enabling the stack: the role
// counts, and the link settings of each connection configuration tag. Each item is
// checked as a real stack checks it.
#pragma once

#include <cstdint>
#include <map>

#include "driver/ble.h"

namespace driver::stack {

// The settings of the links made with one connection configuration tag.
struct conn_config {
    uint16_t att_mtu = BLE_GATT_ATT_MTU_DEFAULT;
    uint8_t conn_count = 1;
    uint16_t event_length = 3;
};

class stack_config {
  public:
    // The stack's own defaults: one advertising set, one peripheral and three central
    // links, and tag 0 with one link.
    stack_config();

    // NRF_SUCCESS, or NRF_ERROR_INVALID_PARAM for an item out of range or an unknown ID.
    static uint32_t check(uint32_t cfg_id, const ble_cfg_t& cfg);
    // Keeps an item that check() accepted.
    void set(uint32_t cfg_id, const ble_cfg_t& cfg);
    // NRF_SUCCESS or NRF_ERROR_CONN_COUNT: every tag's links must fit the role counts.
    uint32_t check_enable() const;

    const ble_gap_cfg_role_count_t& roles() const { return roles_; }
    // The tag's settings, or null for a tag never configured.
    const conn_config* tag(uint8_t conn_cfg_tag) const;

  private:
    ble_gap_cfg_role_count_t roles_{};
    std::map<uint8_t, conn_config> tags_;
};

}  // namespace driver::stack
