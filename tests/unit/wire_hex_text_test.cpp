// Bytes as hex text and device addresses: what traces print and scenario files give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/wire/address_text.h"
#include "driver/wire/hex_text.h"

namespace {

using bytes = std::vector<uint8_t>;

TEST(WireHexText, DigitValuesOfBothCasesAndNothingElse) {
    EXPECT_EQ(wire::hex_digit_value('0'), 0);
    EXPECT_EQ(wire::hex_digit_value('9'), 9);
    EXPECT_EQ(wire::hex_digit_value('a'), 10);
    EXPECT_EQ(wire::hex_digit_value('F'), 15);
    // The neighbours of the ranges in the character table.
    for (char c : {'/', ':', '@', 'G', '`', 'g', ' ', '-', 'x', '\0'}) {
        EXPECT_EQ(wire::hex_digit_value(c), -1) << static_cast<int>(c);
    }
}

TEST(WireHexText, WritesLowerCasePairsInTheOrderGiven) {
    const bytes data = {0x00, 0x0F, 0xA0, 0xFF, 0x5C};
    EXPECT_EQ(wire::hex_text(data.data(), data.size()), "000fa0ff5c");
    EXPECT_EQ(wire::hex_text(data.data(), 2, " "), "00 0f ");
    EXPECT_EQ(wire::hex_text(nullptr, 0), "");
}

TEST(WireHexText, ParsesPairsWithBlanksBetweenThem) {
    bytes out;
    ASSERT_TRUE(wire::parse_hex_bytes("02 01 06", out));
    EXPECT_EQ(out, (bytes{0x02, 0x01, 0x06}));
    ASSERT_TRUE(wire::parse_hex_bytes(" 0aFf  c0 ", out));
    EXPECT_EQ(out, (bytes{0x0A, 0xFF, 0xC0}));
    ASSERT_TRUE(wire::parse_hex_bytes("", out));
    EXPECT_TRUE(out.empty());
}

TEST(WireHexText, RefusesOddDigitsAndBlanksInsideAPairAndKeepsTheOldBytes) {
    for (const char* text : {"0", "020", "0 2", "02 1", "0g", "0x02", "02-01", "02\t01"}) {
        bytes out = {0xEE};
        EXPECT_FALSE(wire::parse_hex_bytes(text, out)) << text;
        EXPECT_EQ(out, bytes{0xEE}) << text;
    }
}

TEST(WireHexText, HexTextReadsBackAsTheSameBytes) {
    bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
    bytes back;
    ASSERT_TRUE(wire::parse_hex_bytes(wire::hex_text(all.data(), all.size()), back));
    EXPECT_EQ(back, all);
    ASSERT_TRUE(wire::parse_hex_bytes(wire::hex_text(all.data(), all.size(), " "), back));
    EXPECT_EQ(back, all);
}

TEST(WireAddressText, MostSignificantByteFirstInUpperCase) {
    const wire::address_bytes air = {0x55, 0x44, 0x33, 0x22, 0x11, 0xC0};
    EXPECT_EQ(wire::address_text(air.data()), "C0:11:22:33:44:55");

    wire::address_bytes parsed{};
    ASSERT_TRUE(wire::parse_address("c0:11:22:33:44:5a", parsed));
    EXPECT_EQ(parsed, (wire::address_bytes{0x5A, 0x44, 0x33, 0x22, 0x11, 0xC0}));
    EXPECT_EQ(wire::address_text(parsed.data()), "C0:11:22:33:44:5A");
}

TEST(WireAddressText, RefusesAnythingButSixPairsJoinedByColons) {
    for (const char* text : {"", "C0:11:22:33:44", "C0:11:22:33:44:55:", "C0-11-22-33-44-55",
                             "C0:11:22:33:44:5G", "C0:11:22:33:4:555", "C011:22:33:44:55:6"}) {
        wire::address_bytes out = {1, 2, 3, 4, 5, 6};
        EXPECT_FALSE(wire::parse_address(text, out)) << text;
        EXPECT_EQ(out, (wire::address_bytes{1, 2, 3, 4, 5, 6})) << text;
    }
}

}  // namespace
