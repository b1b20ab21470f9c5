#include "sim/air_capture/att_pdu.h"

#include <algorithm>
#include <variant>

#include "driver/ble_gatt.h"
#include "hci/att.h"
#include "hci/l2cap.h"

namespace sim::air {
namespace {

namespace opcode = hci::att_opcode;

constexpr uint16_t last_handle = 0xFFFF;

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

uint8_t request_opcode(const gatt_request& r) {
    switch (r.procedure) {
        case gatt_procedure::services:
            return r.service_uuid ? opcode::find_by_type_value_request
                                  : opcode::read_by_group_type_request;
        case gatt_procedure::characteristics:
            return opcode::read_by_type_request;
        case gatt_procedure::read:
            return r.offset == 0 ? opcode::read_request : opcode::read_blob_request;
        case gatt_procedure::write:
            return r.write_op == BLE_GATT_OP_WRITE_CMD ? opcode::write_command
                                                       : opcode::write_request;
        case gatt_procedure::descriptors:
            return opcode::find_information_request;
    }
    return opcode::read_request;
}

// A status from the stack's ATT error range carries the error code in its low byte; any
// other failure goes on the air as an unlikely error.
uint8_t att_error_of(uint16_t status) {
    if (status >= 0x0101 && status <= 0x01FF) return static_cast<uint8_t>(status & 0xFF);
    return hci::att_error_code::unlikely_error;
}

std::vector<uint8_t> uuid16_bytes(uint16_t uuid) {
    return {static_cast<uint8_t>(uuid), static_cast<uint8_t>(uuid >> 8)};
}

// The UUID of the attribute whose declaration is at `handle`, as the server sends it.
std::vector<uint8_t> uuid_on_air(const ble_uuid_t& reported, uint16_t handle, bool is_service,
                                 const std::vector<gatt_service_def>& database) {
    if (reported.type == BLE_UUID_TYPE_BLE) return uuid16_bytes(reported.uuid);
    for (const gatt_service_def& s : database) {
        if (is_service) {
            if (s.start_handle == handle) return s.uuid.air_bytes();
            continue;
        }
        const auto c = std::find_if(
            s.characteristics.begin(), s.characteristics.end(),
            [handle](const gatt_characteristic_def& d) { return d.decl_handle == handle; });
        if (c != s.characteristics.end()) return c->uuid.air_bytes();
    }
    // Not in the database (a crafted answer): the base is unknown, only octets 12-13 are.
    std::vector<uint8_t> bytes(16, 0);
    bytes[12] = static_cast<uint8_t>(reported.uuid);
    bytes[13] = static_cast<uint8_t>(reported.uuid >> 8);
    return bytes;
}

// A list response's entries share one length: those of the first entry's length go, as a
// server would send them; the rest would follow in a later request.
std::vector<uint8_t> entry_list(uint8_t op, const std::vector<std::vector<uint8_t>>& entries) {
    std::vector<uint8_t> out{op, static_cast<uint8_t>(entries.front().size())};
    for (const auto& e : entries) {
        if (e.size() == entries.front().size()) out.insert(out.end(), e.begin(), e.end());
    }
    return out;
}

uint8_t properties_of(const ble_gattc_char_t& c) {
    const ble_gatt_char_props_t& p = c.char_props;
    return static_cast<uint8_t>(
        (p.broadcast ? gatt_prop_broadcast : 0) | (p.read ? gatt_prop_read : 0) |
        (p.write_wo_resp ? gatt_prop_write_without_response : 0) | (p.write ? gatt_prop_write : 0) |
        (p.notify ? gatt_prop_notify : 0) | (p.indicate ? gatt_prop_indicate : 0) |
        (p.auth_signed_wr ? gatt_prop_authenticated_signed_writes : 0) |
        (c.char_ext_props ? gatt_prop_extended_properties : 0));
}

std::vector<uint8_t> services_answer(const gatt_request& request, const services_response& r,
                                     const std::vector<gatt_service_def>& database) {
    std::vector<std::vector<uint8_t>> entries;
    for (const ble_gattc_service_t& s : r.services) {
        std::vector<uint8_t> e;
        put16(e, s.handle_range.start_handle);
        put16(e, s.handle_range.end_handle);
        if (!request.service_uuid) {
            const auto uuid = uuid_on_air(s.uuid, s.handle_range.start_handle, true, database);
            e.insert(e.end(), uuid.begin(), uuid.end());
        }
        entries.push_back(std::move(e));
    }
    if (entries.empty()) {
        return hci::error_response(request_opcode(request), request.handle,
                                   hci::att_error_code::attribute_not_found);
    }
    if (request.service_uuid) {
        std::vector<uint8_t> out{opcode::find_by_type_value_response};
        for (const auto& e : entries) out.insert(out.end(), e.begin(), e.end());
        return out;
    }
    return entry_list(opcode::read_by_group_type_response, entries);
}

std::vector<uint8_t> characteristics_answer(const gatt_request& request,
                                            const characteristics_response& r,
                                            const std::vector<gatt_service_def>& database) {
    std::vector<std::vector<uint8_t>> entries;
    for (const ble_gattc_char_t& c : r.chars) {
        std::vector<uint8_t> e;
        put16(e, c.handle_decl);
        e.push_back(properties_of(c));
        put16(e, c.handle_value);
        const auto uuid = uuid_on_air(c.uuid, c.handle_decl, false, database);
        e.insert(e.end(), uuid.begin(), uuid.end());
        entries.push_back(std::move(e));
    }
    if (entries.empty()) {
        return hci::error_response(opcode::read_by_type_request, request.handle,
                                   hci::att_error_code::attribute_not_found);
    }
    return entry_list(opcode::read_by_type_response, entries);
}

// The type of the attribute at `handle` as Find Information carries it: the database's
// UUID for a 128-bit one, which the answer's record reports only as unknown.
std::vector<uint8_t> attribute_type_on_air(const ble_gattc_desc_t& d,
                                           const std::vector<gatt_service_def>& database) {
    if (d.uuid.type == BLE_UUID_TYPE_BLE) return uuid16_bytes(d.uuid.uuid);
    for (const gatt_service_def& s : database) {
        for (const gatt_characteristic_def& c : s.characteristics) {
            if (c.value_handle == d.handle) return c.uuid.air_bytes();
            const auto desc =
                std::find_if(c.descriptors.begin(), c.descriptors.end(),
                             [&d](const gatt_descriptor_def& e) { return e.handle == d.handle; });
            if (desc != c.descriptors.end()) return desc->uuid.air_bytes();
        }
    }
    return std::vector<uint8_t>(16, 0);
}

std::vector<uint8_t> descriptors_answer(const gatt_request& request, const descriptors_response& r,
                                        const std::vector<gatt_service_def>& database) {
    // Format 1 lists 16-bit types, format 2 128-bit ones; a response holds one format.
    constexpr uint8_t format_16 = 1;
    constexpr uint8_t format_128 = 2;
    std::vector<uint8_t> out{opcode::find_information_response, 0};
    for (const ble_gattc_desc_t& d : r.descs) {
        const std::vector<uint8_t> type = attribute_type_on_air(d, database);
        const uint8_t format = type.size() == 2 ? format_16 : format_128;
        if (out[1] == 0) out[1] = format;
        if (format != out[1]) break;
        put16(out, d.handle);
        out.insert(out.end(), type.begin(), type.end());
    }
    if (out[1] == 0) {
        return hci::error_response(opcode::find_information_request, request.handle,
                                   hci::att_error_code::attribute_not_found);
    }
    return out;
}

}  // namespace

std::vector<uint8_t> att_request(const gatt_request& r) {
    const uint8_t op = request_opcode(r);
    std::vector<uint8_t> out{op};
    switch (r.procedure) {
        case gatt_procedure::services:
            put16(out, r.handle);
            put16(out, last_handle);
            put16(out, gatt_uuid_primary_service);
            if (r.service_uuid) put16(out, *r.service_uuid);
            break;
        case gatt_procedure::characteristics:
            put16(out, r.handle);
            put16(out, r.end_handle);
            put16(out, gatt_uuid_characteristic);
            break;
        case gatt_procedure::read:
            put16(out, r.handle);
            if (op == opcode::read_blob_request) put16(out, r.offset);
            break;
        case gatt_procedure::write:
            put16(out, r.handle);
            out.insert(out.end(), r.value.begin(), r.value.end());
            break;
        case gatt_procedure::descriptors:
            put16(out, r.handle);
            put16(out, r.end_handle);
            break;
    }
    return out;
}

std::optional<std::vector<uint8_t>> att_answer(const gatt_request& request,
                                               const gatt_reply::response& answer,
                                               const std::vector<gatt_service_def>& database) {
    const uint8_t op = request_opcode(request);
    const auto failed = [op](uint16_t status, uint16_t handle) {
        return hci::error_response(op, handle, att_error_of(status));
    };
    if (const auto* s = std::get_if<services_response>(&answer)) {
        if (s->status != BLE_GATT_STATUS_SUCCESS) return failed(s->status, s->error_handle);
        return services_answer(request, *s, database);
    }
    if (const auto* c = std::get_if<characteristics_response>(&answer)) {
        if (c->status != BLE_GATT_STATUS_SUCCESS) return failed(c->status, c->error_handle);
        return characteristics_answer(request, *c, database);
    }
    if (const auto* d = std::get_if<descriptors_response>(&answer)) {
        if (d->status != BLE_GATT_STATUS_SUCCESS) return failed(d->status, d->error_handle);
        return descriptors_answer(request, *d, database);
    }
    if (const auto* r = std::get_if<read_response>(&answer)) {
        if (r->status != BLE_GATT_STATUS_SUCCESS) return failed(r->status, r->error_handle);
        std::vector<uint8_t> out{op == opcode::read_blob_request ? opcode::read_blob_response
                                                                 : opcode::read_response};
        out.insert(out.end(), r->data.begin(), r->data.end());
        return out;
    }
    if (const auto* w = std::get_if<write_response>(&answer)) {
        if (op == opcode::write_command) return std::nullopt;
        if (w->status != BLE_GATT_STATUS_SUCCESS) return failed(w->status, w->error_handle);
        return std::vector<uint8_t>{opcode::write_response};
    }
    return std::nullopt;
}

std::vector<uint8_t> att_notification(const notification& n) {
    std::vector<uint8_t> out{opcode::handle_value_notification};
    put16(out, n.handle);
    out.insert(out.end(), n.data.begin(), n.data.end());
    return out;
}

std::vector<uint8_t> l2cap_att_frame(const std::vector<uint8_t>& att_pdu) {
    return hci::l2cap_pdu(hci::cid::att, att_pdu).value_or(std::vector<uint8_t>{});
}

}  // namespace sim::air
