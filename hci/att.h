// ATT PDUs on the fixed channel 0x0004: the requests a GATT client sends and parsers for what a
// peer answers. Builders return the ATT PDU alone; l2cap_pdu puts the basic header in front.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "hci/bytes.h"

namespace hci {

namespace att_opcode {
constexpr uint8_t error_response = 0x01;
constexpr uint8_t exchange_mtu_request = 0x02;
constexpr uint8_t exchange_mtu_response = 0x03;
constexpr uint8_t find_information_request = 0x04;
constexpr uint8_t find_information_response = 0x05;
constexpr uint8_t find_by_type_value_request = 0x06;
constexpr uint8_t find_by_type_value_response = 0x07;
constexpr uint8_t read_by_type_request = 0x08;
constexpr uint8_t read_by_type_response = 0x09;
constexpr uint8_t read_request = 0x0A;
constexpr uint8_t read_response = 0x0B;
constexpr uint8_t read_blob_request = 0x0C;
constexpr uint8_t read_blob_response = 0x0D;
constexpr uint8_t read_by_group_type_request = 0x10;
constexpr uint8_t read_by_group_type_response = 0x11;
constexpr uint8_t write_request = 0x12;
constexpr uint8_t write_response = 0x13;
constexpr uint8_t handle_value_notification = 0x1B;
constexpr uint8_t handle_value_indication = 0x1D;
constexpr uint8_t handle_value_confirmation = 0x1E;
constexpr uint8_t write_command = 0x52;
// Bit 6 marks a command, which is never answered.
constexpr uint8_t command_flag = 0x40;
}  // namespace att_opcode

namespace att_error_code {
constexpr uint8_t invalid_handle = 0x01;
constexpr uint8_t invalid_pdu = 0x04;
constexpr uint8_t request_not_supported = 0x06;
constexpr uint8_t attribute_not_found = 0x0A;
constexpr uint8_t unlikely_error = 0x0E;
}  // namespace att_error_code

// The opcode of a PDU, nullopt for an empty one.
std::optional<uint8_t> att_opcode_of(bytes_view pdu);

std::vector<uint8_t> exchange_mtu_request(uint16_t client_rx_mtu);
std::vector<uint8_t> exchange_mtu_response(uint16_t server_rx_mtu);
// The type is a 16-bit or 128-bit UUID, little-endian (2 or 16 bytes); nullopt otherwise.
std::optional<std::vector<uint8_t>> read_by_group_type_request(uint16_t start_handle,
                                                               uint16_t end_handle,
                                                               bytes_view type_uuid);
std::optional<std::vector<uint8_t>> read_by_type_request(uint16_t start_handle, uint16_t end_handle,
                                                         bytes_view type_uuid);
std::vector<uint8_t> find_information_request(uint16_t start_handle, uint16_t end_handle);
std::vector<uint8_t> read_request(uint16_t handle);
std::vector<uint8_t> write_request(uint16_t handle, bytes_view value);
std::vector<uint8_t> write_command(uint16_t handle, bytes_view value);
// What a server sends back for a request it will not carry out.
std::vector<uint8_t> error_response(uint8_t request_opcode, uint16_t handle, uint8_t error_code);

struct att_error {
    uint8_t request_opcode = 0;
    uint16_t handle = 0;
    uint8_t error_code = 0;
};
std::optional<att_error> parse_error_response(bytes_view pdu);

// The MTU of an Exchange MTU Request or Response (by `opcode`).
std::optional<uint16_t> parse_exchange_mtu(bytes_view pdu, uint8_t opcode);

// One entry of a Read By Group Type Response: a service's handle range and its UUID.
struct group_entry {
    uint16_t handle = 0;
    uint16_t end_group_handle = 0;
    bytes_view value;  // inside the PDU
};
// The entries, or nullopt if the list is empty, an entry is shorter than its handles plus
// one byte, or the entry length does not divide the list.
std::optional<std::vector<group_entry>> parse_read_by_group_type_response(bytes_view pdu);

struct type_entry {
    uint16_t handle = 0;
    bytes_view value;  // inside the PDU
};
std::optional<std::vector<type_entry>> parse_read_by_type_response(bytes_view pdu);

// One entry of a Find Information Response: an attribute's handle and its type.
struct information_entry {
    uint16_t handle = 0;
    bytes_view value;  // the type: 2 bytes (format 1) or 16 (format 2), inside the PDU
};
// The entries, or nullopt if the format is neither 1 (16-bit types) nor 2 (128-bit types),
// or the list is empty or not a whole number of entries of that format.
std::optional<std::vector<information_entry>> parse_find_information_response(bytes_view pdu);

// The attribute value, possibly empty.
std::optional<bytes_view> parse_read_response(bytes_view pdu);
bool is_write_response(bytes_view pdu);

struct handle_value {
    uint16_t handle = 0;
    bytes_view value;  // inside the PDU
};
std::optional<handle_value> parse_notification(bytes_view pdu);

}  // namespace hci
