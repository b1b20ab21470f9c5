// HCI command packets byte for byte: opcode, parameter length and every parameter.
#include "hci/hci_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/program_stack.h"

namespace {

using bytes = std::vector<uint8_t>;

using testing_support::hex;

TEST(HciCommands, CommandsWithoutParameters) {
    EXPECT_EQ(hci::reset_command(), hex("01 03 0C 00"));
    EXPECT_EQ(hci::read_local_version_information_command(), hex("01 01 10 00"));
    EXPECT_EQ(hci::read_buffer_size_command(), hex("01 05 10 00"));
    EXPECT_EQ(hci::read_bd_addr_command(), hex("01 09 10 00"));
    EXPECT_EQ(hci::le_read_buffer_size_command(), hex("01 02 20 00"));
    EXPECT_EQ(hci::le_read_local_supported_features_command(), hex("01 03 20 00"));
    EXPECT_EQ(hci::le_create_connection_cancel_command(), hex("01 0E 20 00"));
}

TEST(HciCommands, EventMasksAreEightBytesLittleEndian) {
    EXPECT_EQ(hci::set_event_mask_command(0x3DBFF807FFFBFFFFULL),
              hex("01 01 0C 08 FF FF FB FF 07 F8 BF 3D"));
    EXPECT_EQ(hci::le_set_event_mask_command(0x000000000000021FULL),
              hex("01 01 20 08 1F 02 00 00 00 00 00 00"));
}

TEST(HciCommands, ScanningCommands) {
    EXPECT_EQ(hci::le_set_scan_enable_command(true, false), hex("01 0C 20 02 01 00"));
    hci::scan_parameters scan;
    scan.active = 1;
    scan.interval = 0x0060;
    scan.window = 0x0030;
    scan.own_address_type = 1;
    EXPECT_EQ(hci::le_set_scan_parameters_command(scan), hex("01 0B 20 07 01 60 00 30 00 01 00"));
}

TEST(HciCommands, AdvertisingCommands) {
    hci::advertising_parameters adv;
    adv.interval_min = 0x00A0;
    adv.interval_max = 0x00B0;
    adv.advertising_type = 3;
    adv.peer_address = {0x11, 0x22, 0x33, 0x44, 0x55, 0xC0};
    EXPECT_EQ(hci::le_set_advertising_parameters_command(adv),
              hex("01 06 20 0F A0 00 B0 00 03 00 00 11 22 33 44 55 C0 07 00"));
    EXPECT_EQ(hci::le_set_advertising_enable_command(true), hex("01 0A 20 01 01"));

    // The data parameter is always 31 bytes, zero-padded after the significant part.
    const auto data = hci::le_set_advertising_data_command(hex("02 01 06"));
    ASSERT_TRUE(data);
    bytes expected = hex("01 08 20 20 03 02 01 06");
    expected.resize(4 + 32, 0);
    EXPECT_EQ(*data, expected);
    EXPECT_FALSE(hci::le_set_advertising_data_command(bytes(32, 0xAB)));
}

TEST(HciCommands, ConnectionCommands) {
    hci::create_connection_parameters create;
    create.peer_address_type = 1;
    create.peer_address = {0x11, 0x22, 0x33, 0x44, 0x55, 0xC0};
    create.connection.max_latency = 4;
    create.connection.max_ce_length = 0x0010;
    EXPECT_EQ(hci::le_create_connection_command(create),
              hex("01 0D 20 19 60 00 30 00 00 01 11 22 33 44 55 C0 00"
                  "18 00 28 00 04 00 F4 01 00 00 10 00"));

    hci::connection_parameters params;
    params.interval_min = 6;
    params.interval_max = 12;
    params.supervision_timeout = 0x0C80;
    const std::string params_hex = "06 00 0C 00 00 00 80 0C 00 00 00 00";
    // Reserved upper bits of the handle are not ours to set.
    EXPECT_EQ(hci::le_connection_update_command(0xF001, params),
              hex("01 13 20 0E 01 00 " + params_hex));
    EXPECT_EQ(hci::le_remote_connection_parameter_request_reply_command(0x0002, params),
              hex("01 20 20 0E 02 00 " + params_hex));
    EXPECT_EQ(hci::disconnect_command(0x0040, 0x13), hex("01 06 04 03 40 00 13"));
    EXPECT_EQ(hci::read_rssi_command(0x0EFF), hex("01 05 14 02 FF 0E"));
}

TEST(HciCommands, ParametersMustFitTheLengthByte) {
    EXPECT_EQ(hci::make_opcode(0x3F, 0x0001), 0xFC01);
    const auto longest = hci::command_packet(0xFC01, bytes(255, 0));
    ASSERT_TRUE(longest);
    EXPECT_EQ(longest->size(), 4U + 255U);
    EXPECT_EQ((*longest)[3], 0xFF);
    EXPECT_FALSE(hci::command_packet(0xFC01, bytes(256, 0)));
}

}  // namespace
