#include "tests/support/hci_controller_events.h"

#include <algorithm>
#include <stdexcept>

#include "hci/acl.h"
#include "hci/h4_parser.h"

namespace testing_support {

namespace {

void put_handle(std::vector<uint8_t>& out, uint16_t handle) {
    hci::put_u16(out, static_cast<uint16_t>(handle & 0x0FFF));
}

void put_address(std::vector<uint8_t>& out, const wire::address_bytes& address) {
    out.insert(out.end(), address.begin(), address.end());
}

}  // namespace

packet_bytes event_packet(uint8_t code, hci::bytes_view parameters) {
    if (parameters.size > 0xFF) throw std::invalid_argument("event parameters over 255 bytes");
    packet_bytes out;
    hci::put_u8(out, static_cast<uint8_t>(hci::packet_type::event));
    hci::put_u8(out, code);
    hci::put_u8(out, static_cast<uint8_t>(parameters.size));
    hci::put_bytes(out, parameters);
    return out;
}

packet_bytes le_meta_event(uint8_t subevent, hci::bytes_view parameters) {
    std::vector<uint8_t> p{subevent};
    hci::put_bytes(p, parameters);
    return event_packet(hci::event_code::le_meta, p);
}

packet_bytes command_complete_event(uint16_t opcode, hci::bytes_view return_parameters,
                                    uint8_t num_command_packets) {
    std::vector<uint8_t> p{num_command_packets};
    hci::put_u16(p, opcode);
    hci::put_bytes(p, return_parameters);
    return event_packet(hci::event_code::command_complete, p);
}

packet_bytes command_status_event(uint16_t opcode, uint8_t status, uint8_t num_command_packets) {
    std::vector<uint8_t> p{status, num_command_packets};
    hci::put_u16(p, opcode);
    return event_packet(hci::event_code::command_status, p);
}

packet_bytes disconnection_complete_event(uint16_t handle, uint8_t reason, uint8_t status) {
    std::vector<uint8_t> p{status};
    put_handle(p, handle);
    hci::put_u8(p, reason);
    return event_packet(hci::event_code::disconnection_complete, p);
}

packet_bytes number_of_completed_packets_event(const std::vector<hci::completed_packets>& counts) {
    if (counts.size() > 0xFF) throw std::invalid_argument("more than 255 handles");
    std::vector<uint8_t> p{static_cast<uint8_t>(counts.size())};
    for (const auto& entry : counts) {
        put_handle(p, entry.connection_handle);
        hci::put_u16(p, entry.count);
    }
    return event_packet(hci::event_code::number_of_completed_packets, p);
}

packet_bytes hardware_error_event(uint8_t code) {
    return event_packet(hci::event_code::hardware_error, std::vector<uint8_t>{code});
}

packet_bytes connection_complete_event(const hci::connection_complete& fields) {
    std::vector<uint8_t> p{fields.status};
    put_handle(p, fields.connection_handle);
    hci::put_u8(p, fields.role);
    hci::put_u8(p, fields.peer_address_type);
    put_address(p, fields.peer_address);
    if (fields.enhanced) {
        put_address(p, fields.local_resolvable_private_address);
        put_address(p, fields.peer_resolvable_private_address);
    }
    hci::put_u16(p, fields.connection_interval);
    hci::put_u16(p, fields.peripheral_latency);
    hci::put_u16(p, fields.supervision_timeout);
    hci::put_u8(p, fields.central_clock_accuracy);
    return le_meta_event(fields.enhanced ? hci::le_subevent::enhanced_connection_complete
                                         : hci::le_subevent::connection_complete,
                         p);
}

hci::connection_complete connected(uint16_t handle, const wire::address_bytes& peer,
                                   uint8_t peer_address_type) {
    hci::connection_complete out;
    out.connection_handle = handle;
    out.peer_address_type = peer_address_type;
    out.peer_address = peer;
    out.connection_interval = 0x0028;  // 50 ms
    out.supervision_timeout = 0x01F4;  // 5 s
    return out;
}

packet_bytes advertising_report_event(const std::vector<advertising_report_fields>& reports) {
    if (reports.size() > 0xFF) throw std::invalid_argument("more than 255 reports");
    std::vector<uint8_t> p{static_cast<uint8_t>(reports.size())};
    for (const auto& report : reports) {
        if (report.data.size() > 0xFF) throw std::invalid_argument("report data over 255 bytes");
        hci::put_u8(p, report.event_type);
        hci::put_u8(p, report.address_type);
        put_address(p, report.address);
        hci::put_u8(p, static_cast<uint8_t>(report.data.size()));
        hci::put_bytes(p, report.data);
        hci::put_u8(p, static_cast<uint8_t>(report.rssi));
    }
    return le_meta_event(hci::le_subevent::advertising_report, p);
}

packet_bytes connection_update_complete_event(const hci::connection_update_complete& fields) {
    std::vector<uint8_t> p{fields.status};
    put_handle(p, fields.connection_handle);
    hci::put_u16(p, fields.connection_interval);
    hci::put_u16(p, fields.peripheral_latency);
    hci::put_u16(p, fields.supervision_timeout);
    return le_meta_event(hci::le_subevent::connection_update_complete, p);
}

packet_bytes remote_connection_parameter_request_event(
    const hci::remote_connection_parameter_request& fields) {
    std::vector<uint8_t> p;
    put_handle(p, fields.connection_handle);
    hci::put_u16(p, fields.interval_min);
    hci::put_u16(p, fields.interval_max);
    hci::put_u16(p, fields.max_latency);
    hci::put_u16(p, fields.timeout);
    return le_meta_event(hci::le_subevent::remote_connection_parameter_request, p);
}

packet_bytes acl_data_packet(uint16_t handle, uint8_t boundary, hci::bytes_view data) {
    if (data.size > 0xFFFF) throw std::invalid_argument("ACL data over 65535 bytes");
    packet_bytes out;
    hci::put_u8(out, static_cast<uint8_t>(hci::packet_type::acl_data));
    hci::put_u16(out, static_cast<uint16_t>((handle & 0x0FFF) | ((boundary & 0x3) << 12)));
    hci::put_u16(out, static_cast<uint16_t>(data.size));
    hci::put_bytes(out, data);
    return out;
}

std::vector<packet_bytes> peer_acl_fragments(uint16_t handle, hci::bytes_view pdu,
                                             size_t fragment_size) {
    const size_t piece_limit = fragment_size == 0 ? std::max<size_t>(pdu.size, 1) : fragment_size;
    std::vector<packet_bytes> out;
    size_t offset = 0;
    do {
        const size_t piece = std::min(piece_limit, pdu.size - offset);
        const uint8_t boundary =
            offset == 0 ? hci::packet_boundary::first_flushable : hci::packet_boundary::continuing;
        out.push_back(acl_data_packet(handle, boundary, {pdu.data + offset, piece}));
        offset += piece;
    } while (offset < pdu.size);
    return out;
}

}  // namespace testing_support
