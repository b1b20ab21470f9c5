// Configuration, scanner, advertising set and connection attempt.
#include "driver/stack/stack_rules.h"

#include <cstddef>

#include "driver/stack/param_checks.h"

namespace driver::stack {

uint32_t stack_rules::check_cfg_set(uint32_t cfg_id, const ble_cfg_t* cfg) const {
    // The memory layout is fixed when the stack is enabled.
    if (enabled_) return NRF_ERROR_INVALID_STATE;
    if (cfg == nullptr) return NRF_ERROR_INVALID_ADDR;
    return stack_config::check(cfg_id, *cfg);
}

void stack_rules::configured(uint32_t cfg_id, const ble_cfg_t& cfg) {
    config_.set(cfg_id, cfg);
}

uint32_t stack_rules::check_enable() const {
    if (enabled_) return NRF_ERROR_INVALID_STATE;
    return config_.check_enable();
}

void stack_rules::enabled() {
    enabled_ = true;
}

void stack_rules::reset() {
    *this = stack_rules();
}

uint8_t stack_rules::central_links() const {
    return enabled_ ? config_.roles().central_role_count : 0;
}

uint32_t stack_rules::check_scan_start(const ble_gap_scan_params_t* params,
                                       const ble_data_t* buffer) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (buffer == nullptr || buffer->p_data == nullptr) return NRF_ERROR_INVALID_ADDR;
    if (buffer->len < BLE_GAP_SCAN_BUFFER_MIN) return NRF_ERROR_INVALID_LENGTH;
    if (params == nullptr) {
        // Only a scanner paused by a report has a buffer to take back.
        return scanner_ == scanner_state::paused ? NRF_SUCCESS : NRF_ERROR_INVALID_STATE;
    }
    // The radio scans or initiates, never both; a paused scanner is still started.
    if (scanner_ != scanner_state::stopped || initiating()) return NRF_ERROR_INVALID_STATE;
    return check_scan_params(*params);
}

void stack_rules::scan_started() {
    scanner_ = scanner_state::listening;
}

void stack_rules::report_delivered() {
    if (scanner_ == scanner_state::listening) scanner_ = scanner_state::paused;
}

void stack_rules::scan_resumed() {
    if (scanner_ == scanner_state::paused) scanner_ = scanner_state::listening;
}

uint32_t stack_rules::check_scan_stop() const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (scanner_ == scanner_state::stopped) return NRF_ERROR_INVALID_STATE;
    return NRF_SUCCESS;
}

void stack_rules::scan_stopped() {
    scanner_ = scanner_state::stopped;
}

bool stack_rules::scanner_on() const {
    return scanner_ != scanner_state::stopped;
}

bool stack_rules::scanner_listening() const {
    return scanner_ == scanner_state::listening;
}

uint32_t stack_rules::check_adv_set_configure(const uint8_t* handle, const ble_gap_adv_data_t* data,
                                              const ble_gap_adv_params_t* params) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (handle == nullptr) return NRF_ERROR_INVALID_ADDR;
    if (*handle == BLE_GAP_ADV_SET_HANDLE_NOT_SET) {
        if (config_.roles().adv_set_count == 0 || adv_.configured) return NRF_ERROR_NO_MEM;
        if (params == nullptr) return NRF_ERROR_INVALID_PARAM;
    } else if (*handle != adv_set_handle || !adv_.configured) {
        return BLE_ERROR_INVALID_ADV_HANDLE;
    }
    // While advertising only the data may change.
    if (adv_.advertising && params != nullptr) return NRF_ERROR_INVALID_STATE;
    if (params != nullptr) {
        const uint32_t checked = check_adv_params(*params);
        if (checked != NRF_SUCCESS) return checked;
    }
    if (data == nullptr) return NRF_SUCCESS;
    const ble_gap_adv_params_t& kept = params != nullptr ? *params : adv_.params;
    return check_adv_data(*data, kept.properties.type);
}

void stack_rules::adv_set_configured(const ble_gap_adv_params_t* params) {
    if (params != nullptr) adv_.params = *params;
    adv_.params.p_peer_addr = nullptr;  // the program's pointer is not kept
    adv_.configured = true;
}

uint32_t stack_rules::check_adv_start(uint8_t handle, uint8_t conn_cfg_tag) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (handle != adv_set_handle || !adv_.configured) return BLE_ERROR_INVALID_ADV_HANDLE;
    if (adv_.advertising) return NRF_ERROR_INVALID_STATE;
    const uint8_t type = adv_.params.properties.type;
    const bool connectable =
        type == BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED ||
        type == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE ||
        type == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED;
    if (connectable) {
        if (config_.tag(conn_cfg_tag) == nullptr) return NRF_ERROR_NOT_FOUND;
        if (config_.roles().periph_role_count == 0) return NRF_ERROR_CONN_COUNT;
    }
    return NRF_SUCCESS;
}

void stack_rules::adv_started() {
    adv_.advertising = true;
}

uint32_t stack_rules::check_adv_stop(uint8_t handle) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (handle != adv_set_handle || !adv_.configured) return BLE_ERROR_INVALID_ADV_HANDLE;
    if (!adv_.advertising) return NRF_ERROR_INVALID_STATE;
    return NRF_SUCCESS;
}

void stack_rules::adv_stopped() {
    adv_.advertising = false;
}

uint32_t stack_rules::check_connect(const ble_gap_addr_t* peer, const ble_gap_scan_params_t* scan,
                                    const ble_gap_conn_params_t* conn, uint8_t conn_cfg_tag) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (peer == nullptr || scan == nullptr || conn == nullptr) return NRF_ERROR_INVALID_ADDR;
    if (!valid_peer_address(*peer)) return BLE_ERROR_GAP_INVALID_BLE_ADDR;
    if (initiating()) return NRF_ERROR_INVALID_STATE;
    const uint32_t scan_check = check_scan_params(*scan);
    if (scan_check != NRF_SUCCESS) return scan_check;
    if (check_conn_params(*conn) != NRF_SUCCESS) return NRF_ERROR_INVALID_PARAM;
    const conn_config* tag = config_.tag(conn_cfg_tag);
    if (tag == nullptr) return NRF_ERROR_NOT_FOUND;
    std::size_t with_tag = 0;
    for (const auto& [handle, l] : links_) with_tag += l.tag == conn_cfg_tag ? 1 : 0;
    if (links_.size() >= central_links() || with_tag >= tag->conn_count) {
        return NRF_ERROR_CONN_COUNT;
    }
    if (connected_to(*peer)) return NRF_ERROR_INVALID_STATE;
    return NRF_SUCCESS;
}

void stack_rules::connect_started() {
    // Initiating and scanning share the radio: the scanner stops for good.
    scanner_ = scanner_state::stopped;
    attempt_ = attempt_state::cancellable;
}

uint32_t stack_rules::check_connect_cancel() const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (attempt_ != attempt_state::cancellable) return NRF_ERROR_INVALID_STATE;
    return NRF_SUCCESS;
}

void stack_rules::connect_crossed() {
    if (attempt_ == attempt_state::cancellable) attempt_ = attempt_state::crossed;
}

void stack_rules::connect_ended() {
    attempt_ = attempt_state::none;
}

}  // namespace driver::stack
