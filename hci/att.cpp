#include "hci/att.h"

namespace hci {

namespace {

bool is_uuid_length(size_t size) {
    return size == 2 || size == 16;
}

std::vector<uint8_t> handle_request(uint8_t opcode, uint16_t handle, bytes_view value) {
    std::vector<uint8_t> out;
    put_u8(out, opcode);
    put_u16(out, handle);
    put_bytes(out, value);
    return out;
}

std::optional<std::vector<uint8_t>> range_request(uint8_t opcode, uint16_t start_handle,
                                                  uint16_t end_handle, bytes_view type_uuid) {
    if (!is_uuid_length(type_uuid.size)) return std::nullopt;
    std::vector<uint8_t> out;
    put_u8(out, opcode);
    put_u16(out, start_handle);
    put_u16(out, end_handle);
    put_bytes(out, type_uuid);
    return out;
}

// The reader past the opcode, if the PDU starts with `opcode`.
std::optional<byte_reader> body_of(bytes_view pdu, uint8_t opcode) {
    byte_reader in(pdu);
    if (in.u8() != opcode || !in.ok()) return std::nullopt;
    return in;
}

// A length byte and a list of entries that long, each `handle_bytes` of handles and then a
// value of at least one byte.
template <typename Entry, typename Fill>
std::optional<std::vector<Entry>> parse_entry_list(bytes_view pdu, uint8_t opcode,
                                                   size_t handle_bytes, Fill fill) {
    auto in = body_of(pdu, opcode);
    if (!in) return std::nullopt;
    const size_t entry_length = in->u8();
    if (!in->ok() || entry_length <= handle_bytes) return std::nullopt;
    const size_t list_length = in->remaining();
    if (list_length == 0 || list_length % entry_length != 0) return std::nullopt;
    std::vector<Entry> out(list_length / entry_length);
    for (Entry& entry : out) {
        byte_reader element(in->view(entry_length));
        fill(element, entry);
        entry.value = element.rest();
    }
    return out;
}

}  // namespace

std::optional<uint8_t> att_opcode_of(bytes_view pdu) {
    if (pdu.size == 0) return std::nullopt;
    return pdu.data[0];
}

std::vector<uint8_t> exchange_mtu_request(uint16_t client_rx_mtu) {
    std::vector<uint8_t> out{att_opcode::exchange_mtu_request};
    put_u16(out, client_rx_mtu);
    return out;
}

std::vector<uint8_t> exchange_mtu_response(uint16_t server_rx_mtu) {
    std::vector<uint8_t> out{att_opcode::exchange_mtu_response};
    put_u16(out, server_rx_mtu);
    return out;
}

std::optional<std::vector<uint8_t>> read_by_group_type_request(uint16_t start_handle,
                                                               uint16_t end_handle,
                                                               bytes_view type_uuid) {
    return range_request(att_opcode::read_by_group_type_request, start_handle, end_handle,
                         type_uuid);
}

std::optional<std::vector<uint8_t>> read_by_type_request(uint16_t start_handle, uint16_t end_handle,
                                                         bytes_view type_uuid) {
    return range_request(att_opcode::read_by_type_request, start_handle, end_handle, type_uuid);
}

std::vector<uint8_t> find_information_request(uint16_t start_handle, uint16_t end_handle) {
    std::vector<uint8_t> out;
    put_u8(out, att_opcode::find_information_request);
    put_u16(out, start_handle);
    put_u16(out, end_handle);
    return out;
}

std::vector<uint8_t> read_request(uint16_t handle) {
    return handle_request(att_opcode::read_request, handle, {});
}

std::vector<uint8_t> write_request(uint16_t handle, bytes_view value) {
    return handle_request(att_opcode::write_request, handle, value);
}

std::vector<uint8_t> write_command(uint16_t handle, bytes_view value) {
    return handle_request(att_opcode::write_command, handle, value);
}

std::optional<att_error> parse_error_response(bytes_view pdu) {
    auto in = body_of(pdu, att_opcode::error_response);
    if (!in) return std::nullopt;
    att_error out;
    out.request_opcode = in->u8();
    out.handle = in->u16();
    out.error_code = in->u8();
    if (!in->done()) return std::nullopt;
    return out;
}

std::optional<uint16_t> parse_exchange_mtu(bytes_view pdu, uint8_t opcode) {
    if (opcode != att_opcode::exchange_mtu_request && opcode != att_opcode::exchange_mtu_response)
        return std::nullopt;
    auto in = body_of(pdu, opcode);
    if (!in) return std::nullopt;
    const uint16_t mtu = in->u16();
    if (!in->done()) return std::nullopt;
    return mtu;
}

std::optional<std::vector<group_entry>> parse_read_by_group_type_response(bytes_view pdu) {
    return parse_entry_list<group_entry>(pdu, att_opcode::read_by_group_type_response, 4,
                                         [](byte_reader& in, group_entry& entry) {
                                             entry.handle = in.u16();
                                             entry.end_group_handle = in.u16();
                                         });
}

std::optional<std::vector<type_entry>> parse_read_by_type_response(bytes_view pdu) {
    return parse_entry_list<type_entry>(
        pdu, att_opcode::read_by_type_response, 2,
        [](byte_reader& in, type_entry& entry) { entry.handle = in.u16(); });
}

std::optional<std::vector<information_entry>> parse_find_information_response(bytes_view pdu) {
    constexpr uint8_t format_uuid16 = 1;
    constexpr uint8_t format_uuid128 = 2;
    auto in = body_of(pdu, att_opcode::find_information_response);
    if (!in) return std::nullopt;
    const uint8_t format = in->u8();
    if (!in->ok() || (format != format_uuid16 && format != format_uuid128)) return std::nullopt;
    const size_t type_length = format == format_uuid16 ? 2 : 16;
    const size_t entry_length = 2 + type_length;
    const size_t list_length = in->remaining();
    if (list_length == 0 || list_length % entry_length != 0) return std::nullopt;
    std::vector<information_entry> out(list_length / entry_length);
    for (information_entry& entry : out) {
        entry.handle = in->u16();
        entry.value = in->view(type_length);
    }
    return out;
}

std::optional<bytes_view> parse_read_response(bytes_view pdu) {
    auto in = body_of(pdu, att_opcode::read_response);
    if (!in) return std::nullopt;
    return in->rest();
}

bool is_write_response(bytes_view pdu) {
    return pdu.size == 1 && pdu.data[0] == att_opcode::write_response;
}

std::optional<handle_value> parse_notification(bytes_view pdu) {
    auto in = body_of(pdu, att_opcode::handle_value_notification);
    if (!in) return std::nullopt;
    handle_value out;
    out.handle = in->u16();
    out.value = in->rest();
    if (!in->ok()) return std::nullopt;
    return out;
}

std::vector<uint8_t> error_response(uint8_t request_opcode, uint16_t handle, uint8_t error_code) {
    std::vector<uint8_t> out{att_opcode::error_response, request_opcode};
    put_u16(out, handle);
    out.push_back(error_code);
    return out;
}

}  // namespace hci
