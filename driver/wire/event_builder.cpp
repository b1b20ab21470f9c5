#include "driver/wire/event_builder.h"

#include <cstring>

namespace wire {
namespace {

// Byte offset of a member inside ble_evt_t, measured on a real object so that no
// nested offsetof is needed.
template <typename Member>
size_t offset_in_event(Member* (*locate)(ble_evt_t&)) {
    static ble_evt_t probe{};
    return static_cast<size_t>(reinterpret_cast<uint8_t*>(locate(probe)) -
                               reinterpret_cast<uint8_t*>(&probe));
}

size_t services_offset() {
    return offset_in_event<ble_gattc_service_t>(
        [](ble_evt_t& e) { return &e.evt.gattc_evt.params.prim_srvc_disc_rsp.services[0]; });
}
size_t chars_offset() {
    return offset_in_event<ble_gattc_char_t>(
        [](ble_evt_t& e) { return &e.evt.gattc_evt.params.char_disc_rsp.chars[0]; });
}
size_t descs_offset() {
    return offset_in_event<ble_gattc_desc_t>(
        [](ble_evt_t& e) { return &e.evt.gattc_evt.params.desc_disc_rsp.descs[0]; });
}
size_t read_data_offset() {
    return offset_in_event<uint8_t>(
        [](ble_evt_t& e) { return &e.evt.gattc_evt.params.read_rsp.data[0]; });
}
size_t write_data_offset() {
    return offset_in_event<uint8_t>(
        [](ble_evt_t& e) { return &e.evt.gattc_evt.params.write_rsp.data[0]; });
}
size_t hvx_data_offset() {
    return offset_in_event<uint8_t>(
        [](ble_evt_t& e) { return &e.evt.gattc_evt.params.hvx.data[0]; });
}

event_buffer gattc_event(uint16_t id, size_t bytes, event_size size, uint16_t conn_handle,
                         uint16_t status, uint16_t error_handle) {
    event_buffer b(id, bytes, size);
    ble_gattc_evt_t& g = b.gattc();
    g.conn_handle = conn_handle;
    g.gatt_status = status;
    g.error_handle = error_handle;
    return b;
}

// A GATT client event whose tail is `elements`, copied in at `offset`.
template <typename Element>
event_buffer gattc_list_event(uint16_t id, size_t offset, const std::vector<Element>& elements,
                              event_size size, uint16_t conn_handle, uint16_t status,
                              uint16_t error_handle) {
    const size_t tail = elements.size() * sizeof(Element);
    event_buffer b = gattc_event(id, offset + tail, size, conn_handle, status, error_handle);
    if (tail > 0) std::memcpy(b.bytes_at(offset), elements.data(), tail);
    return b;
}

event_buffer gap_event(uint16_t id, uint16_t conn_handle, size_t bytes = sizeof(ble_evt_t)) {
    event_buffer b(id, bytes);
    b.gap().conn_handle = conn_handle;
    return b;
}

void fill_adv_report(ble_gap_evt_adv_report_t& r, const ble_gap_addr_t& peer, uint16_t type_bits,
                     int8_t rssi, uint8_t channel, const ble_data_t& data) {
    r.type.status = 0;  // complete
    r.type.type = type_bits & 0x0F;
    r.peer_addr = peer;
    r.primary_phy = 1;    // 1 Mbps
    r.secondary_phy = 0;  // none: a legacy advertisement
    r.tx_power = 127;     // not available
    r.rssi = rssi;
    r.ch_index = channel;
    r.set_id = 0xFF;  // not available
    r.data_id = 0;
    r.data = data;
}

}  // namespace

event_buffer::event_buffer(uint16_t id, size_t bytes, event_size size) {
    const size_t least =
        size == event_size::whole_record ? sizeof(ble_evt_t) : sizeof(ble_evt_hdr_t);
    size_ = bytes < least ? least : bytes;
    // Bytes, not words: an exact event ends where its contents end, to the byte.
    storage_.reset(new uint8_t[size_]());
    get()->header.evt_id = id;
    get()->header.evt_len = static_cast<uint16_t>(size_);
}

event_buffer build_connected(uint16_t conn_handle, const ble_gap_addr_t& peer, uint8_t role,
                             const ble_gap_conn_params_t& params) {
    event_buffer b = gap_event(BLE_GAP_EVT_CONNECTED, conn_handle);
    ble_gap_evt_connected_t& c = b.gap().params.connected;
    c.peer_addr = peer;
    c.role = role;
    c.conn_params = params;
    c.adv_handle = 0xFF;  // not a connection to our own advertising set
    return b;
}

event_buffer build_disconnected(uint16_t conn_handle, uint8_t reason) {
    event_buffer b = gap_event(BLE_GAP_EVT_DISCONNECTED, conn_handle);
    b.gap().params.disconnected.reason = reason;
    return b;
}

event_buffer build_gap_timeout(uint16_t conn_handle, uint8_t source,
                               const ble_data_t& report_buffer) {
    event_buffer b = gap_event(BLE_GAP_EVT_TIMEOUT, conn_handle);
    b.gap().params.timeout.src = source;
    b.gap().params.timeout.params.adv_report_buffer = report_buffer;
    return b;
}

event_buffer build_rssi_changed(uint16_t conn_handle, int8_t rssi, uint8_t channel) {
    event_buffer b = gap_event(BLE_GAP_EVT_RSSI_CHANGED, conn_handle);
    b.gap().params.rssi_changed.rssi = rssi;
    b.gap().params.rssi_changed.ch_index = channel;
    return b;
}

event_buffer build_adv_report(const ble_gap_addr_t& peer, uint16_t type_bits, int8_t rssi,
                              uint8_t channel, const ble_data_t& data) {
    event_buffer b = gap_event(BLE_GAP_EVT_ADV_REPORT, BLE_CONN_HANDLE_INVALID);
    fill_adv_report(b.gap().params.adv_report, peer, type_bits, rssi, channel, data);
    return b;
}

event_buffer build_adv_report_with_data(const ble_gap_addr_t& peer, uint16_t type_bits, int8_t rssi,
                                        uint8_t channel, const std::vector<uint8_t>& data) {
    event_buffer b =
        gap_event(BLE_GAP_EVT_ADV_REPORT, BLE_CONN_HANDLE_INVALID, sizeof(ble_evt_t) + data.size());
    uint8_t* copy = b.bytes_at(sizeof(ble_evt_t));
    if (!data.empty()) std::memcpy(copy, data.data(), data.size());
    fill_adv_report(b.gap().params.adv_report, peer, type_bits, rssi, channel,
                    ble_data_t{copy, static_cast<uint16_t>(data.size())});
    return b;
}

event_buffer build_conn_param_update(uint16_t conn_handle, const ble_gap_conn_params_t& params) {
    event_buffer b = gap_event(BLE_GAP_EVT_CONN_PARAM_UPDATE, conn_handle);
    b.gap().params.conn_param_update.conn_params = params;
    return b;
}

event_buffer build_conn_param_update_request(uint16_t conn_handle,
                                             const ble_gap_conn_params_t& params) {
    event_buffer b = gap_event(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST, conn_handle);
    b.gap().params.conn_param_update_request.conn_params = params;
    return b;
}

event_buffer build_adv_set_terminated(uint8_t reason, uint8_t adv_handle,
                                      uint8_t completed_events) {
    event_buffer b = gap_event(BLE_GAP_EVT_ADV_SET_TERMINATED, BLE_CONN_HANDLE_INVALID);
    ble_gap_evt_adv_set_terminated_t& t = b.gap().params.adv_set_terminated;
    t.reason = reason;
    t.adv_handle = adv_handle;
    t.num_completed_adv_events = completed_events;
    return b;
}

event_buffer build_services_response(uint16_t conn_handle, uint16_t status, uint16_t error_handle,
                                     const std::vector<ble_gattc_service_t>& services,
                                     event_size size) {
    event_buffer b = gattc_list_event(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, services_offset(), services,
                                      size, conn_handle, status, error_handle);
    b.gattc().params.prim_srvc_disc_rsp.count = static_cast<uint16_t>(services.size());
    return b;
}

event_buffer build_characteristics_response(uint16_t conn_handle, uint16_t status,
                                            uint16_t error_handle,
                                            const std::vector<ble_gattc_char_t>& chars,
                                            event_size size) {
    event_buffer b = gattc_list_event(BLE_GATTC_EVT_CHAR_DISC_RSP, chars_offset(), chars, size,
                                      conn_handle, status, error_handle);
    b.gattc().params.char_disc_rsp.count = static_cast<uint16_t>(chars.size());
    return b;
}

event_buffer build_descriptors_response(uint16_t conn_handle, uint16_t status,
                                        uint16_t error_handle,
                                        const std::vector<ble_gattc_desc_t>& descs,
                                        event_size size) {
    event_buffer b = gattc_list_event(BLE_GATTC_EVT_DESC_DISC_RSP, descs_offset(), descs, size,
                                      conn_handle, status, error_handle);
    b.gattc().params.desc_disc_rsp.count = static_cast<uint16_t>(descs.size());
    return b;
}

event_buffer build_read_response(uint16_t conn_handle, uint16_t status, uint16_t error_handle,
                                 uint16_t handle, uint16_t offset, const std::vector<uint8_t>& data,
                                 event_size size) {
    event_buffer b = gattc_list_event(BLE_GATTC_EVT_READ_RSP, read_data_offset(), data, size,
                                      conn_handle, status, error_handle);
    ble_gattc_evt_read_rsp_t& r = b.gattc().params.read_rsp;
    r.handle = handle;
    r.offset = offset;
    r.len = static_cast<uint16_t>(data.size());
    return b;
}

event_buffer build_write_response(uint16_t conn_handle, uint16_t status, uint16_t error_handle,
                                  uint16_t handle, uint8_t write_op, uint16_t offset,
                                  const std::vector<uint8_t>& data, event_size size) {
    event_buffer b = gattc_list_event(BLE_GATTC_EVT_WRITE_RSP, write_data_offset(), data, size,
                                      conn_handle, status, error_handle);
    ble_gattc_evt_write_rsp_t& w = b.gattc().params.write_rsp;
    w.handle = handle;
    w.write_op = write_op;
    w.offset = offset;
    w.len = static_cast<uint16_t>(data.size());
    return b;
}

event_buffer build_hvx(uint16_t conn_handle, uint16_t handle, uint8_t type,
                       const std::vector<uint8_t>& data, event_size size) {
    event_buffer b =
        gattc_list_event(BLE_GATTC_EVT_HVX, hvx_data_offset(), data, size, conn_handle, 0, 0);
    ble_gattc_evt_hvx_t& h = b.gattc().params.hvx;
    h.handle = handle;
    h.type = type;
    h.len = static_cast<uint16_t>(data.size());
    return b;
}

event_buffer build_gattc_timeout(uint16_t conn_handle) {
    event_buffer b = gattc_event(BLE_GATTC_EVT_TIMEOUT, sizeof(ble_evt_t), event_size::whole_record,
                                 conn_handle, 0, 0);
    b.gattc().params.timeout.src = BLE_GATT_TIMEOUT_SRC_PROTOCOL;
    return b;
}

event_buffer build_write_cmd_tx_complete(uint16_t conn_handle, uint8_t count) {
    event_buffer b = gattc_event(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE, sizeof(ble_evt_t),
                                 event_size::whole_record, conn_handle, 0, 0);
    b.gattc().params.write_cmd_tx_complete.count = count;
    return b;
}
event_buffer build_other(uint16_t id, uint16_t conn_handle) {
    event_buffer b(id, sizeof(ble_evt_t));
    ble_evt_t* e = b.get();
    if (id >= BLE_GATTC_EVT_BASE && id < BLE_GATTS_EVT_BASE) {
        e->evt.gattc_evt.conn_handle = conn_handle;
        if (id == BLE_GATTC_EVT_EXCHANGE_MTU_RSP)
            e->evt.gattc_evt.params.exchange_mtu_rsp.server_rx_mtu = 247;
        return b;
    }
    if (id >= BLE_GATTS_EVT_BASE) {
        e->evt.gatts_evt.conn_handle = conn_handle;
        return b;
    }
    ble_gap_evt_t& g = e->evt.gap_evt;
    g.conn_handle = conn_handle;
    switch (id) {
        case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST:
            g.params.data_length_update_request.peer_params = {251, 251, 2120, 2120};
            break;
        case BLE_GAP_EVT_PHY_UPDATE_REQUEST:
            g.params.phy_update_request.peer_preferred_phys = {BLE_GAP_PHY_2MBPS,
                                                               BLE_GAP_PHY_2MBPS};
            break;
        case BLE_GAP_EVT_SCAN_REQ_REPORT:
            g.params.scan_req_report.adv_handle = 0;
            g.params.scan_req_report.rssi = -60;
            g.params.scan_req_report.peer_addr.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
            for (int i = 0; i < BLE_GAP_ADDR_LEN; ++i) {
                g.params.scan_req_report.peer_addr.addr[i] = static_cast<uint8_t>(0x10 + i);
            }
            g.params.scan_req_report.peer_addr.addr[5] = 0xC5;
            break;
        case BLE_GAP_EVT_ADV_SET_TERMINATED:
            g.params.adv_set_terminated.reason = 0x01;  // time-out
            g.params.adv_set_terminated.adv_handle = 0;
            break;
        default:
            break;
    }
    return b;
}

}  // namespace wire
