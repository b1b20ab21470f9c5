#include "radio/stack_config.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"

namespace {

// One advertising set for the beacon, five links as central and none as peripheral.
constexpr uint8_t adv_set_count = 1;
constexpr uint8_t central_link_count = 5;
constexpr uint16_t att_mtu = 150;
constexpr uint16_t event_length = 6;  // 7.5 ms of radio time per connection event

uint32_t report_failure(const char* item, uint32_t result) {
    console_printf("sd_ble_cfg_set() failed when attempting to set %s. Error %s\n", item,
                   error_code_name(result).c_str());
    std::fflush(stdout);
    return result;
}

}  // namespace

uint32_t ble_stack_configure(uint8_t conn_cfg_tag) {
    // The three items are set as one unit: nobody else may reach the stack in between.
    std::lock_guard<std::mutex> guard(test_context.driver_lock);
    adapter_t* adapter = test_context.adapter.load();

    ble_cfg_t cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.gap_cfg.role_count_cfg.adv_set_count = adv_set_count;
    cfg.gap_cfg.role_count_cfg.periph_role_count = 0;
    cfg.gap_cfg.role_count_cfg.central_role_count = central_link_count;
    cfg.gap_cfg.role_count_cfg.central_sec_count = 0;
    cfg.gap_cfg.role_count_cfg.qos_channel_survey_role_available = 0;
    uint32_t result = sd_ble_cfg_set(adapter, BLE_GAP_CFG_ROLE_COUNT, &cfg, 0);
    if (result != NRF_SUCCESS) return report_failure("BLE_GAP_CFG_ROLE_COUNT", result);

    std::memset(&cfg, 0, sizeof cfg);
    cfg.conn_cfg.conn_cfg_tag = conn_cfg_tag;
    cfg.conn_cfg.params.gatt_conn_cfg.att_mtu = att_mtu;
    result = sd_ble_cfg_set(adapter, BLE_CONN_CFG_GATT, &cfg, 0);
    if (result != NRF_SUCCESS) return report_failure("BLE_CONN_CFG_GATT", result);

    std::memset(&cfg, 0, sizeof cfg);
    cfg.conn_cfg.conn_cfg_tag = conn_cfg_tag;
    cfg.conn_cfg.params.gap_conn_cfg.conn_count = central_link_count;
    cfg.conn_cfg.params.gap_conn_cfg.event_length = event_length;
    result = sd_ble_cfg_set(adapter, BLE_CONN_CFG_GAP, &cfg, 0);
    if (result != NRF_SUCCESS) return report_failure("BLE_CONN_CFG_GAP", result);

    return NRF_SUCCESS;
}
