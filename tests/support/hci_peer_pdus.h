// What a peer sends over an LE link, as channel payloads (no L2CAP basic header): ATT PDUs
// for channel 0x0004, LE signalling commands for 0x0005 and Security Manager commands for
// 0x0006. scripted_controller::deliver_l2cap puts the header in front and fragments them.
// Requests a host makes of a phone (Exchange MTU, Read By Type) are built by hci/att.h;
// those below are the peer's side, with a few requests a peer may make of the host.
#pragma once

#include <cstdint>
#include <vector>

#include "hci/bytes.h"

namespace testing_support {

namespace att_error_code {
constexpr uint8_t invalid_handle = 0x01;
constexpr uint8_t read_not_permitted = 0x02;
constexpr uint8_t write_not_permitted = 0x03;
constexpr uint8_t request_not_supported = 0x06;
constexpr uint8_t attribute_not_found = 0x0A;
constexpr uint8_t invalid_attribute_value_length = 0x0D;
constexpr uint8_t unsupported_group_type = 0x10;
}  // namespace att_error_code

// A 16-bit UUID as it travels: two bytes, least significant first.
std::vector<uint8_t> uuid16(uint16_t uuid);

// Any ATT PDU: the opcode and what follows it.
std::vector<uint8_t> att_pdu(uint8_t opcode, hci::bytes_view parameters);

struct att_group_entry {
    uint16_t handle = 0;
    uint16_t end_group_handle = 0;
    std::vector<uint8_t> value;  // the service UUID
};
// The length byte is the first entry's; entries of another length make a malformed response,
// which is how a test builds one.
std::vector<uint8_t> att_read_by_group_type_response(const std::vector<att_group_entry>& entries);

struct att_type_entry {
    uint16_t handle = 0;
    std::vector<uint8_t> value;
};
std::vector<uint8_t> att_read_by_type_response(const std::vector<att_type_entry>& entries);
// A characteristic declaration's value: properties, value handle, UUID.
std::vector<uint8_t> characteristic_declaration(uint8_t properties, uint16_t value_handle,
                                                hci::bytes_view uuid);

std::vector<uint8_t> att_read_response(hci::bytes_view value);
std::vector<uint8_t> att_write_response();
std::vector<uint8_t> att_error_response(uint8_t request_opcode, uint16_t handle,
                                        uint8_t error_code);
std::vector<uint8_t> att_notification(uint16_t handle, hci::bytes_view value);
// Requests the peer, as a GATT client, makes of the host.
std::vector<uint8_t> att_exchange_mtu_request(uint16_t client_rx_mtu);
std::vector<uint8_t> att_read_by_type_request(uint16_t start_handle, uint16_t end_handle,
                                              uint16_t type);

// One LE signalling command: code, identifier, data length, data.
std::vector<uint8_t> signalling_command(uint8_t code, uint8_t identifier, hci::bytes_view data);
// Intervals in 1.25 ms, timeout in 10 ms.
std::vector<uint8_t> connection_parameter_update_request(uint8_t identifier, uint16_t interval_min,
                                                         uint16_t interval_max, uint16_t latency,
                                                         uint16_t timeout);
// A command code no LE signalling channel defines; the host must reject it as not
// understood.
std::vector<uint8_t> unknown_signalling_command(uint8_t identifier, uint8_t code = 0x30);

namespace smp_code {
constexpr uint8_t pairing_request = 0x01;
constexpr uint8_t pairing_failed = 0x05;
constexpr uint8_t security_request = 0x0B;
}  // namespace smp_code

struct pairing_fields {
    uint8_t io_capability = 0x03;  // no input, no output
    uint8_t oob_data = 0;
    uint8_t auth_req = 0x01;  // bonding
    uint8_t max_key_size = 16;
    uint8_t initiator_key_distribution = 0x01;
    uint8_t responder_key_distribution = 0x01;
};
std::vector<uint8_t> smp_pairing_request(const pairing_fields& fields = {});
std::vector<uint8_t> smp_security_request(uint8_t auth_req = 0x01);

}  // namespace testing_support
