// HCI command packets the backend sends, each a whole H4 packet: indicator 0x01, opcode
// (OGF << 10 | OCF, little-endian), parameter length, parameters.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "driver/wire/address_text.h"
#include "hci/bytes.h"

namespace hci {

constexpr uint16_t make_opcode(uint16_t ogf, uint16_t ocf) {
    return static_cast<uint16_t>((ogf << 10) | (ocf & 0x03FF));
}

namespace opcode {
constexpr uint16_t disconnect = make_opcode(0x01, 0x0006);
constexpr uint16_t set_event_mask = make_opcode(0x03, 0x0001);
constexpr uint16_t reset = make_opcode(0x03, 0x0003);
constexpr uint16_t read_local_version_information = make_opcode(0x04, 0x0001);
constexpr uint16_t read_buffer_size = make_opcode(0x04, 0x0005);
constexpr uint16_t read_bd_addr = make_opcode(0x04, 0x0009);
constexpr uint16_t read_rssi = make_opcode(0x05, 0x0005);
constexpr uint16_t le_set_event_mask = make_opcode(0x08, 0x0001);
constexpr uint16_t le_read_buffer_size = make_opcode(0x08, 0x0002);
constexpr uint16_t le_read_local_supported_features = make_opcode(0x08, 0x0003);
constexpr uint16_t le_set_advertising_parameters = make_opcode(0x08, 0x0006);
constexpr uint16_t le_set_advertising_data = make_opcode(0x08, 0x0008);
constexpr uint16_t le_set_advertising_enable = make_opcode(0x08, 0x000A);
constexpr uint16_t le_set_scan_parameters = make_opcode(0x08, 0x000B);
constexpr uint16_t le_set_scan_enable = make_opcode(0x08, 0x000C);
constexpr uint16_t le_create_connection = make_opcode(0x08, 0x000D);
constexpr uint16_t le_create_connection_cancel = make_opcode(0x08, 0x000E);
constexpr uint16_t le_connection_update = make_opcode(0x08, 0x0013);
constexpr uint16_t le_remote_connection_parameter_request_reply = make_opcode(0x08, 0x0020);
constexpr uint16_t le_remote_connection_parameter_request_negative_reply =
    make_opcode(0x08, 0x0021);
}  // namespace opcode

// Any command from its opcode and parameters. Parameters beyond 255 bytes do not fit the
// length byte: nullopt.
std::optional<std::vector<uint8_t>> command_packet(uint16_t opcode, bytes_view parameters);

// Units as on the air: intervals in 1.25 ms, supervision timeout in 10 ms, connection event
// lengths in 0.625 ms.
struct connection_parameters {
    uint16_t interval_min = 0x0018;
    uint16_t interval_max = 0x0028;
    uint16_t max_latency = 0;
    uint16_t supervision_timeout = 0x01F4;
    uint16_t min_ce_length = 0;
    uint16_t max_ce_length = 0;
};

// Scan interval and window in 0.625 ms.
struct scan_parameters {
    uint8_t active = 0;  // 0 passive, 1 active
    uint16_t interval = 0x0010;
    uint16_t window = 0x0010;
    uint8_t own_address_type = 0;
    uint8_t filter_policy = 0;
};

// Advertising intervals in 0.625 ms.
struct advertising_parameters {
    uint16_t interval_min = 0x0800;
    uint16_t interval_max = 0x0800;
    uint8_t advertising_type = 0;  // 0 ADV_IND, 3 ADV_NONCONN_IND, ...
    uint8_t own_address_type = 0;
    uint8_t peer_address_type = 0;
    wire::address_bytes peer_address{};
    uint8_t channel_map = 0x07;
    uint8_t filter_policy = 0;
};

struct create_connection_parameters {
    uint16_t scan_interval = 0x0060;
    uint16_t scan_window = 0x0030;
    uint8_t initiator_filter_policy = 0;
    uint8_t peer_address_type = 0;
    wire::address_bytes peer_address{};
    uint8_t own_address_type = 0;
    connection_parameters connection;
};

std::vector<uint8_t> reset_command();
std::vector<uint8_t> read_local_version_information_command();
std::vector<uint8_t> read_bd_addr_command();
std::vector<uint8_t> read_buffer_size_command();
std::vector<uint8_t> le_read_buffer_size_command();
std::vector<uint8_t> le_read_local_supported_features_command();
std::vector<uint8_t> set_event_mask_command(uint64_t mask);
std::vector<uint8_t> le_set_event_mask_command(uint64_t mask);
std::vector<uint8_t> le_set_scan_parameters_command(const scan_parameters& parameters);
std::vector<uint8_t> le_set_scan_enable_command(bool enable, bool filter_duplicates);
std::vector<uint8_t> le_set_advertising_parameters_command(
    const advertising_parameters& parameters);
// Legacy advertising data holds at most 31 bytes: nullopt for more.
std::optional<std::vector<uint8_t>> le_set_advertising_data_command(bytes_view data);
std::vector<uint8_t> le_set_advertising_enable_command(bool enable);
std::vector<uint8_t> le_create_connection_command(const create_connection_parameters& parameters);
std::vector<uint8_t> le_create_connection_cancel_command();
std::vector<uint8_t> disconnect_command(uint16_t connection_handle, uint8_t reason);
std::vector<uint8_t> le_connection_update_command(uint16_t connection_handle,
                                                  const connection_parameters& parameters);
std::vector<uint8_t> le_remote_connection_parameter_request_reply_command(
    uint16_t connection_handle, const connection_parameters& parameters);
std::vector<uint8_t> le_remote_connection_parameter_request_negative_reply_command(
    uint16_t connection_handle, uint8_t reason);
std::vector<uint8_t> read_rssi_command(uint16_t connection_handle);

}  // namespace hci
