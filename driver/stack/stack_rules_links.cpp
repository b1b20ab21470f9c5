// Links and the GATT client on them.
#include "driver/ble_hci.h"
#include "driver/stack/param_checks.h"
#include "driver/stack/stack_rules.h"

namespace driver::stack {

const stack_rules::link* stack_rules::find(uint16_t conn_handle) const {
    const auto found = links_.find(conn_handle);
    return found == links_.end() ? nullptr : &found->second;
}

stack_rules::link* stack_rules::find(uint16_t conn_handle) {
    const auto found = links_.find(conn_handle);
    return found == links_.end() ? nullptr : &found->second;
}

bool stack_rules::connected_to(const ble_gap_addr_t& peer) const {
    for (const auto& [handle, l] : links_) {
        bool same = true;
        for (int i = 0; i < BLE_GAP_ADDR_LEN; ++i) same = same && l.peer.addr[i] == peer.addr[i];
        if (same) return true;
    }
    return false;
}

void stack_rules::link_up(uint16_t conn_handle, const ble_gap_addr_t& peer, uint8_t conn_cfg_tag) {
    link made;
    made.peer = peer;
    made.tag = conn_cfg_tag;
    links_[conn_handle] = made;
}

void stack_rules::link_down(uint16_t conn_handle) {
    links_.erase(conn_handle);
}

uint32_t stack_rules::check_disconnect(uint16_t conn_handle, uint8_t hci_status_code) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    const link* l = find(conn_handle);
    if (l == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
    if (hci_status_code != BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION &&
        hci_status_code != BLE_HCI_CONN_INTERVAL_UNACCEPTABLE) {
        return NRF_ERROR_INVALID_PARAM;
    }
    if (l->disconnecting) return NRF_ERROR_INVALID_STATE;
    return NRF_SUCCESS;
}

void stack_rules::disconnecting(uint16_t conn_handle) {
    if (link* l = find(conn_handle)) l->disconnecting = true;
}

bool stack_rules::is_disconnecting(uint16_t conn_handle) const {
    const link* l = find(conn_handle);
    return l != nullptr && l->disconnecting;
}

uint32_t stack_rules::check_conn_param_update(uint16_t conn_handle,
                                              const ble_gap_conn_params_t* params) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    const link* l = find(conn_handle);
    if (l == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
    if (params == nullptr) return NRF_SUCCESS;
    if (check_conn_params(*params) != NRF_SUCCESS) return NRF_ERROR_INVALID_PARAM;
    if (l->param_update_pending || l->disconnecting) return NRF_ERROR_BUSY;
    return NRF_SUCCESS;
}

void stack_rules::conn_param_update_started(uint16_t conn_handle) {
    if (link* l = find(conn_handle)) l->param_update_pending = true;
}

void stack_rules::conn_param_update_done(uint16_t conn_handle) {
    if (link* l = find(conn_handle)) l->param_update_pending = false;
}

uint32_t stack_rules::check_rssi_start(uint16_t conn_handle) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    const link* l = find(conn_handle);
    if (l == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
    if (l->rssi_on) return NRF_ERROR_INVALID_STATE;
    return NRF_SUCCESS;
}

void stack_rules::rssi_started(uint16_t conn_handle) {
    if (link* l = find(conn_handle)) l->rssi_on = true;
}

uint32_t stack_rules::check_gattc(uint16_t conn_handle) const {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    const link* l = find(conn_handle);
    if (l == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
    if (l->gattc_timed_out) return NRF_ERROR_TIMEOUT;
    return NRF_SUCCESS;
}

uint32_t stack_rules::check_primary_services_discover(uint16_t conn_handle,
                                                      const ble_uuid_t* uuid) const {
    const uint32_t common = check_gattc(conn_handle);
    if (common != NRF_SUCCESS) return common;
    // Only 16-bit UUIDs can be looked for: no vendor UUID base is registered.
    if (uuid != nullptr && uuid->type != BLE_UUID_TYPE_BLE) return NRF_ERROR_INVALID_PARAM;
    if (gattc_running(conn_handle)) return NRF_ERROR_BUSY;
    return NRF_SUCCESS;
}

uint32_t stack_rules::check_characteristics_discover(uint16_t conn_handle,
                                                     const ble_gattc_handle_range_t* range) const {
    const uint32_t common = check_gattc(conn_handle);
    if (common != NRF_SUCCESS) return common;
    if (range == nullptr) return NRF_ERROR_INVALID_ADDR;
    if (gattc_running(conn_handle)) return NRF_ERROR_BUSY;
    return NRF_SUCCESS;
}

uint32_t stack_rules::check_descriptors_discover(uint16_t conn_handle,
                                                 const ble_gattc_handle_range_t* range) const {
    // The same checks: both walk a handle range of the peer's database.
    return check_characteristics_discover(conn_handle, range);
}

uint32_t stack_rules::check_read(uint16_t conn_handle, uint16_t handle) const {
    const uint32_t common = check_gattc(conn_handle);
    if (common != NRF_SUCCESS) return common;
    if (handle == 0) return BLE_ERROR_INVALID_ATTR_HANDLE;
    if (gattc_running(conn_handle)) return NRF_ERROR_BUSY;
    return NRF_SUCCESS;
}

uint32_t stack_rules::check_write(uint16_t conn_handle,
                                  const ble_gattc_write_params_t* params) const {
    const uint32_t common = check_gattc(conn_handle);
    if (common != NRF_SUCCESS) return common;
    if (params == nullptr) return NRF_ERROR_INVALID_ADDR;
    if (params->len > 0 && params->p_value == nullptr) return NRF_ERROR_INVALID_ADDR;
    const uint8_t op = params->write_op;
    if (op == BLE_GATT_OP_SIGN_WRITE_CMD || op == BLE_GATT_OP_PREP_WRITE_REQ ||
        op == BLE_GATT_OP_EXEC_WRITE_REQ) {
        return NRF_ERROR_NOT_SUPPORTED;
    }
    if (op != BLE_GATT_OP_WRITE_REQ && op != BLE_GATT_OP_WRITE_CMD) return NRF_ERROR_INVALID_PARAM;
    if (params->handle == 0) return BLE_ERROR_INVALID_ATTR_HANDLE;
    // The ATT MTU is never exchanged, so a write carries at most 23 - 3 bytes.
    if (params->len > BLE_GATT_ATT_MTU_DEFAULT - 3) return NRF_ERROR_DATA_SIZE;
    if (op == BLE_GATT_OP_WRITE_REQ) {
        return gattc_running(conn_handle) ? NRF_ERROR_BUSY : NRF_SUCCESS;
    }
    return find(conn_handle)->write_cmds_queued >= write_cmd_queue_size ? NRF_ERROR_RESOURCES
                                                                        : NRF_SUCCESS;
}

void stack_rules::gattc_started(uint16_t conn_handle) {
    if (link* l = find(conn_handle)) l->gattc_running = true;
}

void stack_rules::gattc_completed(uint16_t conn_handle) {
    if (link* l = find(conn_handle)) l->gattc_running = false;
}

void stack_rules::gattc_timed_out(uint16_t conn_handle) {
    if (link* l = find(conn_handle)) {
        l->gattc_running = false;
        l->gattc_timed_out = true;
    }
}

bool stack_rules::gattc_running(uint16_t conn_handle) const {
    const link* l = find(conn_handle);
    return l != nullptr && l->gattc_running;
}

void stack_rules::write_cmd_queued(uint16_t conn_handle) {
    if (link* l = find(conn_handle)) ++l->write_cmds_queued;
}

void stack_rules::write_cmd_sent(uint16_t conn_handle) {
    link* l = find(conn_handle);
    if (l != nullptr && l->write_cmds_queued > 0) --l->write_cmds_queued;
}

}  // namespace driver::stack
