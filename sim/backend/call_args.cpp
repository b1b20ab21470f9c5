#include "sim/backend/call_args.h"

#include "driver/wire/address_text.h"
#include "driver/wire/hex_text.h"

namespace sim {

trace_json describe_cfg(uint32_t cfg_id, const ble_cfg_t* cfg) {
    if (cfg == nullptr) return nullptr;
    trace_json j;
    switch (cfg_id) {
        case BLE_GAP_CFG_ROLE_COUNT: {
            const ble_gap_cfg_role_count_t& r = cfg->gap_cfg.role_count_cfg;
            j["adv_set_count"] = r.adv_set_count;
            j["periph_role_count"] = r.periph_role_count;
            j["central_role_count"] = r.central_role_count;
            j["central_sec_count"] = r.central_sec_count;
            break;
        }
        case BLE_CONN_CFG_GAP:
            j["conn_cfg_tag"] = cfg->conn_cfg.conn_cfg_tag;
            j["conn_count"] = cfg->conn_cfg.params.gap_conn_cfg.conn_count;
            j["event_length"] = cfg->conn_cfg.params.gap_conn_cfg.event_length;
            break;
        case BLE_CONN_CFG_GATT:
            j["conn_cfg_tag"] = cfg->conn_cfg.conn_cfg_tag;
            j["att_mtu"] = cfg->conn_cfg.params.gatt_conn_cfg.att_mtu;
            break;
        default:
            break;
    }
    return j;
}

trace_json describe_scan_params(const ble_gap_scan_params_t* p) {
    if (p == nullptr) return nullptr;
    trace_json j;
    j["extended"] = p->extended;
    j["active"] = p->active;
    j["filter_policy"] = p->filter_policy;
    j["scan_phys"] = p->scan_phys;
    j["interval"] = p->interval;
    j["window"] = p->window;
    j["timeout"] = p->timeout;
    return j;
}

trace_json describe_conn_params(const ble_gap_conn_params_t* p) {
    if (p == nullptr) return nullptr;
    trace_json j;
    j["min_conn_interval"] = p->min_conn_interval;
    j["max_conn_interval"] = p->max_conn_interval;
    j["slave_latency"] = p->slave_latency;
    j["conn_sup_timeout"] = p->conn_sup_timeout;
    return j;
}

trace_json describe_address(const ble_gap_addr_t* a) {
    if (a == nullptr) return nullptr;
    trace_json j;
    j["addr"] = wire::address_text(a->addr);
    j["addr_type"] = a->addr_type;
    return j;
}

trace_json describe_data(const ble_data_t* d) {
    if (d == nullptr) return nullptr;
    trace_json j;
    j["len"] = d->len;
    j["p_data"] = d->p_data == nullptr ? "null" : "set";
    return j;
}

trace_json describe_adv_params(const ble_gap_adv_params_t* p) {
    if (p == nullptr) return nullptr;
    trace_json j;
    j["type"] = p->properties.type;
    j["interval"] = p->interval;
    j["duration"] = p->duration;
    j["max_adv_evts"] = p->max_adv_evts;
    j["primary_phy"] = p->primary_phy;
    j["filter_policy"] = p->filter_policy;
    return j;
}

trace_json describe_adv_data(const ble_gap_adv_data_t* d) {
    if (d == nullptr) return nullptr;
    trace_json j;
    j["adv_data"] =
        d->adv_data.p_data != nullptr ? wire::hex_text(d->adv_data.p_data, d->adv_data.len) : "";
    j["scan_rsp_len"] = d->scan_rsp_data.len;
    return j;
}

trace_json describe_write(const ble_gattc_write_params_t* p) {
    if (p == nullptr) return nullptr;
    trace_json j;
    j["write_op"] = p->write_op;
    j["flags"] = p->flags;
    j["handle"] = p->handle;
    j["offset"] = p->offset;
    j["len"] = p->len;
    j["value"] = p->p_value != nullptr ? wire::hex_text(p->p_value, p->len) : "";
    return j;
}

}  // namespace sim
