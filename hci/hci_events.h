// Parsers of the HCI events the backend acts on. Each takes one event packet as the H4 parser
// yields it (event code, parameter length, parameters) and returns nullopt for another event or
// anything short or malformed. A parameter length byte must match the bytes present. Fixed-layout
// events may carry more parameters than listed here, as newer controllers append them; those are
// ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "driver/wire/address_text.h"
#include "hci/bytes.h"

namespace hci {

namespace event_code {
constexpr uint8_t disconnection_complete = 0x05;
constexpr uint8_t command_complete = 0x0E;
constexpr uint8_t command_status = 0x0F;
constexpr uint8_t hardware_error = 0x10;
constexpr uint8_t number_of_completed_packets = 0x13;
constexpr uint8_t le_meta = 0x3E;
}  // namespace event_code

namespace le_subevent {
constexpr uint8_t connection_complete = 0x01;
constexpr uint8_t advertising_report = 0x02;
constexpr uint8_t connection_update_complete = 0x03;
constexpr uint8_t remote_connection_parameter_request = 0x06;
constexpr uint8_t enhanced_connection_complete = 0x0A;
}  // namespace le_subevent

// The code and parameters of any well-formed event packet.
struct event_view {
    uint8_t code = 0;
    bytes_view parameters;
};
std::optional<event_view> parse_event(bytes_view packet);

// The subevent code of an LE Meta event, and the parameters after it.
struct le_meta_view {
    uint8_t subevent = 0;
    bytes_view parameters;
};
std::optional<le_meta_view> parse_le_meta(bytes_view packet);

struct command_complete {
    uint8_t num_command_packets = 0;
    uint16_t opcode = 0;
    bytes_view return_parameters;  // inside the packet; usually a status byte first
};
std::optional<command_complete> parse_command_complete(bytes_view packet);

struct command_status {
    uint8_t status = 0;
    uint8_t num_command_packets = 0;
    uint16_t opcode = 0;
};
std::optional<command_status> parse_command_status(bytes_view packet);

struct disconnection_complete {
    uint8_t status = 0;
    uint16_t connection_handle = 0;
    uint8_t reason = 0;
};
std::optional<disconnection_complete> parse_disconnection_complete(bytes_view packet);

struct completed_packets {
    uint16_t connection_handle = 0;
    uint16_t count = 0;
};
// The handles and counts, in event order. An event whose handle count disagrees with its
// length is malformed.
std::optional<std::vector<completed_packets>> parse_number_of_completed_packets(bytes_view packet);

std::optional<uint8_t> parse_hardware_error(bytes_view packet);

// LE Connection Complete and LE Enhanced Connection Complete alike; the legacy event
// leaves the private addresses zero.
struct connection_complete {
    bool enhanced = false;
    uint8_t status = 0;
    uint16_t connection_handle = 0;
    uint8_t role = 0;  // 0 central, 1 peripheral
    uint8_t peer_address_type = 0;
    wire::address_bytes peer_address{};
    wire::address_bytes local_resolvable_private_address{};
    wire::address_bytes peer_resolvable_private_address{};
    uint16_t connection_interval = 0;  // 1.25 ms
    uint16_t peripheral_latency = 0;
    uint16_t supervision_timeout = 0;  // 10 ms
    uint8_t central_clock_accuracy = 0;
};
std::optional<connection_complete> parse_connection_complete(bytes_view packet);

struct advertising_report {
    uint8_t event_type = 0;
    uint8_t address_type = 0;
    wire::address_bytes address{};
    bytes_view data;    // inside the packet
    int8_t rssi = 127;  // dBm; 127 means not available
};
// Every report of the event, or nullopt if any report is cut short, claims more than 31
// bytes of data, or bytes are left after the last one.
std::optional<std::vector<advertising_report>> parse_advertising_reports(bytes_view packet);

struct connection_update_complete {
    uint8_t status = 0;
    uint16_t connection_handle = 0;
    uint16_t connection_interval = 0;
    uint16_t peripheral_latency = 0;
    uint16_t supervision_timeout = 0;
};
std::optional<connection_update_complete> parse_connection_update_complete(bytes_view packet);

struct remote_connection_parameter_request {
    uint16_t connection_handle = 0;
    uint16_t interval_min = 0;
    uint16_t interval_max = 0;
    uint16_t max_latency = 0;
    uint16_t timeout = 0;
};
std::optional<remote_connection_parameter_request> parse_remote_connection_parameter_request(
    bytes_view packet);

// The return parameters of the commands that read the controller at start-up, taken from a
// Command Complete's return parameters (status byte first). Each returns nullopt for fewer
// bytes than the command returns, whatever the status, so that an answer cut short is never
// read as zeros; bytes beyond them, as a later version may add, are ignored.
struct local_version_information {
    uint8_t status = 0;
    uint8_t hci_version = 0;
    uint16_t hci_subversion = 0;
    uint8_t lmp_version = 0;
    uint16_t manufacturer = 0;
    uint16_t lmp_subversion = 0;
};
std::optional<local_version_information> parse_local_version_information(
    bytes_view return_parameters);

struct bd_addr {
    uint8_t status = 0;
    wire::address_bytes address{};
};
std::optional<bd_addr> parse_bd_addr(bytes_view return_parameters);

// LE Read Buffer Size and Read Buffer Size alike: the ACL buffers (the latter's synchronous
// ones are of no use to an LE host).
struct buffer_size {
    uint8_t status = 0;
    uint16_t acl_length = 0;
    uint16_t acl_count = 0;
};
std::optional<buffer_size> parse_le_buffer_size(bytes_view return_parameters);
std::optional<buffer_size> parse_buffer_size(bytes_view return_parameters);

struct le_local_features {
    uint8_t status = 0;
    uint64_t features = 0;  // bit n of the mask is feature bit n
};
std::optional<le_local_features> parse_le_local_supported_features(bytes_view return_parameters);

}  // namespace hci
