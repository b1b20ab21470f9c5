#include "hci/host/gattc_procedure.h"

#include <algorithm>

#include "hci/att.h"

namespace hci {
namespace {

constexpr uint16_t primary_service_type = 0x2800;
constexpr uint16_t characteristic_type = 0x2803;
// Longest attribute value ATT allows.
constexpr size_t max_attribute_length = 512;

std::vector<uint8_t> uuid16_bytes(uint16_t uuid) {
    std::vector<uint8_t> out;
    put_u16(out, uuid);
    return out;
}

uint8_t request_opcode(const gattc_procedure& p) {
    switch (p.what) {
        case gattc_procedure::kind::services:
            return p.service_uuid ? att_opcode::find_by_type_value_request
                                  : att_opcode::read_by_group_type_request;
        case gattc_procedure::kind::characteristics:
            return att_opcode::read_by_type_request;
        case gattc_procedure::kind::descriptors:
            return att_opcode::find_information_request;
        case gattc_procedure::kind::read:
            return p.offset == 0 ? att_opcode::read_request : att_opcode::read_blob_request;
        case gattc_procedure::kind::write_request:
            return att_opcode::write_request;
        case gattc_procedure::kind::write_command:
            return att_opcode::write_command;
    }
    return 0;
}

uint8_t response_opcode(const gattc_procedure& p) {
    switch (p.what) {
        case gattc_procedure::kind::services:
            return p.service_uuid ? att_opcode::find_by_type_value_response
                                  : att_opcode::read_by_group_type_response;
        case gattc_procedure::kind::characteristics:
            return att_opcode::read_by_type_response;
        case gattc_procedure::kind::descriptors:
            return att_opcode::find_information_response;
        case gattc_procedure::kind::read:
            return p.offset == 0 ? att_opcode::read_response : att_opcode::read_blob_response;
        case gattc_procedure::kind::write_request:
            return att_opcode::write_response;
        case gattc_procedure::kind::write_command:
            return 0;
    }
    return 0;
}

// 16-bit UUIDs as the stack knows them; 128-bit ones are unknown to a stack with no vendor
// base registered, which is how the program's discovery expects to meet them.
ble_uuid_t reported_uuid(bytes_view uuid) {
    ble_uuid_t out{};
    if (uuid.size == 2) {
        byte_reader r(uuid);
        out.type = BLE_UUID_TYPE_BLE;
        out.uuid = r.u16();
    } else {
        out.type = BLE_UUID_TYPE_UNKNOWN;
        out.uuid = 0;
    }
    return out;
}

wire::event_buffer error_event(uint16_t conn, const gattc_procedure& p, uint16_t status,
                               uint16_t error_handle) {
    switch (p.what) {
        case gattc_procedure::kind::services:
            return wire::build_services_response(conn, status, error_handle, {});
        case gattc_procedure::kind::characteristics:
            return wire::build_characteristics_response(conn, status, error_handle, {});
        case gattc_procedure::kind::descriptors:
            return wire::build_descriptors_response(conn, status, error_handle, {});
        case gattc_procedure::kind::read:
            return wire::build_read_response(conn, status, error_handle, p.handle, p.offset, {});
        case gattc_procedure::kind::write_request:
        case gattc_procedure::kind::write_command:
            break;
    }
    return wire::build_write_response(conn, status, error_handle, p.handle, p.write_op, p.offset,
                                      {});
}

std::optional<wire::event_buffer> services_event(uint16_t conn, const gattc_procedure& p,
                                                 bytes_view pdu) {
    std::vector<ble_gattc_service_t> services;
    if (p.service_uuid) {
        byte_reader r(pdu);
        r.u8();
        if (r.remaining() == 0 || r.remaining() % 4 != 0) return std::nullopt;
        while (r.remaining() > 0) {
            ble_gattc_service_t s{};
            s.handle_range.start_handle = r.u16();
            s.handle_range.end_handle = r.u16();
            s.uuid.type = BLE_UUID_TYPE_BLE;
            s.uuid.uuid = *p.service_uuid;
            services.push_back(s);
        }
    } else {
        const auto entries = parse_read_by_group_type_response(pdu);
        if (!entries) return std::nullopt;
        for (const group_entry& e : *entries) {
            if (e.value.size != 2 && e.value.size != 16) return std::nullopt;
            ble_gattc_service_t s{};
            s.handle_range.start_handle = e.handle;
            s.handle_range.end_handle = e.end_group_handle;
            s.uuid = reported_uuid(e.value);
            services.push_back(s);
        }
    }
    return wire::build_services_response(conn, BLE_GATT_STATUS_SUCCESS, 0, services);
}

std::optional<wire::event_buffer> characteristics_event(uint16_t conn, bytes_view pdu) {
    const auto entries = parse_read_by_type_response(pdu);
    if (!entries) return std::nullopt;
    std::vector<ble_gattc_char_t> chars;
    for (const type_entry& e : *entries) {
        // Properties, value handle, then a 16-bit or 128-bit UUID.
        if (e.value.size != 5 && e.value.size != 19) return std::nullopt;
        byte_reader r(e.value);
        const uint8_t props = r.u8();
        ble_gattc_char_t c{};
        c.handle_decl = e.handle;
        c.handle_value = r.u16();
        c.uuid = reported_uuid(r.rest());
        c.char_props.broadcast = (props & 0x01) != 0;
        c.char_props.read = (props & 0x02) != 0;
        c.char_props.write_wo_resp = (props & 0x04) != 0;
        c.char_props.write = (props & 0x08) != 0;
        c.char_props.notify = (props & 0x10) != 0;
        c.char_props.indicate = (props & 0x20) != 0;
        c.char_props.auth_signed_wr = (props & 0x40) != 0;
        c.char_ext_props = (props & 0x80) != 0;
        chars.push_back(c);
    }
    return wire::build_characteristics_response(conn, BLE_GATT_STATUS_SUCCESS, 0, chars);
}

std::optional<wire::event_buffer> descriptors_event(uint16_t conn, bytes_view pdu) {
    const auto entries = parse_find_information_response(pdu);
    if (!entries) return std::nullopt;
    std::vector<ble_gattc_desc_t> descs;
    for (const information_entry& e : *entries) {
        ble_gattc_desc_t d{};
        d.handle = e.handle;
        d.uuid = reported_uuid(e.value);
        descs.push_back(d);
    }
    return wire::build_descriptors_response(conn, BLE_GATT_STATUS_SUCCESS, 0, descs);
}

}  // namespace

uint16_t gatt_status_of_att_error(uint8_t error_code) {
    // ATT error codes sit above the GATT status base; 0 is no error code at all.
    if (error_code == 0) return BLE_GATT_STATUS_ATTERR_INVALID;
    return static_cast<uint16_t>(BLE_GATT_STATUS_ATTERR_INVALID + error_code);
}

std::vector<uint8_t> request_pdu(const gattc_procedure& p) {
    switch (p.what) {
        case gattc_procedure::kind::services:
            if (p.service_uuid) {
                std::vector<uint8_t> out{att_opcode::find_by_type_value_request};
                put_u16(out, p.start_handle);
                put_u16(out, 0xFFFF);
                put_u16(out, primary_service_type);
                put_u16(out, *p.service_uuid);
                return out;
            }
            return *read_by_group_type_request(p.start_handle, 0xFFFF,
                                               uuid16_bytes(primary_service_type));
        case gattc_procedure::kind::characteristics:
            return *read_by_type_request(p.start_handle, p.end_handle,
                                         uuid16_bytes(characteristic_type));
        case gattc_procedure::kind::descriptors:
            return find_information_request(p.start_handle, p.end_handle);
        case gattc_procedure::kind::read:
            if (p.offset != 0) {
                std::vector<uint8_t> out{att_opcode::read_blob_request};
                put_u16(out, p.handle);
                put_u16(out, p.offset);
                return out;
            }
            return read_request(p.handle);
        case gattc_procedure::kind::write_request:
            return write_request(p.handle, p.value);
        case gattc_procedure::kind::write_command:
            return write_command(p.handle, p.value);
    }
    return {};
}

gattc_answer answer_for(uint16_t conn, const gattc_procedure& p, bytes_view pdu, uint16_t att_mtu) {
    gattc_answer out;
    const auto opcode = att_opcode_of(pdu);
    if (!opcode || !p.expects_answer()) return out;
    if (*opcode == att_opcode::error_response) {
        const auto error = parse_error_response(pdu);
        if (error && error->request_opcode != request_opcode(p)) return out;
        out.is_answer = true;
        out.event =
            error ? error_event(conn, p, gatt_status_of_att_error(error->error_code), error->handle)
                  : error_event(conn, p, BLE_GATT_STATUS_ATTERR_INVALID_PDU, 0);
        return out;
    }
    if (*opcode != response_opcode(p)) return out;
    out.is_answer = true;
    if (pdu.size > att_mtu) {
        // No server may send more than the MTU in force: what came is not what it meant to
        // send, and a cut copy would pass for the whole value.
        out.event = error_event(conn, p, BLE_GATT_STATUS_ATTERR_INVALID_PDU, 0);
        return out;
    }
    std::optional<wire::event_buffer> event;
    switch (p.what) {
        case gattc_procedure::kind::services:
            event = services_event(conn, p, pdu);
            break;
        case gattc_procedure::kind::characteristics:
            event = characteristics_event(conn, pdu);
            break;
        case gattc_procedure::kind::descriptors:
            event = descriptors_event(conn, pdu);
            break;
        case gattc_procedure::kind::read: {
            byte_reader r(pdu);
            r.u8();
            const bytes_view value = r.rest();
            // No attribute is longer; a longer answer is malformed, never a shortened success.
            if (value.size > max_attribute_length) break;
            event = wire::build_read_response(conn, BLE_GATT_STATUS_SUCCESS, 0, p.handle, p.offset,
                                              value.to_vector());
            break;
        }
        case gattc_procedure::kind::write_request:
            if (is_write_response(pdu)) {
                event = wire::build_write_response(conn, BLE_GATT_STATUS_SUCCESS, 0, p.handle,
                                                   p.write_op, p.offset, p.value);
            }
            break;
        case gattc_procedure::kind::write_command:
            break;
    }
    out.event = event ? std::move(event)
                      : std::optional<wire::event_buffer>(
                            error_event(conn, p, BLE_GATT_STATUS_ATTERR_INVALID_PDU, 0));
    return out;
}

}  // namespace hci
