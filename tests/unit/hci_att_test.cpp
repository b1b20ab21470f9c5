// ATT client requests byte for byte and the parsing of what a peer answers, including attribute
// lists that do not add up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hci/att.h"
#include "tests/support/program_stack.h"

namespace {

using bytes = std::vector<uint8_t>;

using testing_support::hex;

TEST(HciAtt, ClientRequests) {
    EXPECT_EQ(hci::exchange_mtu_request(247), hex("02 F7 00"));
    // Primary services over the whole handle range, then characteristics of one service.
    EXPECT_EQ(*hci::read_by_group_type_request(0x0001, 0xFFFF, hex("00 28")),
              hex("10 01 00 FF FF 00 28"));
    EXPECT_EQ(*hci::read_by_type_request(0x0010, 0x001F, hex("03 28")),
              hex("08 10 00 1F 00 03 28"));
    EXPECT_FALSE(hci::read_by_type_request(1, 2, hex("00 28 00")));
    EXPECT_FALSE(hci::read_by_group_type_request(1, 2, hex("")));

    EXPECT_EQ(hci::read_request(0x0003), hex("0A 03 00"));
    EXPECT_EQ(hci::write_request(0x000E, hex("01 00")), hex("12 0E 00 01 00"));
}

TEST(HciAtt, ErrorAndMtuResponses) {
    const auto error = hci::parse_error_response(hex("01 10 01 00 0A"));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->request_opcode, hci::att_opcode::read_by_group_type_request);
    EXPECT_EQ(error->handle, 1);
    EXPECT_EQ(error->error_code, 0x0A);  // attribute not found
    EXPECT_FALSE(hci::parse_error_response(hex("01 10 01 00")));
    EXPECT_FALSE(hci::parse_error_response(hex("01 10 01 00 0A 00")));

    EXPECT_EQ(hci::parse_exchange_mtu(hex("03 F7 00"), hci::att_opcode::exchange_mtu_response),
              247);
    EXPECT_EQ(hci::parse_exchange_mtu(hex("02 00 02"), hci::att_opcode::exchange_mtu_request), 512);
    EXPECT_FALSE(hci::parse_exchange_mtu(hex("03 F7 00"), hci::att_opcode::exchange_mtu_request));
    EXPECT_FALSE(hci::parse_exchange_mtu(hex("03 F7"), hci::att_opcode::exchange_mtu_response));
    EXPECT_FALSE(hci::parse_exchange_mtu(hex("0B F7 00"), hci::att_opcode::read_response));
    EXPECT_FALSE(hci::att_opcode_of(hex("")));
}

TEST(HciAtt, ReadByGroupTypeResponseEntries) {
    const bytes pdu = hex("11 06 01 00 05 00 00 18 06 00 09 00 0F 18");
    const auto services = hci::parse_read_by_group_type_response(pdu);
    ASSERT_TRUE(services);
    ASSERT_EQ(services->size(), 2U);
    EXPECT_EQ((*services)[0].handle, 1);
    EXPECT_EQ((*services)[0].end_group_handle, 5);
    EXPECT_EQ((*services)[0].value.to_vector(), hex("00 18"));
    EXPECT_EQ((*services)[1].handle, 6);
    EXPECT_EQ((*services)[1].end_group_handle, 9);
    EXPECT_EQ((*services)[1].value.to_vector(), hex("0F 18"));

    const bytes long_uuid =
        hex("11 14 10 00 FF FF 9E CA DC 24 0E E5 A9 E0 93 F3 A3 B5 01 00 40 6E");
    const auto custom = hci::parse_read_by_group_type_response(long_uuid);
    ASSERT_TRUE(custom);
    ASSERT_EQ(custom->size(), 1U);
    EXPECT_EQ((*custom)[0].value.size, 16U);
}

TEST(HciAtt, AttributeListsThatDoNotAddUpAreMalformed) {
    // A length that does not divide the list, one that leaves no value, zero, an empty
    // list, a missing length byte.
    EXPECT_FALSE(hci::parse_read_by_group_type_response(hex("11 06 01 00 05 00 00 18 06")));
    EXPECT_FALSE(hci::parse_read_by_group_type_response(hex("11 04 01 00 05 00")));
    EXPECT_FALSE(hci::parse_read_by_group_type_response(hex("11 00 01 00")));
    EXPECT_FALSE(hci::parse_read_by_group_type_response(hex("11 06")));
    EXPECT_FALSE(hci::parse_read_by_group_type_response(hex("11")));
    EXPECT_FALSE(hci::parse_read_by_type_response(hex("09 07 02 00 02 03 00 00 2A 04")));
    EXPECT_FALSE(hci::parse_read_by_type_response(hex("09 02 02 00")));
    EXPECT_FALSE(hci::parse_read_by_type_response(hex("09 00")));
    // The right layout under another opcode.
    EXPECT_FALSE(hci::parse_read_by_type_response(hex("11 06 01 00 05 00 00 18")));
}

TEST(HciAtt, ReadByTypeResponseEntries) {
    // Two characteristic declarations: properties, value handle, 16-bit UUID.
    const bytes pdu = hex("09 07 02 00 02 03 00 00 2A 04 00 12 05 00 01 2A");
    const auto characteristics = hci::parse_read_by_type_response(pdu);
    ASSERT_TRUE(characteristics);
    ASSERT_EQ(characteristics->size(), 2U);
    EXPECT_EQ((*characteristics)[0].handle, 2);
    EXPECT_EQ((*characteristics)[0].value.to_vector(), hex("02 03 00 00 2A"));
    EXPECT_EQ((*characteristics)[1].handle, 4);
    EXPECT_EQ((*characteristics)[1].value.to_vector(), hex("12 05 00 01 2A"));
}

TEST(HciAtt, ReadWriteAndNotification) {
    const bytes read = hex("0B 4F 72 76");
    const auto value = hci::parse_read_response(read);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->to_vector(), hex("4F 72 76"));
    const auto empty = hci::parse_read_response(hex("0B"));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size, 0U);
    EXPECT_FALSE(hci::parse_read_response(hex("0A 03 00")));

    EXPECT_TRUE(hci::is_write_response(hex("13")));
    EXPECT_FALSE(hci::is_write_response(hex("13 00")));
    EXPECT_FALSE(hci::is_write_response(hex("")));

    const bytes notification = hex("1B 0F 00 01 02");
    const auto notified = hci::parse_notification(notification);
    ASSERT_TRUE(notified);
    EXPECT_EQ(notified->handle, 0x000F);
    EXPECT_EQ(notified->value.to_vector(), hex("01 02"));
    EXPECT_TRUE(hci::parse_notification(hex("1B 0F 00")));
    EXPECT_FALSE(hci::parse_notification(hex("1B 0F")));
    EXPECT_FALSE(hci::parse_notification(hex("1D 0F 00 01")));
}

}  // namespace
