#include "hci/hci_commands.h"

namespace hci {

namespace {

// Every builder below passes at most 32 parameter bytes, so the length always fits.
std::vector<uint8_t> command(uint16_t op, const std::vector<uint8_t>& parameters = {}) {
    return *command_packet(op, parameters);
}

// Connection handles are 12 bits; the bits above belong to the controller's flags.
void put_handle(std::vector<uint8_t>& out, uint16_t handle) {
    put_u16(out, static_cast<uint16_t>(handle & 0x0FFF));
}

void put_u64(std::vector<uint8_t>& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_address(std::vector<uint8_t>& out, const wire::address_bytes& address) {
    out.insert(out.end(), address.begin(), address.end());
}

void put_connection_parameters(std::vector<uint8_t>& out, const connection_parameters& p) {
    put_u16(out, p.interval_min);
    put_u16(out, p.interval_max);
    put_u16(out, p.max_latency);
    put_u16(out, p.supervision_timeout);
    put_u16(out, p.min_ce_length);
    put_u16(out, p.max_ce_length);
}

}  // namespace

std::optional<std::vector<uint8_t>> command_packet(uint16_t opcode, bytes_view parameters) {
    if (parameters.size > 0xFF) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(4 + parameters.size);
    put_u8(out, 0x01);
    put_u16(out, opcode);
    put_u8(out, static_cast<uint8_t>(parameters.size));
    put_bytes(out, parameters);
    return out;
}

std::vector<uint8_t> reset_command() {
    return command(opcode::reset);
}

std::vector<uint8_t> read_local_version_information_command() {
    return command(opcode::read_local_version_information);
}

std::vector<uint8_t> read_bd_addr_command() {
    return command(opcode::read_bd_addr);
}

std::vector<uint8_t> read_buffer_size_command() {
    return command(opcode::read_buffer_size);
}

std::vector<uint8_t> le_read_buffer_size_command() {
    return command(opcode::le_read_buffer_size);
}

std::vector<uint8_t> le_read_local_supported_features_command() {
    return command(opcode::le_read_local_supported_features);
}

std::vector<uint8_t> set_event_mask_command(uint64_t mask) {
    std::vector<uint8_t> p;
    put_u64(p, mask);
    return command(opcode::set_event_mask, p);
}

std::vector<uint8_t> le_set_event_mask_command(uint64_t mask) {
    std::vector<uint8_t> p;
    put_u64(p, mask);
    return command(opcode::le_set_event_mask, p);
}

std::vector<uint8_t> le_set_scan_parameters_command(const scan_parameters& parameters) {
    std::vector<uint8_t> p;
    put_u8(p, parameters.active);
    put_u16(p, parameters.interval);
    put_u16(p, parameters.window);
    put_u8(p, parameters.own_address_type);
    put_u8(p, parameters.filter_policy);
    return command(opcode::le_set_scan_parameters, p);
}

std::vector<uint8_t> le_set_scan_enable_command(bool enable, bool filter_duplicates) {
    return command(opcode::le_set_scan_enable,
                   {static_cast<uint8_t>(enable), static_cast<uint8_t>(filter_duplicates)});
}

std::vector<uint8_t> le_set_advertising_parameters_command(
    const advertising_parameters& parameters) {
    std::vector<uint8_t> p;
    put_u16(p, parameters.interval_min);
    put_u16(p, parameters.interval_max);
    put_u8(p, parameters.advertising_type);
    put_u8(p, parameters.own_address_type);
    put_u8(p, parameters.peer_address_type);
    put_address(p, parameters.peer_address);
    put_u8(p, parameters.channel_map);
    put_u8(p, parameters.filter_policy);
    return command(opcode::le_set_advertising_parameters, p);
}

std::optional<std::vector<uint8_t>> le_set_advertising_data_command(bytes_view data) {
    constexpr size_t max_data = 31;
    if (data.size > max_data) return std::nullopt;
    // The parameter is always 31 bytes long, the unused tail zero.
    std::vector<uint8_t> p;
    put_u8(p, static_cast<uint8_t>(data.size));
    put_bytes(p, data);
    p.resize(1 + max_data, 0);
    return command(opcode::le_set_advertising_data, p);
}

std::vector<uint8_t> le_set_advertising_enable_command(bool enable) {
    return command(opcode::le_set_advertising_enable, {static_cast<uint8_t>(enable)});
}

std::vector<uint8_t> le_create_connection_command(const create_connection_parameters& parameters) {
    std::vector<uint8_t> p;
    put_u16(p, parameters.scan_interval);
    put_u16(p, parameters.scan_window);
    put_u8(p, parameters.initiator_filter_policy);
    put_u8(p, parameters.peer_address_type);
    put_address(p, parameters.peer_address);
    put_u8(p, parameters.own_address_type);
    put_connection_parameters(p, parameters.connection);
    return command(opcode::le_create_connection, p);
}

std::vector<uint8_t> le_create_connection_cancel_command() {
    return command(opcode::le_create_connection_cancel);
}

std::vector<uint8_t> disconnect_command(uint16_t connection_handle, uint8_t reason) {
    std::vector<uint8_t> p;
    put_handle(p, connection_handle);
    put_u8(p, reason);
    return command(opcode::disconnect, p);
}

std::vector<uint8_t> le_connection_update_command(uint16_t connection_handle,
                                                  const connection_parameters& parameters) {
    std::vector<uint8_t> p;
    put_handle(p, connection_handle);
    put_connection_parameters(p, parameters);
    return command(opcode::le_connection_update, p);
}

std::vector<uint8_t> le_remote_connection_parameter_request_reply_command(
    uint16_t connection_handle, const connection_parameters& parameters) {
    std::vector<uint8_t> p;
    put_handle(p, connection_handle);
    put_connection_parameters(p, parameters);
    return command(opcode::le_remote_connection_parameter_request_reply, p);
}

std::vector<uint8_t> le_remote_connection_parameter_request_negative_reply_command(
    uint16_t connection_handle, uint8_t reason) {
    std::vector<uint8_t> p;
    put_handle(p, connection_handle);
    put_u8(p, reason);
    return command(opcode::le_remote_connection_parameter_request_negative_reply, p);
}

std::vector<uint8_t> read_rssi_command(uint16_t connection_handle) {
    std::vector<uint8_t> p;
    put_handle(p, connection_handle);
    return command(opcode::read_rssi, p);
}

}  // namespace hci
