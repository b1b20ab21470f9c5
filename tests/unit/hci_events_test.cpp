// HCI event parsers against byte tables of well-formed events, and against events that are cut
// short, overlong or lie about their counts.
#include "hci/hci_events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/wire/hex_text.h"
#include "tests/support/program_stack.h"

namespace {

using bytes = std::vector<uint8_t>;

using testing_support::hex;

bytes view_bytes(hci::bytes_view view) {
    return view.to_vector();
}

TEST(HciEvents, EventLengthMustMatchTheBytesPresent) {
    EXPECT_TRUE(hci::parse_event(hex("0E 00")));
    EXPECT_FALSE(hci::parse_event(hex("")));
    EXPECT_FALSE(hci::parse_event(hex("0E")));
    EXPECT_FALSE(hci::parse_event(hex("0E 04 01 03 0C")));        // one short
    EXPECT_FALSE(hci::parse_event(hex("0E 04 01 03 0C 00 00")));  // one over
}

TEST(HciEvents, CommandCompleteAndStatus) {
    // Parsed views point into the packet, which must outlive them.
    const bytes reset_packet = hex("0E 04 01 03 0C 00");
    const auto reset_done = hci::parse_command_complete(reset_packet);
    ASSERT_TRUE(reset_done);
    EXPECT_EQ(reset_done->num_command_packets, 1);
    EXPECT_EQ(reset_done->opcode, 0x0C03);
    EXPECT_EQ(view_bytes(reset_done->return_parameters), hex("00"));

    // LE Read Buffer Size: status, 251-byte buffers, 8 of them.
    const bytes buffers_packet = hex("0E 07 01 02 20 00 FB 00 08");
    const auto buffers = hci::parse_command_complete(buffers_packet);
    ASSERT_TRUE(buffers);
    EXPECT_EQ(view_bytes(buffers->return_parameters), hex("00 FB 00 08"));

    // A bare flow-control update names opcode 0 and returns nothing.
    const auto nop = hci::parse_command_complete(hex("0E 03 05 00 00"));
    ASSERT_TRUE(nop);
    EXPECT_EQ(nop->return_parameters.size, 0U);
    EXPECT_FALSE(hci::parse_command_complete(hex("0E 02 01 03")));
    EXPECT_FALSE(hci::parse_command_complete(hex("0F 04 00 01 0D 20")));

    const auto status = hci::parse_command_status(hex("0F 04 0C 01 0D 20"));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 0x0C);
    EXPECT_EQ(status->num_command_packets, 1);
    EXPECT_EQ(status->opcode, 0x200D);
    EXPECT_FALSE(hci::parse_command_status(hex("0F 03 00 01 0D")));
}

TEST(HciEvents, DisconnectionAndHardwareError) {
    const auto gone = hci::parse_disconnection_complete(hex("05 04 00 40 20 13"));
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->status, 0);
    EXPECT_EQ(gone->connection_handle, 0x0040);  // reserved bits dropped
    EXPECT_EQ(gone->reason, 0x13);
    EXPECT_FALSE(hci::parse_disconnection_complete(hex("05 03 00 40 00")));

    EXPECT_EQ(hci::parse_hardware_error(hex("10 01 2A")), 0x2A);
    EXPECT_FALSE(hci::parse_hardware_error(hex("10 00")));
}

TEST(HciEvents, NumberOfCompletedPacketsCountMustMatchTheLength) {
    const auto two =
        hci::parse_number_of_completed_packets(hex("13 09 02 40 00 01 00 41 00 02 00"));
    ASSERT_TRUE(two);
    ASSERT_EQ(two->size(), 2U);
    EXPECT_EQ((*two)[0].connection_handle, 0x0040);
    EXPECT_EQ((*two)[0].count, 1);
    EXPECT_EQ((*two)[1].connection_handle, 0x0041);
    EXPECT_EQ((*two)[1].count, 2);

    const auto none = hci::parse_number_of_completed_packets(hex("13 01 00"));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(hci::parse_number_of_completed_packets(hex("13 05 02 40 00 01 00")));
    EXPECT_FALSE(hci::parse_number_of_completed_packets(hex("13 06 01 40 00 01 00 00")));
    EXPECT_FALSE(hci::parse_number_of_completed_packets(hex("13 05 FF 40 00 01 00")));
}

