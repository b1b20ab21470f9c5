// L2CAP basic frames on an LE link and the few commands of the LE signalling channel (CID
// 0x0005) the backend needs: connection parameter update request and response, command
// reject.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "hci/bytes.h"

namespace hci {

namespace cid {
constexpr uint16_t att = 0x0004;
constexpr uint16_t le_signalling = 0x0005;
constexpr uint16_t security_manager = 0x0006;
}  // namespace cid

struct l2cap_frame {
    uint16_t channel_id = 0;
    bytes_view payload;  // inside the PDU
};
// A whole PDU (basic header and payload); nullopt if the header's length disagrees with
// the bytes present.
std::optional<l2cap_frame> parse_l2cap_frame(bytes_view pdu);
// Payloads over 65535 bytes do not fit the length field: nullopt.
std::optional<std::vector<uint8_t>> l2cap_pdu(uint16_t channel_id, bytes_view payload);

namespace signalling_code {
constexpr uint8_t command_reject = 0x01;
constexpr uint8_t connection_parameter_update_request = 0x12;
constexpr uint8_t connection_parameter_update_response = 0x13;
}  // namespace signalling_code

namespace reject_reason {
constexpr uint16_t command_not_understood = 0x0000;
constexpr uint16_t signalling_mtu_exceeded = 0x0001;
constexpr uint16_t invalid_cid = 0x0002;
}  // namespace reject_reason

// One command of an LE signalling frame; on LE a frame carries exactly one.
struct signalling_command {
    uint8_t code = 0;
    uint8_t identifier = 0;  // never 0: that value is reserved
    bytes_view data;
};
std::optional<signalling_command> parse_signalling_command(bytes_view payload);

// Intervals in 1.25 ms, timeout in 10 ms.
struct connection_parameter_update_request {
    uint8_t identifier = 0;
    uint16_t interval_min = 0;
    uint16_t interval_max = 0;
    uint16_t latency = 0;
    uint16_t timeout = 0;
};
std::optional<connection_parameter_update_request> parse_connection_parameter_update_request(
    const signalling_command& command);

struct connection_parameter_update_response {
    uint8_t identifier = 0;
    uint16_t result = 0;  // 0 accepted, 1 rejected
};
std::optional<connection_parameter_update_response> parse_connection_parameter_update_response(
    const signalling_command& command);

struct command_reject {
    uint8_t identifier = 0;
    uint16_t reason = 0;
    bytes_view data;  // what the reason calls for, if anything
};
std::optional<command_reject> parse_command_reject(const signalling_command& command);

// Whole L2CAP PDUs on the LE signalling channel, ready for acl_fragments.
std::vector<uint8_t> connection_parameter_update_request_pdu(
    const connection_parameter_update_request& request);
std::vector<uint8_t> connection_parameter_update_response_pdu(uint8_t identifier, uint16_t result);
std::vector<uint8_t> command_reject_pdu(uint8_t identifier, uint16_t reason);

}  // namespace hci
