#include "hci/host/local_answers.h"

#include "hci/att.h"
#include "hci/l2cap.h"

namespace hci {
namespace {

constexpr uint8_t smp_pairing_request = 0x01;
constexpr uint8_t smp_pairing_failed = 0x05;
constexpr uint8_t smp_security_request = 0x0B;
constexpr uint8_t smp_pairing_not_supported = 0x05;

bool is_discovery(uint8_t opcode) {
    return opcode == att_opcode::find_information_request ||
           opcode == att_opcode::find_by_type_value_request ||
           opcode == att_opcode::read_by_type_request ||
           opcode == att_opcode::read_by_group_type_request;
}

}  // namespace

std::optional<std::vector<uint8_t>> att_server_answer(bytes_view pdu, uint16_t our_mtu) {
    const auto opcode = att_opcode_of(pdu);
    if (!opcode) return std::nullopt;
    // Commands are never answered; responses, notifications and indications (odd opcodes)
    // and confirmations are a client's business, not a server's.
    if ((*opcode & att_opcode::command_flag) != 0 || (*opcode & 1) != 0 ||
        *opcode == att_opcode::handle_value_confirmation) {
        return std::nullopt;
    }
    if (*opcode == att_opcode::exchange_mtu_request) {
        if (!parse_exchange_mtu(pdu, *opcode)) {
            return error_response(*opcode, 0, att_error_code::request_not_supported);
        }
        return exchange_mtu_response(our_mtu);
    }
    byte_reader r(pdu);
    r.u8();
    // Requests that name a handle name it first; a short PDU names none.
    const uint16_t handle = r.remaining() >= 2 ? r.u16() : 0;
    if (is_discovery(*opcode))
        return error_response(*opcode, handle, att_error_code::attribute_not_found);
    return error_response(*opcode, handle, att_error_code::request_not_supported);
}

std::optional<std::vector<uint8_t>> security_manager_answer(bytes_view payload) {
    if (payload.size == 0) return std::nullopt;
    const uint8_t code = payload.data[0];
    if (code != smp_pairing_request && code != smp_security_request) return std::nullopt;
    return std::vector<uint8_t>{smp_pairing_failed, smp_pairing_not_supported};
}

std::optional<std::vector<uint8_t>> signalling_reject(bytes_view payload) {
    // Code and identifier are enough to reject; a frame without them cannot be answered.
    if (payload.size < 2) return std::nullopt;
    const uint8_t code = payload.data[0];
    const uint8_t identifier = payload.data[1];
    if (identifier == 0 || code == signalling_code::command_reject ||
        code == signalling_code::connection_parameter_update_response) {
        return std::nullopt;
    }
    return command_reject_pdu(identifier, reject_reason::command_not_understood);
}

}  // namespace hci
