#include "driver/stack/stack_config.h"

namespace driver::stack {
namespace {

// The most links the stack runs at once, in either role.
constexpr int max_links = 20;
// Connection events shorter than this leave no room for a packet and its answer.
constexpr uint16_t min_event_length = 2;
constexpr uint16_t max_att_mtu = 247;

}  // namespace

stack_config::stack_config() {
    roles_.adv_set_count = 1;
    roles_.periph_role_count = 1;
    roles_.central_role_count = 3;
    roles_.central_sec_count = 1;
    tags_[BLE_CONN_CFG_TAG_DEFAULT] = conn_config{};
}

uint32_t stack_config::check(uint32_t cfg_id, const ble_cfg_t& cfg) {
    switch (cfg_id) {
        case BLE_GAP_CFG_ROLE_COUNT: {
            const ble_gap_cfg_role_count_t& r = cfg.gap_cfg.role_count_cfg;
            if (r.adv_set_count > 1) return NRF_ERROR_INVALID_PARAM;  // one set is all it has
            if (r.periph_role_count + r.central_role_count > max_links)
                return NRF_ERROR_INVALID_PARAM;
            if (r.central_sec_count > r.central_role_count) return NRF_ERROR_INVALID_PARAM;
            return NRF_SUCCESS;
        }
        case BLE_CONN_CFG_GAP: {
            const ble_gap_conn_cfg_t& g = cfg.conn_cfg.params.gap_conn_cfg;
            if (g.conn_count == 0 || g.event_length < min_event_length)
                return NRF_ERROR_INVALID_PARAM;
            return NRF_SUCCESS;
        }
        case BLE_CONN_CFG_GATT: {
            const uint16_t mtu = cfg.conn_cfg.params.gatt_conn_cfg.att_mtu;
            if (mtu < BLE_GATT_ATT_MTU_DEFAULT || mtu > max_att_mtu) return NRF_ERROR_INVALID_PARAM;
            return NRF_SUCCESS;
        }
        case BLE_CONN_CFG_GATTC:
        case BLE_CONN_CFG_GATTS:
        case BLE_CONN_CFG_L2CAP:
        case BLE_GAP_CFG_DEVICE_NAME:
            return NRF_SUCCESS;  // taken; nothing the program relies on depends on them
        default:
            return NRF_ERROR_INVALID_PARAM;
    }
}

void stack_config::set(uint32_t cfg_id, const ble_cfg_t& cfg) {
    switch (cfg_id) {
        case BLE_GAP_CFG_ROLE_COUNT:
            roles_ = cfg.gap_cfg.role_count_cfg;
            break;
        case BLE_CONN_CFG_GAP: {
            conn_config& c = tags_[cfg.conn_cfg.conn_cfg_tag];
            c.conn_count = cfg.conn_cfg.params.gap_conn_cfg.conn_count;
            c.event_length = cfg.conn_cfg.params.gap_conn_cfg.event_length;
            break;
        }
        case BLE_CONN_CFG_GATT:
            tags_[cfg.conn_cfg.conn_cfg_tag].att_mtu = cfg.conn_cfg.params.gatt_conn_cfg.att_mtu;
            break;
        default:
            break;
    }
}

uint32_t stack_config::check_enable() const {
    for (const auto& [tag, c] : tags_) {
        if (tag != BLE_CONN_CFG_TAG_DEFAULT &&
            c.conn_count > roles_.central_role_count + roles_.periph_role_count) {
            return NRF_ERROR_CONN_COUNT;
        }
    }
    return NRF_SUCCESS;
}

const conn_config* stack_config::tag(uint8_t conn_cfg_tag) const {
    const auto found = tags_.find(conn_cfg_tag);
    return found == tags_.end() ? nullptr : &found->second;
}

}  // namespace driver::stack
