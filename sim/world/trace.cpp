#include "sim/world/trace.h"

#include <fstream>

#include "driver/wire/address_text.h"
#include "driver/wire/hex_text.h"
#include "sim/scenario/ad_data.h"
#include "sim/scenario/code_table.h"

namespace sim {
namespace {

struct trace_settings {
    std::mutex lock;
    std::string file;
    bool capture = false;
    std::vector<std::string> lines;
};

trace_settings& settings() {
    // Never destroyed: a dongle may still trace while the process exits.
    static trace_settings* s = new trace_settings();
    return *s;
}

trace_json address_json(const ble_gap_addr_t& a) {
    return wire::address_text(a.addr);
}

trace_json conn_params_json(const ble_gap_conn_params_t& p) {
    trace_json j;
    j["min_conn_interval"] = p.min_conn_interval;
    j["max_conn_interval"] = p.max_conn_interval;
    j["slave_latency"] = p.slave_latency;
    j["conn_sup_timeout"] = p.conn_sup_timeout;
    return j;
}

trace_json uuid_json(const ble_uuid_t& u) {
    trace_json j;
    j["type"] = u.type;
    j["uuid"] = u.uuid;
    return j;
}

void describe_gap(const ble_evt_t& e, trace_json& j) {
    const ble_gap_evt_t& g = e.evt.gap_evt;
    j["conn_handle"] = g.conn_handle;
    switch (e.header.evt_id) {
        case BLE_GAP_EVT_CONNECTED:
            j["peer_addr"] = address_json(g.params.connected.peer_addr);
            j["role"] = g.params.connected.role;
            j["conn_params"] = conn_params_json(g.params.connected.conn_params);
            break;
        case BLE_GAP_EVT_DISCONNECTED:
            j["reason"] = g.params.disconnected.reason;
            j["reason_name"] = hci_name(g.params.disconnected.reason);
            break;
        case BLE_GAP_EVT_CONN_PARAM_UPDATE:
            j["conn_params"] = conn_params_json(g.params.conn_param_update.conn_params);
            break;
        case BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST:
            j["conn_params"] = conn_params_json(g.params.conn_param_update_request.conn_params);
            break;
        case BLE_GAP_EVT_TIMEOUT:
            j["src"] = g.params.timeout.src;
            break;
        case BLE_GAP_EVT_RSSI_CHANGED:
            j["rssi"] = g.params.rssi_changed.rssi;
            j["ch_index"] = g.params.rssi_changed.ch_index;
            break;
        case BLE_GAP_EVT_ADV_REPORT: {
            const ble_gap_evt_adv_report_t& r = g.params.adv_report;
            j["peer_addr"] = address_json(r.peer_addr);
            j["rssi"] = r.rssi;
            j["ch_index"] = r.ch_index;
            j["type"] = r.type.type;
            j["len"] = r.data.len;
            j["data"] = r.data.p_data != nullptr ? wire::hex_text(r.data.p_data, r.data.len) : "";
            break;
        }
        case BLE_GAP_EVT_SCAN_REQ_REPORT:
            j["adv_handle"] = g.params.scan_req_report.adv_handle;
            j["rssi"] = g.params.scan_req_report.rssi;
            j["peer_addr"] = address_json(g.params.scan_req_report.peer_addr);
            break;
        case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST:
            j["max_tx_octets"] = g.params.data_length_update_request.peer_params.max_tx_octets;
            j["max_rx_octets"] = g.params.data_length_update_request.peer_params.max_rx_octets;
            break;
        case BLE_GAP_EVT_PHY_UPDATE_REQUEST:
            j["tx_phys"] = g.params.phy_update_request.peer_preferred_phys.tx_phys;
            j["rx_phys"] = g.params.phy_update_request.peer_preferred_phys.rx_phys;
            break;
        case BLE_GAP_EVT_ADV_SET_TERMINATED:
            j["reason"] = g.params.adv_set_terminated.reason;
            j["adv_handle"] = g.params.adv_set_terminated.adv_handle;
            j["num_completed_adv_events"] = g.params.adv_set_terminated.num_completed_adv_events;
            break;
        default:
            break;
    }
}

void describe_gattc(const ble_evt_t& e, trace_json& j) {
    const ble_gattc_evt_t& g = e.evt.gattc_evt;
    j["conn_handle"] = g.conn_handle;
    j["gatt_status"] = g.gatt_status;
    j["error_handle"] = g.error_handle;
    switch (e.header.evt_id) {
        case BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP: {
            const auto& r = g.params.prim_srvc_disc_rsp;
            const ble_gattc_service_t* services = r.services;
            trace_json list = trace_json::array();
            for (uint16_t i = 0; i < r.count; ++i) {
                trace_json s;
                s["uuid"] = uuid_json(services[i].uuid);
                s["start_handle"] = services[i].handle_range.start_handle;
                s["end_handle"] = services[i].handle_range.end_handle;
                list.push_back(s);
            }
            j["count"] = r.count;
            j["services"] = list;
            break;
        }
        case BLE_GATTC_EVT_CHAR_DISC_RSP: {
            const auto& r = g.params.char_disc_rsp;
            const ble_gattc_char_t* chars = r.chars;
            trace_json list = trace_json::array();
            for (uint16_t i = 0; i < r.count; ++i) {
                trace_json c;
                c["uuid"] = uuid_json(chars[i].uuid);
                c["handle_decl"] = chars[i].handle_decl;
                c["handle_value"] = chars[i].handle_value;
                list.push_back(c);
            }
            j["count"] = r.count;
            j["chars"] = list;
            break;
        }
        case BLE_GATTC_EVT_DESC_DISC_RSP: {
            const auto& r = g.params.desc_disc_rsp;
            const ble_gattc_desc_t* descs = r.descs;
            trace_json list = trace_json::array();
            for (uint16_t i = 0; i < r.count; ++i) {
                list.push_back({{"handle", descs[i].handle}, {"uuid", uuid_json(descs[i].uuid)}});
            }
            j["count"] = r.count;
            j["descs"] = list;
            break;
        }
        case BLE_GATTC_EVT_READ_RSP:
            j["handle"] = g.params.read_rsp.handle;
            j["offset"] = g.params.read_rsp.offset;
            j["len"] = g.params.read_rsp.len;
            j["data"] = wire::hex_text(g.params.read_rsp.data, g.params.read_rsp.len);
            break;
        case BLE_GATTC_EVT_WRITE_RSP:
            j["handle"] = g.params.write_rsp.handle;
            j["write_op"] = g.params.write_rsp.write_op;
            j["offset"] = g.params.write_rsp.offset;
            j["len"] = g.params.write_rsp.len;
            j["data"] = wire::hex_text(g.params.write_rsp.data, g.params.write_rsp.len);
            break;
        case BLE_GATTC_EVT_HVX:
            j["handle"] = g.params.hvx.handle;
            j["type"] = g.params.hvx.type;
            j["len"] = g.params.hvx.len;
            j["data"] = wire::hex_text(g.params.hvx.data, g.params.hvx.len);
            break;
        case BLE_GATTC_EVT_EXCHANGE_MTU_RSP:
            j["server_rx_mtu"] = g.params.exchange_mtu_rsp.server_rx_mtu;
            break;
        case BLE_GATTC_EVT_TIMEOUT:
            j["src"] = g.params.timeout.src;
            break;
        case BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE:
            j["count"] = g.params.write_cmd_tx_complete.count;
            break;
        default:
            break;
    }
}

}  // namespace

void set_trace_file(const std::string& path) {
    trace_settings& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    s.file = path;
}

void set_trace_capture(bool on) {
    trace_settings& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    s.capture = on;
}

std::vector<std::string> trace_lines() {
    trace_settings& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.lines;
}

void clear_trace_lines() {
    trace_settings& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    s.lines.clear();
}

trace_json describe_event(const ble_evt_t& event) {
    trace_json j;
    const uint16_t id = event.header.evt_id;
    j["event"] = event_name(id);
    j["id"] = id;
    if (id >= BLE_GAP_EVT_BASE && id < BLE_GATTC_EVT_BASE) {
        describe_gap(event, j);
    } else if (id >= BLE_GATTC_EVT_BASE && id < BLE_GATTS_EVT_BASE) {
        describe_gattc(event, j);
    } else {
        j["conn_handle"] = event.evt.common_evt.conn_handle;
    }
    return j;
}

struct trace_sink::file {
    std::ofstream out;
};

trace_sink::trace_sink(const std::string& scenario_path) {
    std::string path = scenario_path;
    {
        trace_settings& s = settings();
        std::lock_guard<std::mutex> guard(s.lock);
        if (path.empty()) path = s.file;
        capture_ = s.capture;
    }
    if (!path.empty()) {
        file_ = std::make_unique<file>();
        file_->out.open(path, std::ios::out | std::ios::trunc);
        if (!file_->out) {
            error_ = "trace file " + path + " cannot be written";
            file_.reset();
        }
    }
    enabled_ = capture_ || file_ != nullptr;
}

trace_sink::~trace_sink() = default;

bool trace_sink::ok(std::string& error) const {
    error = error_;
    return error_.empty();
}

void trace_sink::write(const trace_json& line) {
    if (!enabled_) return;
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard<std::mutex> guard(lock_);
    if (file_) {
        file_->out << text << '\n';
        file_->out.flush();
    }
    if (capture_) {
        trace_settings& s = settings();
        std::lock_guard<std::mutex> settings_guard(s.lock);
        if (s.capture) s.lines.push_back(text);
    }
}

}  // namespace sim
