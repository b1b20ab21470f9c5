// ACL fragmentation and reassembly, L2CAP basic frames and the LE signalling commands for
// connection parameters, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hci/acl.h"
#include "hci/l2cap.h"
#include "tests/support/program_stack.h"

namespace {

using bytes = std::vector<uint8_t>;

using testing_support::hex;

// An H4 ACL packet without its indicator, as the H4 parser hands it on.
bytes without_indicator(const bytes& h4) {
    return bytes(h4.begin() + 1, h4.end());
}

TEST(HciAclL2cap, AclHeaderFields) {
    const auto packet = hci::parse_acl_packet(hex("41 20 05 00 01 00 04 00 0A"));
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->connection_handle, 0x0041);
    EXPECT_EQ(packet->packet_boundary, hci::packet_boundary::first_flushable);
    EXPECT_EQ(packet->broadcast, 0);
    EXPECT_EQ(packet->data.size, 5U);
    EXPECT_FALSE(hci::parse_acl_packet(hex("41 20 05 00 01 00 04 00")));
    EXPECT_FALSE(hci::parse_acl_packet(hex("41 20 05")));
}

TEST(HciAclL2cap, FragmentsFitTheControllerBuffer) {
    const bytes pdu = hex("06 00 04 00 12 0E 00 01 00 02");
    const auto fragments = hci::acl_fragments(0x0040, pdu, 4);
    ASSERT_EQ(fragments.size(), 3U);
    EXPECT_EQ(fragments[0], hex("02 40 00 04 00 06 00 04 00"));
    EXPECT_EQ(fragments[1], hex("02 40 10 04 00 12 0E 00 01"));
    EXPECT_EQ(fragments[2], hex("02 40 10 02 00 00 02"));
    // An exact multiple leaves no empty fragment behind.
    EXPECT_EQ(hci::acl_fragments(1, pdu, 5).size(), 2U);
    EXPECT_EQ(hci::acl_fragments(1, pdu, 27).size(), 1U);
    EXPECT_TRUE(hci::acl_fragments(1, pdu, 0).empty());
}

TEST(HciAclL2cap, ReassemblesOurOwnFragments) {
    bytes pdu = hex("17 00 04 00 1B 0F 00");
    pdu.resize(4 + 0x17, 0x5A);
    hci::acl_reassembler reassembler;
    std::optional<hci::reassembled_pdu> whole;
    for (const bytes& fragment : hci::acl_fragments(0x0EFF, pdu, 7)) {
        EXPECT_FALSE(whole);
        whole = reassembler.add(without_indicator(fragment));
    }
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->connection_handle, 0x0EFF);
    EXPECT_EQ(whole->bytes, pdu);
    EXPECT_EQ(reassembler.dropped(), 0U);
}

TEST(HciAclL2cap, ReassemblesInterleavedConnectionsAndASplitHeader) {
    hci::acl_reassembler reassembler;
    // Handle 1's first fragment holds one byte of the basic header.
    EXPECT_FALSE(reassembler.add(hex("01 20 01 00 03")));
    EXPECT_FALSE(reassembler.add(hex("02 20 04 00 01 00 04 00")));
    const auto two = reassembler.add(hex("02 10 01 00 0A"));
    ASSERT_TRUE(two);
    EXPECT_EQ(two->connection_handle, 2);
    EXPECT_EQ(two->bytes, hex("01 00 04 00 0A"));
    const auto one = reassembler.add(hex("01 10 06 00 00 04 00 0B 41 42"));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->bytes, hex("03 00 04 00 0B 41 42"));
    EXPECT_EQ(reassembler.dropped(), 0U);
}

TEST(HciAclL2cap, ReassemblyDropsWhatCannotBeTrusted) {
    hci::acl_reassembler reassembler(4 + 16);
    // A continuation with no start before it.
    EXPECT_FALSE(reassembler.add(hex("01 10 02 00 AA BB")));
    EXPECT_EQ(reassembler.dropped(), 1U);

    // A new start discards the unfinished PDU; the new one completes on its own bytes.
    EXPECT_FALSE(reassembler.add(hex("01 20 05 00 05 00 04 00 AA")));
    const auto restarted = reassembler.add(hex("01 20 05 00 01 00 04 00 BB"));
    ASSERT_TRUE(restarted);
    EXPECT_EQ(restarted->bytes, hex("01 00 04 00 BB"));
    EXPECT_EQ(reassembler.dropped(), 2U);

    // Announcing more than the limit is dropped at once; its continuation is then stray.
    EXPECT_FALSE(reassembler.add(hex("01 20 04 00 11 00 04 00")));
    EXPECT_EQ(reassembler.dropped(), 3U);
    EXPECT_FALSE(reassembler.add(hex("01 10 01 00 AA")));
    EXPECT_EQ(reassembler.dropped(), 4U);

    // Fragments past the announced length, a complete-PDU boundary flag (BR/EDR only) and
    // a packet whose length field lies.
    EXPECT_FALSE(reassembler.add(hex("01 20 05 00 02 00 04 00 AA")));
    EXPECT_FALSE(reassembler.add(hex("01 10 02 00 BB CC")));
    EXPECT_EQ(reassembler.dropped(), 5U);
    EXPECT_FALSE(reassembler.add(hex("01 30 05 00 01 00 04 00 AA")));
    EXPECT_FALSE(reassembler.add(hex("01 20 09 00 01 00 04 00 AA")));
    EXPECT_EQ(reassembler.dropped(), 7U);

    // Forgetting a handle drops what it held: the continuation is stray.
    EXPECT_FALSE(reassembler.add(hex("01 20 05 00 02 00 04 00 AA")));
    reassembler.forget(1);
    EXPECT_FALSE(reassembler.add(hex("01 10 01 00 BB")));
    EXPECT_EQ(reassembler.dropped(), 8U);
}

