// H4 framing: whole packets out of a stream cut anywhere, a framing loss at garbage or a
// corrupt length, and the stream won back only at a Reset or its answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hci/h4_parser.h"
#include "tests/support/program_stack.h"

namespace {

using bytes = std::vector<uint8_t>;

using testing_support::hex;

// A Command Complete for HCI_Reset, an ACL packet of one L2CAP PDU, HCI_Reset itself and
// a synchronous packet: one of each type the parser knows.
const std::string four_packets =
    "04 0E 04 01 03 0C 00"
    "02 40 20 05 00 01 00 04 00 0A"
    "01 03 0C 00"
    "03 01 00 02 AA BB";

void expect_four_packets(const std::vector<hci::h4_packet>& packets) {
    ASSERT_EQ(packets.size(), 4U);
    EXPECT_EQ(packets[0].type, hci::packet_type::event);
    EXPECT_EQ(packets[0].bytes, hex("0E 04 01 03 0C 00"));
    EXPECT_EQ(packets[1].type, hci::packet_type::acl_data);
    EXPECT_EQ(packets[1].bytes, hex("40 20 05 00 01 00 04 00 0A"));
    EXPECT_EQ(packets[2].type, hci::packet_type::command);
    EXPECT_EQ(packets[2].bytes, hex("03 0C 00"));
    EXPECT_EQ(packets[3].type, hci::packet_type::synchronous_data);
    EXPECT_EQ(packets[3].bytes, hex("01 00 02 AA BB"));
}

TEST(HciH4Parser, YieldsEachPacketTypeWhole) {
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    parser.feed(hex(four_packets), packets);
    expect_four_packets(packets);
    EXPECT_EQ(parser.skipped_bytes(), 0U);
    EXPECT_EQ(parser.pending_bytes(), 0U);
}

TEST(HciH4Parser, ChunksSplitAnywhereGiveTheSamePackets) {
    const bytes stream = hex(four_packets);
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        hci::h4_parser parser;
        std::vector<hci::h4_packet> packets;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t n = std::min(chunk, stream.size() - at);
            parser.feed({stream.data() + at, n}, packets);
        }
        SCOPED_TRACE(chunk);
        expect_four_packets(packets);
        EXPECT_EQ(parser.skipped_bytes(), 0U);
    }
}

TEST(HciH4Parser, FedByPacketEachPieceEndsWhereAPacketDoes) {
    // Four whole packets and the first two bytes of a fifth: five pieces, the last with no
    // packet; a false return from the piece stops the feeding.
    const bytes stream = hex(four_packets + "04 0E");
    hci::h4_parser parser;
    std::vector<bytes> pieces;
    std::vector<hci::h4_packet> packets;
    hci::feed_by_packet(parser, stream, [&](hci::bytes_view piece, const auto& completed) {
        pieces.push_back(piece.to_vector());
        packets.insert(packets.end(), completed.begin(), completed.end());
        return true;
    });
    expect_four_packets(packets);
    ASSERT_EQ(pieces.size(), 5U);
    EXPECT_EQ(pieces[0], hex("04 0E 04 01 03 0C 00"));
    EXPECT_EQ(pieces[3], hex("03 01 00 02 AA BB"));
    EXPECT_EQ(pieces[4], hex("04 0E"));

    hci::h4_parser stopped;
    size_t calls = 0;
    hci::feed_by_packet(stopped, stream, [&](hci::bytes_view, const auto&) {
        ++calls;
        return false;
    });
    EXPECT_EQ(calls, 1U);
    EXPECT_EQ(stopped.pending_bytes(), 0U);
}

TEST(HciH4Parser, SkipsGarbageAndResynchronises) {
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    // Noise where a packet must begin: nothing is framed again, not even the Hardware Error
    // behind it, until HCI Reset.
    parser.feed(hex("FF 00 05 7E 04 10 01 2A 00 C3 01 03 0C 00"), packets);
    ASSERT_EQ(packets.size(), 1U);
    EXPECT_EQ(packets[0].bytes, hex("03 0C 00"));
    EXPECT_EQ(parser.skipped_bytes(), 10U);
    EXPECT_EQ(parser.framing_losses(), 1U);
    EXPECT_TRUE(parser.in_step());
}

TEST(HciH4Parser, EmptyPayloadsAreWholePackets) {
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    parser.feed(hex("04 FF 00 02 01 20 00 00"), packets);
    ASSERT_EQ(packets.size(), 2U);
    EXPECT_EQ(packets[0].bytes, hex("FF 00"));
    EXPECT_EQ(packets[1].bytes, hex("01 20 00 00"));
}

TEST(HciH4Parser, AclLengthAboveTheLimitIsGarbageNotAWait) {
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    // 0xFFFF bytes announced: the framing is lost at once, and the event right behind is
    // not believed either.
    parser.feed(hex("02 00 00 FF FF 04 10 01 2A"), packets);
    EXPECT_TRUE(packets.empty());
    EXPECT_FALSE(parser.in_step());
    EXPECT_EQ(parser.skipped_bytes(), 9U);
    EXPECT_NE(parser.last_loss().find("65535 bytes"), std::string::npos) << parser.last_loss();
    EXPECT_EQ(parser.pending_bytes(), 0U);
}

