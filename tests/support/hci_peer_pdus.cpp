#include "tests/support/hci_peer_pdus.h"

#include "hci/att.h"
#include "hci/l2cap.h"

namespace testing_support {

namespace {

// Entry lists of the read-by responses: a length byte taken from the first entry, then the
// entries back to back.
template <typename Entry, typename Put>
std::vector<uint8_t> entry_list(uint8_t opcode, const std::vector<Entry>& entries,
                                size_t handle_bytes, Put put) {
    std::vector<uint8_t> out{opcode};
    hci::put_u8(out, static_cast<uint8_t>(
                         entries.empty() ? 0 : handle_bytes + entries.front().value.size()));
    for (const Entry& entry : entries) {
        put(out, entry);
        hci::put_bytes(out, entry.value);
    }
    return out;
}

}  // namespace

std::vector<uint8_t> uuid16(uint16_t uuid) {
    std::vector<uint8_t> out;
    hci::put_u16(out, uuid);
    return out;
}

std::vector<uint8_t> att_pdu(uint8_t opcode, hci::bytes_view parameters) {
    std::vector<uint8_t> out{opcode};
    hci::put_bytes(out, parameters);
    return out;
}

std::vector<uint8_t> att_read_by_group_type_response(const std::vector<att_group_entry>& entries) {
    return entry_list(hci::att_opcode::read_by_group_type_response, entries, 4,
                      [](std::vector<uint8_t>& out, const att_group_entry& entry) {
                          hci::put_u16(out, entry.handle);
                          hci::put_u16(out, entry.end_group_handle);
                      });
}

std::vector<uint8_t> att_read_by_type_response(const std::vector<att_type_entry>& entries) {
    return entry_list(hci::att_opcode::read_by_type_response, entries, 2,
                      [](std::vector<uint8_t>& out, const att_type_entry& entry) {
                          hci::put_u16(out, entry.handle);
                      });
}

std::vector<uint8_t> characteristic_declaration(uint8_t properties, uint16_t value_handle,
                                                hci::bytes_view uuid) {
    std::vector<uint8_t> out{properties};
    hci::put_u16(out, value_handle);
    hci::put_bytes(out, uuid);
    return out;
}

std::vector<uint8_t> att_read_response(hci::bytes_view value) {
    return att_pdu(hci::att_opcode::read_response, value);
}

std::vector<uint8_t> att_write_response() {
    return {hci::att_opcode::write_response};
}

std::vector<uint8_t> att_error_response(uint8_t request_opcode, uint16_t handle,
                                        uint8_t error_code) {
    std::vector<uint8_t> out{hci::att_opcode::error_response, request_opcode};
    hci::put_u16(out, handle);
    hci::put_u8(out, error_code);
    return out;
}

std::vector<uint8_t> att_notification(uint16_t handle, hci::bytes_view value) {
    std::vector<uint8_t> out{hci::att_opcode::handle_value_notification};
    hci::put_u16(out, handle);
    hci::put_bytes(out, value);
    return out;
}

std::vector<uint8_t> att_exchange_mtu_request(uint16_t client_rx_mtu) {
    return hci::exchange_mtu_request(client_rx_mtu);
}

std::vector<uint8_t> att_read_by_type_request(uint16_t start_handle, uint16_t end_handle,
                                              uint16_t type) {
    // A two-byte UUID always makes a request.
    return *hci::read_by_type_request(start_handle, end_handle, uuid16(type));
}

std::vector<uint8_t> signalling_command(uint8_t code, uint8_t identifier, hci::bytes_view data) {
    std::vector<uint8_t> out{code, identifier};
    hci::put_u16(out, static_cast<uint16_t>(data.size));
    hci::put_bytes(out, data);
    return out;
}

std::vector<uint8_t> connection_parameter_update_request(uint8_t identifier, uint16_t interval_min,
                                                         uint16_t interval_max, uint16_t latency,
                                                         uint16_t timeout) {
    std::vector<uint8_t> data;
    hci::put_u16(data, interval_min);
    hci::put_u16(data, interval_max);
    hci::put_u16(data, latency);
    hci::put_u16(data, timeout);
    return signalling_command(hci::signalling_code::connection_parameter_update_request, identifier,
                              data);
}

std::vector<uint8_t> unknown_signalling_command(uint8_t identifier, uint8_t code) {
    return signalling_command(code, identifier, std::vector<uint8_t>{0xDE, 0xAD});
}

std::vector<uint8_t> smp_pairing_request(const pairing_fields& fields) {
    return {smp_code::pairing_request,
            fields.io_capability,
            fields.oob_data,
            fields.auth_req,
            fields.max_key_size,
            fields.initiator_key_distribution,
            fields.responder_key_distribution};
}

std::vector<uint8_t> smp_security_request(uint8_t auth_req) {
    return {smp_code::security_request, auth_req};
}

}  // namespace testing_support
