#include "hci/hci_events.h"

namespace hci {

namespace {

// Connection handles are 12 bits; the upper bits of the field are reserved.
uint16_t handle_of(uint16_t field) {
    return field & 0x0FFF;
}

std::optional<byte_reader> parameters_of(bytes_view packet, uint8_t code) {
    const auto event = parse_event(packet);
    if (!event || event->code != code) return std::nullopt;
    return byte_reader(event->parameters);
}

std::optional<byte_reader> le_parameters_of(bytes_view packet, uint8_t subevent) {
    const auto meta = parse_le_meta(packet);
    if (!meta || meta->subevent != subevent) return std::nullopt;
    return byte_reader(meta->parameters);
}

}  // namespace

std::optional<event_view> parse_event(bytes_view packet) {
    byte_reader in(packet);
    event_view out;
    out.code = in.u8();
    const uint8_t length = in.u8();
    out.parameters = in.view(length);
    if (!in.done()) return std::nullopt;
    return out;
}

std::optional<le_meta_view> parse_le_meta(bytes_view packet) {
    auto in = parameters_of(packet, event_code::le_meta);
    if (!in) return std::nullopt;
    le_meta_view out;
    out.subevent = in->u8();
    out.parameters = in->rest();
    if (!in->ok()) return std::nullopt;
    return out;
}

std::optional<command_complete> parse_command_complete(bytes_view packet) {
    auto in = parameters_of(packet, event_code::command_complete);
    if (!in) return std::nullopt;
    command_complete out;
    out.num_command_packets = in->u8();
    out.opcode = in->u16();
    out.return_parameters = in->rest();
    if (!in->ok()) return std::nullopt;
    return out;
}

std::optional<command_status> parse_command_status(bytes_view packet) {
    auto in = parameters_of(packet, event_code::command_status);
    if (!in) return std::nullopt;
    command_status out;
    out.status = in->u8();
    out.num_command_packets = in->u8();
    out.opcode = in->u16();
    if (!in->ok()) return std::nullopt;
    return out;
}

std::optional<disconnection_complete> parse_disconnection_complete(bytes_view packet) {
    auto in = parameters_of(packet, event_code::disconnection_complete);
    if (!in) return std::nullopt;
    disconnection_complete out;
    out.status = in->u8();
    out.connection_handle = handle_of(in->u16());
    out.reason = in->u8();
    if (!in->ok()) return std::nullopt;
    return out;
}

std::optional<std::vector<completed_packets>> parse_number_of_completed_packets(bytes_view packet) {
    auto in = parameters_of(packet, event_code::number_of_completed_packets);
    if (!in) return std::nullopt;
    const uint8_t handles = in->u8();
    // The arrays are laid out element by element, as controllers send them: each handle
    // is followed by its own count.
    std::vector<completed_packets> out(handles);
    for (auto& entry : out) {
        entry.connection_handle = handle_of(in->u16());
        entry.count = in->u16();
    }
    if (!in->done()) return std::nullopt;
    return out;
}

std::optional<uint8_t> parse_hardware_error(bytes_view packet) {
    auto in = parameters_of(packet, event_code::hardware_error);
    if (!in) return std::nullopt;
    const uint8_t code = in->u8();
    if (!in->ok()) return std::nullopt;
    return code;
}

std::optional<connection_complete> parse_connection_complete(bytes_view packet) {
    const auto meta = parse_le_meta(packet);
    if (!meta) return std::nullopt;
    connection_complete out;
    out.enhanced = meta->subevent == le_subevent::enhanced_connection_complete;
    if (!out.enhanced && meta->subevent != le_subevent::connection_complete) return std::nullopt;
    byte_reader in(meta->parameters);
    out.status = in.u8();
    out.connection_handle = handle_of(in.u16());
    out.role = in.u8();
    out.peer_address_type = in.u8();
    in.copy_into(out.peer_address);
    if (out.enhanced) {
        in.copy_into(out.local_resolvable_private_address);
        in.copy_into(out.peer_resolvable_private_address);
    }
    out.connection_interval = in.u16();
    out.peripheral_latency = in.u16();
    out.supervision_timeout = in.u16();
    out.central_clock_accuracy = in.u8();
    if (!in.ok()) return std::nullopt;
    return out;
}

std::optional<std::vector<advertising_report>> parse_advertising_reports(bytes_view packet) {
    auto in = le_parameters_of(packet, le_subevent::advertising_report);
    if (!in) return std::nullopt;
    constexpr uint8_t max_data = 31;
    const uint8_t count = in->u8();
    // Each report is laid out whole, its data between the address and the RSSI; a report
    // takes at least 10 bytes, so a count the length cannot hold fails below without
    // reserving for it.
    std::vector<advertising_report> out;
    for (uint8_t i = 0; i < count && in->ok(); ++i) {
        advertising_report report;
        report.event_type = in->u8();
        report.address_type = in->u8();
        in->copy_into(report.address);
        const uint8_t length = in->u8();
        if (length > max_data) return std::nullopt;
        report.data = in->view(length);
        report.rssi = static_cast<int8_t>(in->u8());
        out.push_back(report);
    }
    if (!in->done() || count == 0) return std::nullopt;
    return out;
}

std::optional<connection_update_complete> parse_connection_update_complete(bytes_view packet) {
    auto in = le_parameters_of(packet, le_subevent::connection_update_complete);
    if (!in) return std::nullopt;
    connection_update_complete out;
    out.status = in->u8();
    out.connection_handle = handle_of(in->u16());
    out.connection_interval = in->u16();
    out.peripheral_latency = in->u16();
    out.supervision_timeout = in->u16();
    if (!in->ok()) return std::nullopt;
    return out;
}

std::optional<remote_connection_parameter_request> parse_remote_connection_parameter_request(
    bytes_view packet) {
    auto in = le_parameters_of(packet, le_subevent::remote_connection_parameter_request);
    if (!in) return std::nullopt;
    remote_connection_parameter_request out;
    out.connection_handle = handle_of(in->u16());
    out.interval_min = in->u16();
    out.interval_max = in->u16();
    out.max_latency = in->u16();
    out.timeout = in->u16();
    if (!in->ok()) return std::nullopt;
    return out;
}

std::optional<local_version_information> parse_local_version_information(
    bytes_view return_parameters) {
    byte_reader in(return_parameters);
    local_version_information out;
    out.status = in.u8();
    out.hci_version = in.u8();
    out.hci_subversion = in.u16();
    out.lmp_version = in.u8();
    out.manufacturer = in.u16();
    out.lmp_subversion = in.u16();
    if (!in.ok()) return std::nullopt;
    return out;
}

std::optional<bd_addr> parse_bd_addr(bytes_view return_parameters) {
    byte_reader in(return_parameters);
    bd_addr out;
    out.status = in.u8();
    in.copy_into(out.address);
    if (!in.ok()) return std::nullopt;
    return out;
}

std::optional<buffer_size> parse_le_buffer_size(bytes_view return_parameters) {
    byte_reader in(return_parameters);
    buffer_size out;
    out.status = in.u8();
    out.acl_length = in.u16();
    out.acl_count = in.u8();
    if (!in.ok()) return std::nullopt;
    return out;
}

std::optional<buffer_size> parse_buffer_size(bytes_view return_parameters) {
    byte_reader in(return_parameters);
    buffer_size out;
    out.status = in.u8();
    out.acl_length = in.u16();
    in.u8();  // synchronous data length
    out.acl_count = in.u16();
    in.u16();  // synchronous packets
    if (!in.ok()) return std::nullopt;
    return out;
}

std::optional<le_local_features> parse_le_local_supported_features(bytes_view return_parameters) {
    byte_reader in(return_parameters);
    le_local_features out;
    out.status = in.u8();
    for (int i = 0; i < 8; ++i) out.features |= static_cast<uint64_t>(in.u8()) << (8 * i);
    if (!in.ok()) return std::nullopt;
    return out;
}

}  // namespace hci