TEST(HciH4Parser, AclLengthAtTheLimitIsWaitedFor) {
    hci::h4_parser parser(8);
    std::vector<hci::h4_packet> packets;
    parser.feed(hex("02 01 20 08 00 01 02 03 04 05 06 07"), packets);
    EXPECT_TRUE(packets.empty());
    parser.feed(hex("08"), packets);
    ASSERT_EQ(packets.size(), 1U);
    EXPECT_EQ(packets[0].bytes.size(), 12U);

    parser.feed(hex("02 01 20 09 00"), packets);
    EXPECT_EQ(parser.skipped_bytes(), 5U);  // "01 20 09" is no longer read as a command
    EXPECT_EQ(parser.framing_losses(), 1U);
}

// The payload of a phone's long ACL packet holds what looks like Disconnection Complete for
// its own link, reason 0x13; a parser that hunted past the header found it.
TEST(HciH4Parser, APhonesDataBehindAnOversizedAclHeaderIsNeverFramed) {
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    parser.feed(hex("02 40 00 00 05 04 05 04 00 40 00 13 04 05 04 00 40 00 13"), packets);
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(parser.framing_losses(), 1U);
    EXPECT_EQ(parser.skipped_bytes(), 19U);
}

TEST(HciH4Parser, IsoDataIsFramedByItsFourteenBitLength) {
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    // The two bits above the length are reserved: set here, they must not lengthen it.
    parser.feed(hex("05 01 00 02 C0 AA BB 05 02 40 03 00 04 05 04 04 10 01 2A"), packets);
    ASSERT_EQ(packets.size(), 3U);
    EXPECT_EQ(packets[0].type, hci::packet_type::iso_data);
    EXPECT_EQ(packets[0].bytes, hex("01 00 02 C0 AA BB"));
    EXPECT_EQ(packets[1].type, hci::packet_type::iso_data);
    EXPECT_EQ(packets[1].bytes, hex("02 40 03 00 04 05 04"));
    EXPECT_EQ(packets[2].bytes, hex("10 01 2A"));
    EXPECT_EQ(parser.skipped_bytes(), 0U);
    EXPECT_EQ(parser.framing_losses(), 0U);
}

TEST(HciH4Parser, FramingIsWonBackOnlyByTheAnswerToResetHoweverItIsCut) {
    const bytes stream = hex("FF 04 0E 04 01 01 10 00 04 0E 04 05 03 0C 00 04 10 01 2A");
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        SCOPED_TRACE(chunk);
        hci::h4_parser parser;
        std::vector<hci::h4_packet> packets;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            parser.feed({stream.data() + at, std::min(chunk, stream.size() - at)}, packets);
        }
        // A Command Complete for another command is no way back in.
        ASSERT_EQ(packets.size(), 2U);
        EXPECT_EQ(packets[0].bytes, hex("0E 04 05 03 0C 00"));
        EXPECT_EQ(packets[1].bytes, hex("10 01 2A"));
        EXPECT_EQ(parser.skipped_bytes(), 8U);
        EXPECT_EQ(parser.framing_losses(), 1U);
    }
}

TEST(HciH4Parser, AHostsParserIgnoresWhatCameBeforeItsResetsAnswer) {
    hci::h4_parser parser(hci::h4_parser::default_max_acl_length,
                          hci::h4_parser::start::at_reset_answer);
    EXPECT_FALSE(parser.in_step());
    std::vector<hci::h4_packet> packets;
    parser.feed(hex("3E 04 10 01 2A 04 0E 04 01 03 0C 00 04 10 01 2B"), packets);
    ASSERT_EQ(packets.size(), 2U);
    EXPECT_EQ(packets[0].bytes, hex("0E 04 01 03 0C 00"));
    EXPECT_EQ(packets[1].bytes, hex("10 01 2B"));
    EXPECT_EQ(parser.skipped_bytes(), 5U);
    EXPECT_EQ(parser.framing_losses(), 0U);  // not in step yet is not a loss
}

TEST(HciH4Parser, TellsHowManyPacketsOfAFeedCameBeforeTheLoss) {
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    parser.feed(hex("04 10 01 2A"), packets);
    EXPECT_EQ(parser.packets_before_loss(), 1U);
    parser.feed(hex("04 10 01 2B 77 04 0E 04 01 03 0C 00 FF 04 0E 04 01 03 0C 00"), packets);
    ASSERT_EQ(packets.size(), 4U);
    // Counted in this feed's packets, up to its first loss.
    EXPECT_EQ(parser.packets_before_loss(), 1U);
    EXPECT_EQ(parser.framing_losses(), 2U);
}

}  // namespace