TEST(HciEvents, LegacyAndEnhancedConnectionComplete) {
    const std::string peer = "11 22 33 44 55 C0";
    const auto legacy = hci::parse_connection_complete(
        hex("3E 13 01 00 40 00 00 01 " + peer + " 18 00 02 00 F4 01 05"));
    ASSERT_TRUE(legacy);
    EXPECT_FALSE(legacy->enhanced);
    EXPECT_EQ(legacy->status, 0);
    EXPECT_EQ(legacy->connection_handle, 0x0040);
    EXPECT_EQ(legacy->peer_address_type, 1);
    EXPECT_EQ(legacy->peer_address, (wire::address_bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0xC0}));
    EXPECT_EQ(legacy->connection_interval, 0x0018);
    EXPECT_EQ(legacy->peripheral_latency, 2);
    EXPECT_EQ(legacy->supervision_timeout, 0x01F4);
    EXPECT_EQ(legacy->central_clock_accuracy, 5);
    EXPECT_EQ(legacy->local_resolvable_private_address, wire::address_bytes{});

    const auto enhanced = hci::parse_connection_complete(
        hex("3E 1F 0A 00 41 00 01 03 " + peer + " A1 A2 A3 A4 A5 46 B1 B2 B3 B4 B5 76" +
            " 28 00 00 00 C8 00 00"));
    ASSERT_TRUE(enhanced);
    EXPECT_TRUE(enhanced->enhanced);
    EXPECT_EQ(enhanced->role, 1);
    EXPECT_EQ(enhanced->peer_address_type, 3);
    EXPECT_EQ(enhanced->local_resolvable_private_address[5], 0x46);
    EXPECT_EQ(enhanced->peer_resolvable_private_address[0], 0xB1);
    EXPECT_EQ(enhanced->supervision_timeout, 0x00C8);

    // One byte short, and the legacy layout under the enhanced subevent code.
    EXPECT_FALSE(hci::parse_connection_complete(
        hex("3E 12 01 00 40 00 00 01 " + peer + " 18 00 02 00 F4 01")));
    EXPECT_FALSE(hci::parse_connection_complete(
        hex("3E 13 0A 00 40 00 00 01 " + peer + " 18 00 02 00 F4 01 05")));
    // Parameters a later version appends are ignored.
    EXPECT_TRUE(hci::parse_connection_complete(
        hex("3E 14 01 00 40 00 00 01 " + peer + " 18 00 02 00 F4 01 05 EE")));
}

TEST(HciEvents, AdvertisingReportsEachWithItsOwnData) {
    const bytes packet =
        hex("3E 19 02 02 00 01 11 22 33 44 55 C0 03 02 01 06 C5"
            "03 00 AA BB CC DD EE FF 00 7F");
    const auto reports = hci::parse_advertising_reports(packet);
    ASSERT_TRUE(reports);
    ASSERT_EQ(reports->size(), 2U);
    const hci::advertising_report& first = (*reports)[0];
    EXPECT_EQ(first.event_type, 0);
    EXPECT_EQ(first.address_type, 1);
    EXPECT_EQ(first.address[5], 0xC0);
    EXPECT_EQ(view_bytes(first.data), hex("02 01 06"));
    EXPECT_EQ(first.rssi, -59);
    const hci::advertising_report& second = (*reports)[1];
    EXPECT_EQ(second.event_type, 3);
    EXPECT_EQ(second.data.size, 0U);
    EXPECT_EQ(second.rssi, 127);
}

