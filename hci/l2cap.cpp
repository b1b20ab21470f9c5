#include "hci/l2cap.h"

namespace hci {

namespace {

std::vector<uint8_t> signalling_pdu(uint8_t code, uint8_t identifier,
                                    const std::vector<uint8_t>& data) {
    std::vector<uint8_t> payload;
    put_u8(payload, code);
    put_u8(payload, identifier);
    put_u16(payload, static_cast<uint16_t>(data.size()));
    put_bytes(payload, data);
    // Signalling payloads here are a dozen bytes: the length always fits.
    return *l2cap_pdu(cid::le_signalling, payload);
}

}  // namespace

std::optional<l2cap_frame> parse_l2cap_frame(bytes_view pdu) {
    byte_reader in(pdu);
    const uint16_t length = in.u16();
    l2cap_frame out;
    out.channel_id = in.u16();
    out.payload = in.view(length);
    if (!in.done()) return std::nullopt;
    return out;
}

std::optional<std::vector<uint8_t>> l2cap_pdu(uint16_t channel_id, bytes_view payload) {
    if (payload.size > 0xFFFF) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(4 + payload.size);
    put_u16(out, static_cast<uint16_t>(payload.size));
    put_u16(out, channel_id);
    put_bytes(out, payload);
    return out;
}

std::optional<signalling_command> parse_signalling_command(bytes_view payload) {
    byte_reader in(payload);
    signalling_command out;
    out.code = in.u8();
    out.identifier = in.u8();
    const uint16_t length = in.u16();
    out.data = in.view(length);
    if (!in.done() || out.identifier == 0) return std::nullopt;
    return out;
}

std::optional<connection_parameter_update_request> parse_connection_parameter_update_request(
    const signalling_command& command) {
    if (command.code != signalling_code::connection_parameter_update_request) {
        return std::nullopt;
    }
    byte_reader in(command.data);
    connection_parameter_update_request out;
    out.identifier = command.identifier;
    out.interval_min = in.u16();
    out.interval_max = in.u16();
    out.latency = in.u16();
    out.timeout = in.u16();
    if (!in.done()) return std::nullopt;
    return out;
}

std::optional<connection_parameter_update_response> parse_connection_parameter_update_response(
    const signalling_command& command) {
    if (command.code != signalling_code::connection_parameter_update_response) {
        return std::nullopt;
    }
    byte_reader in(command.data);
    connection_parameter_update_response out;
    out.identifier = command.identifier;
    out.result = in.u16();
    if (!in.done()) return std::nullopt;
    return out;
}

std::optional<command_reject> parse_command_reject(const signalling_command& command) {
    if (command.code != signalling_code::command_reject) return std::nullopt;
    byte_reader in(command.data);
    command_reject out;
    out.identifier = command.identifier;
    out.reason = in.u16();
    out.data = in.rest();
    if (!in.ok()) return std::nullopt;
    return out;
}

std::vector<uint8_t> connection_parameter_update_request_pdu(
    const connection_parameter_update_request& request) {
    std::vector<uint8_t> data;
    put_u16(data, request.interval_min);
    put_u16(data, request.interval_max);
    put_u16(data, request.latency);
    put_u16(data, request.timeout);
    return signalling_pdu(signalling_code::connection_parameter_update_request, request.identifier,
                          data);
}

std::vector<uint8_t> connection_parameter_update_response_pdu(uint8_t identifier, uint16_t result) {
    std::vector<uint8_t> data;
    put_u16(data, result);
    return signalling_pdu(signalling_code::connection_parameter_update_response, identifier, data);
}

std::vector<uint8_t> command_reject_pdu(uint8_t identifier, uint16_t reason) {
    std::vector<uint8_t> data;
    put_u16(data, reason);
    return signalling_pdu(signalling_code::command_reject, identifier, data);
}

}  // namespace hci
