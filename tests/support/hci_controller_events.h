// Packets an LE controller sends the host, built whole (H4 indicator first) for a scripted
// controller to deliver. Fields go out as given, so a test can build events a controller
// should never send; one that needs bytes no builder makes writes them itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/wire/address_text.h"
#include "hci/bytes.h"
#include "hci/hci_events.h"

namespace testing_support {

using packet_bytes = std::vector<uint8_t>;

// Any event from its code and parameters. More than 255 parameter bytes do not fit the
// length byte: std::invalid_argument, as for every builder below.
packet_bytes event_packet(uint8_t code, hci::bytes_view parameters);
packet_bytes le_meta_event(uint8_t subevent, hci::bytes_view parameters);

// `return_parameters` usually start with the status byte.
packet_bytes command_complete_event(uint16_t opcode, hci::bytes_view return_parameters,
                                    uint8_t num_command_packets = 1);
packet_bytes command_status_event(uint16_t opcode, uint8_t status, uint8_t num_command_packets = 1);
packet_bytes disconnection_complete_event(uint16_t handle, uint8_t reason, uint8_t status = 0);
packet_bytes number_of_completed_packets_event(const std::vector<hci::completed_packets>& counts);
packet_bytes hardware_error_event(uint8_t code);

// LE Connection Complete, or LE Enhanced Connection Complete when `fields.enhanced`.
packet_bytes connection_complete_event(const hci::connection_complete& fields);
// A connection made as central, with the parameters a controller typically picks.
hci::connection_complete connected(uint16_t handle, const wire::address_bytes& peer,
                                   uint8_t peer_address_type = 0);

// One report of an LE Advertising Report event; owns its data, unlike the parsed form.
struct advertising_report_fields {
    uint8_t event_type = 0;  // 0 ADV_IND, 3 ADV_NONCONN_IND, 4 SCAN_RSP, ...
    uint8_t address_type = 0;
    wire::address_bytes address{};
    std::vector<uint8_t> data;
    int8_t rssi = -60;
};
packet_bytes advertising_report_event(const std::vector<advertising_report_fields>& reports);

packet_bytes connection_update_complete_event(const hci::connection_update_complete& fields);
packet_bytes remote_connection_parameter_request_event(
    const hci::remote_connection_parameter_request& fields);

// One ACL data packet from the controller.
packet_bytes acl_data_packet(uint16_t handle, uint8_t boundary, hci::bytes_view data);
// The ACL packets a controller hands up for one L2CAP PDU received from the peer: a first
// (flushable) fragment, then continuing ones, each of at most `fragment_size` data bytes;
// one packet for a fragment size of 0.
std::vector<packet_bytes> peer_acl_fragments(uint16_t handle, hci::bytes_view pdu,
                                             size_t fragment_size);

}  // namespace testing_support