TEST(HciEvents, AdvertisingReportsThatLieAreMalformed) {
    const std::string report = "00 01 11 22 33 44 55 C0 ";
    // Data length past the end, so that the RSSI is missing.
    EXPECT_FALSE(hci::parse_advertising_reports(hex("3E 0E 02 01 " + report + "03 02 01 06")));
    EXPECT_FALSE(hci::parse_advertising_reports(hex("3E 0E 02 01 " + report + "04 02 01 06")));
    // Two reports announced, one present; none announced; a byte after the last one.
    EXPECT_FALSE(hci::parse_advertising_reports(hex("3E 0D 02 02 " + report + "01 AA C5")));
    EXPECT_FALSE(hci::parse_advertising_reports(hex("3E 02 02 00")));
    EXPECT_FALSE(hci::parse_advertising_reports(hex("3E 0E 02 01 " + report + "01 AA C5 00")));
    // More than legacy advertising can carry, though every byte is present.
    bytes overlong = hex("3E 2C 02 01 " + report + "20");
    overlong.resize(overlong.size() + 32 + 1, 0);
    ASSERT_EQ(overlong.size(), 2U + 0x2C);
    EXPECT_FALSE(hci::parse_advertising_reports(overlong));
}

TEST(HciEvents, ConnectionUpdateAndRemoteParameterRequest) {
    const auto update =
        hci::parse_connection_update_complete(hex("3E 0A 03 00 01 00 28 00 00 00 2C 01"));
    ASSERT_TRUE(update);
    EXPECT_EQ(update->connection_handle, 1);
    EXPECT_EQ(update->connection_interval, 0x0028);
    EXPECT_EQ(update->supervision_timeout, 0x012C);
    EXPECT_FALSE(hci::parse_connection_update_complete(hex("3E 09 03 00 01 00 28 00 00 00 2C")));

    const auto request = hci::parse_remote_connection_parameter_request(
        hex("3E 0B 06 02 00 06 00 0C 00 03 00 F4 01"));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->connection_handle, 2);
    EXPECT_EQ(request->interval_min, 6);
    EXPECT_EQ(request->interval_max, 12);
    EXPECT_EQ(request->max_latency, 3);
    EXPECT_EQ(request->timeout, 0x01F4);
    // The subevent code picks the parser.
    EXPECT_FALSE(
        hci::parse_connection_update_complete(hex("3E 0B 06 02 00 06 00 0C 00 03 00 F4 01")));
    EXPECT_FALSE(hci::parse_le_meta(hex("3E 00")));
}

TEST(HciEvents, StartUpAnswersNeedEveryReturnParameterAndMayCarryMore) {
    const auto version = hci::parse_local_version_information(hex("00 0B 34 12 0B F1 05 78 56"));
    ASSERT_TRUE(version);
    EXPECT_EQ(version->hci_version, 0x0B);
    EXPECT_EQ(version->hci_subversion, 0x1234);
    EXPECT_EQ(version->manufacturer, 0x05F1);
    EXPECT_EQ(version->lmp_subversion, 0x5678);
    EXPECT_FALSE(hci::parse_local_version_information(hex("00 0B 34 12 0B F1 05 78")));

    EXPECT_FALSE(hci::parse_bd_addr(hex("00 01 02 03 04 05")));
    EXPECT_EQ(hci::parse_bd_addr(hex("00 01 02 03 04 05 06"))->address[5], 0x06);

    // LE Read Buffer Size v1 and Read Buffer Size; a later version's extra bytes are ignored.
    const auto le = hci::parse_le_buffer_size(hex("00 FB 00 03 FF"));
    ASSERT_TRUE(le);
    EXPECT_EQ(le->acl_length, 251);
    EXPECT_EQ(le->acl_count, 3);
    EXPECT_FALSE(hci::parse_le_buffer_size(hex("00 FB 00")));
    const auto shared = hci::parse_buffer_size(hex("00 FD 03 00 08 00 00 00"));
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->acl_length, 1021);
    EXPECT_EQ(shared->acl_count, 8);
    EXPECT_FALSE(hci::parse_buffer_size(hex("00 FD 03 00 08 00 00")));

    EXPECT_EQ(hci::parse_le_local_supported_features(hex("00 03 00 00 00 00 00 00 80"))->features,
              0x8000000000000003ULL);
    EXPECT_FALSE(hci::parse_le_local_supported_features(hex("00 03 00 00 00 00 00 00")));
    // The status is read whatever it is; a failed answer may carry the status alone.
    EXPECT_FALSE(hci::parse_bd_addr(hex("01")));
}

}  // namespace