TEST(HciAclL2cap, BasicFrames) {
    // Parsed views point into the packet, which must outlive them.
    const bytes pdu = hex("03 00 04 00 0A 01 00");
    const auto frame = hci::parse_l2cap_frame(pdu);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->channel_id, hci::cid::att);
    EXPECT_EQ(frame->payload.to_vector(), hex("0A 01 00"));
    EXPECT_FALSE(hci::parse_l2cap_frame(hex("04 00 04 00 0A 01 00")));
    EXPECT_FALSE(hci::parse_l2cap_frame(hex("02 00 04 00 0A 01 00")));
    EXPECT_FALSE(hci::parse_l2cap_frame(hex("00 00 04")));
    EXPECT_EQ(*hci::l2cap_pdu(hci::cid::att, hex("0A 01 00")), hex("03 00 04 00 0A 01 00"));
    EXPECT_FALSE(hci::l2cap_pdu(hci::cid::att, bytes(0x10000, 0)));
}

TEST(HciAclL2cap, ConnectionParameterUpdateSignalling) {
    hci::connection_parameter_update_request request;
    request.identifier = 1;
    request.interval_min = 0x0018;
    request.interval_max = 0x0028;
    request.latency = 0;
    request.timeout = 0x01F4;
    const bytes pdu = hci::connection_parameter_update_request_pdu(request);
    EXPECT_EQ(pdu, hex("0C 00 05 00 12 01 08 00 18 00 28 00 00 00 F4 01"));

    const auto frame = hci::parse_l2cap_frame(pdu);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->channel_id, hci::cid::le_signalling);
    const auto command = hci::parse_signalling_command(frame->payload);
    ASSERT_TRUE(command);
    const auto parsed = hci::parse_connection_parameter_update_request(*command);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->identifier, 1);
    EXPECT_EQ(parsed->interval_max, 0x0028);
    EXPECT_EQ(parsed->timeout, 0x01F4);
    EXPECT_FALSE(hci::parse_connection_parameter_update_response(*command));

    EXPECT_EQ(hci::connection_parameter_update_response_pdu(7, 1),
              hex("06 00 05 00 13 07 02 00 01 00"));
    const auto response = hci::parse_connection_parameter_update_response(
        *hci::parse_signalling_command(hex("13 07 02 00 01 00")));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->identifier, 7);
    EXPECT_EQ(response->result, 1);
}

TEST(HciAclL2cap, MalformedSignallingCommands) {
    // Identifier 0 is reserved; the length must match.
    EXPECT_FALSE(hci::parse_signalling_command(hex("13 00 02 00 00 00")));
    EXPECT_FALSE(hci::parse_signalling_command(hex("13 01 03 00 00 00")));
    EXPECT_FALSE(hci::parse_signalling_command(hex("13 01 02")));
    // A request one byte short, a response one byte long.
    EXPECT_FALSE(hci::parse_connection_parameter_update_request(
        *hci::parse_signalling_command(hex("12 01 07 00 18 00 28 00 00 00 F4"))));
    EXPECT_FALSE(hci::parse_connection_parameter_update_response(
        *hci::parse_signalling_command(hex("13 01 03 00 00 00 00"))));
}

TEST(HciAclL2cap, CommandReject) {
    EXPECT_EQ(hci::command_reject_pdu(3, hci::reject_reason::command_not_understood),
              hex("06 00 05 00 01 03 02 00 00 00"));
    // Invalid CID carries the two channel identifiers after the reason.
    const bytes payload = hex("01 04 06 00 02 00 40 00 41 00");
    const auto reject = hci::parse_command_reject(*hci::parse_signalling_command(payload));
    ASSERT_TRUE(reject);
    EXPECT_EQ(reject->identifier, 4);
    EXPECT_EQ(reject->reason, hci::reject_reason::invalid_cid);
    EXPECT_EQ(reject->data.to_vector(), hex("40 00 41 00"));
    EXPECT_FALSE(hci::parse_command_reject(*hci::parse_signalling_command(hex("01 04 01 00 02"))));
}

}  // namespace
