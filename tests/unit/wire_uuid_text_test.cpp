// 128-bit UUIDs between the air's order and the text's. The parser takes either letter
// case and the dashed form, as scenario files have always been allowed to write them.
#include <gtest/gtest.h>

#include <string>

#include "driver/wire/uuid_text.h"

namespace {

// Air order: least significant byte first.
const wire::uuid128_bytes counting = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                      0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const std::string counting_text = "ffeeddccbbaa99887766554433221100";

TEST(WireUuidText, TextIsMostSignificantByteFirstInLowerCase) {
    EXPECT_EQ(wire::uuid128_text(counting.data()), counting_text);
}

TEST(WireUuidText, ParsingGivesAirOrderAndRoundTrips) {
    wire::uuid128_bytes parsed{};
    ASSERT_TRUE(wire::parse_uuid128(counting_text, parsed));
    EXPECT_EQ(parsed, counting);

    const std::string text = "a0a489971097bba1b343eddd8f50f6ac";
    ASSERT_TRUE(wire::parse_uuid128(text, parsed));
    EXPECT_EQ(parsed[0], 0xAC);
    EXPECT_EQ(parsed[15], 0xA0);
    EXPECT_EQ(wire::uuid128_text(parsed.data()), text);
}

TEST(WireUuidText, UpperAndMixedCaseParseToTheSameBytes) {
    wire::uuid128_bytes lower{};
    wire::uuid128_bytes upper{};
    wire::uuid128_bytes mixed{};
    ASSERT_TRUE(wire::parse_uuid128("7198c97a914a432db8280eea0e2b65fc", lower));
    ASSERT_TRUE(wire::parse_uuid128("7198C97A914A432DB8280EEA0E2B65FC", upper));
    ASSERT_TRUE(wire::parse_uuid128("7198C97a914A432dB8280eEA0E2B65Fc", mixed));
    EXPECT_EQ(lower, upper);
    EXPECT_EQ(lower, mixed);
    // Printed back, always lower case.
    EXPECT_EQ(wire::uuid128_text(upper.data()), "7198c97a914a432db8280eea0e2b65fc");
}

TEST(WireUuidText, DashesOnlyInTheirFourPlacesOfTheLongForm) {
    wire::uuid128_bytes dashed{};
    wire::uuid128_bytes plain{};
    ASSERT_TRUE(wire::parse_uuid128("7198C97A-914A-432D-B828-0EEA0E2B65FC", dashed));
    ASSERT_TRUE(wire::parse_uuid128("7198C97A914A432DB8280EEA0E2B65FC", plain));
    EXPECT_EQ(dashed, plain);

    for (const char* text : {
             "7198C97A-914A432D-B828-0EEA0E2B65FC",   // 35 characters: a dash is missing
             "7198C97A914A-432D-B828-0EEA0E2B65FC-",  // 36, but dashes in the wrong places
             "7198C97-A914A-432D-B828-0EEA0E2B65FC",  // one place off
             "7198C97A--914A432D-B828-0EEA0E2B65F",   // doubled dash
             "7198C97A914A432DB8280EEA0E2B65F-",      // 32 with a dash
             "-7198C97A914A432DB8280EEA0E2B65FC",     // leading dash
         }) {
        wire::uuid128_bytes out{};
        EXPECT_FALSE(wire::parse_uuid128(text, out)) << text;
    }
}

TEST(WireUuidText, RefusesWrongLengthsAndNonDigitsAndKeepsTheOldBytes) {
    for (const std::string& text :
         {std::string(), std::string(31, 'a'), std::string(33, 'a'), std::string(36, 'a'),
          std::string(64, 'a'), std::string("0x") + std::string(30, '1'),
          std::string(31, '1') + "g", std::string(31, '1') + " ",
          std::string("{") + std::string(32, '0') + "}"}) {
        wire::uuid128_bytes out = counting;
        EXPECT_FALSE(wire::parse_uuid128(text, out)) << text;
        EXPECT_EQ(out, counting) << text;
    }
}

TEST(WireUuidText, ComparisonIgnoresLetterCaseOnly) {
    EXPECT_TRUE(wire::uuid_equal_ignoring_case("7198c97a914a", "7198C97A914A"));
    EXPECT_TRUE(wire::uuid_equal_ignoring_case("", ""));
    EXPECT_FALSE(wire::uuid_equal_ignoring_case("7198c97a914a", "7198C97A914B"));
    EXPECT_FALSE(wire::uuid_equal_ignoring_case("7198c97a914a", "7198c97a914"));
    EXPECT_FALSE(wire::uuid_equal_ignoring_case("7198c97a914a", "7198c97a914a0"));
}

}  // namespace
