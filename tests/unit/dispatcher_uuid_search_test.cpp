// The UUID search reads advertising data from the air: it must find the one UUID of a
// well-formed report and never read past the data, whatever the bytes say.
#include <gtest/gtest.h>

#include <memory>

#include "driver/wire/ad_structures.h"
#include "link/event_dispatcher.h"
#include "tests/support/gap_events.h"

using namespace testing_support;

namespace {

// Copies the data into a block of exactly its size, so that the address sanitizer
// catches any read past the end.
bool search(const std::vector<uint8_t>& data, std::string& uuid) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size() == 0 ? 1 : data.size()]);
    std::copy(data.begin(), data.end(), exact.get());
    return find_uuid128(data.empty() ? nullptr : exact.get(), static_cast<uint16_t>(data.size()),
                        uuid);
}

const std::vector<uint8_t> counting_bytes = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                             0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

TEST(UuidSearchTest, FindsTheOneUuidOfACompleteListMostSignificantByteFirst) {
    std::string uuid;
    ASSERT_TRUE(search(ad_uuid128_list({counting_bytes}), uuid));
    EXPECT_EQ(uuid, "ffeeddccbbaa99887766554433221100");

    // Behind flags, a name and an empty structure, and followed by more data.
    uuid.clear();
    ASSERT_TRUE(search(concat({wire::ad_structure(0x01, {0x06}),
                               {0x00},
                               wire::ad_structure(0x09, {'p', 'h'}),
                               ad_uuid128_list({counting_bytes}),
                               wire::ad_structure(0xFF, {1, 2})}),
                       uuid));
    EXPECT_EQ(uuid, "ffeeddccbbaa99887766554433221100");
}

TEST(UuidSearchTest, OnlyTheFirstCompleteListCountsAndOnlyWithExactlyOneUuid) {
    std::string uuid;
    const auto two_uuids = ad_uuid128_list({counting_bytes, counting_bytes});
    EXPECT_FALSE(search(concat({two_uuids, ad_uuid128_list({counting_bytes})}), uuid));
    EXPECT_FALSE(search(wire::ad_structure(0x06, counting_bytes), uuid)) << "incomplete list";
    EXPECT_FALSE(search(wire::ad_structure(0x07, {0x01, 0x02}), uuid)) << "too short for a UUID";
    EXPECT_FALSE(search({}, uuid));
    EXPECT_FALSE(search({0x00, 0x00, 0x00}, uuid));
    EXPECT_TRUE(uuid.empty());
}

TEST(UuidSearchTest, AZeroLengthByteIsNotTakenForAStructureWithAType) {
    // The byte after a zero length is the next structure's length, not a type.
    std::string uuid;
    ASSERT_TRUE(search(concat({{0x00}, ad_uuid128_list({counting_bytes})}), uuid));
    EXPECT_EQ(uuid, "ffeeddccbbaa99887766554433221100");
}

TEST(UuidSearchTest, AStructureCutShortByTheEndOfTheDataHasNoUuid) {
    const std::vector<uint8_t> whole =
        concat({wire::ad_structure(0x01, {0x06}), ad_uuid128_list({counting_bytes})});
    for (size_t size = 0; size < whole.size(); ++size) {
        SCOPED_TRACE(size);
        std::string uuid;
        EXPECT_FALSE(search(std::vector<uint8_t>(whole.begin(), whole.begin() + size), uuid));
    }
    // A length byte that claims more than there is, with a UUID list's type.
    std::string uuid;
    EXPECT_FALSE(search({0xFF, 0x07, 0x01}, uuid));
    EXPECT_FALSE(search({0x02, 0x01}, uuid));
    EXPECT_FALSE(search({0x11}, uuid));
}

TEST(UuidSearchTest, ArbitraryBytesNeverLeadToAReadOutsideTheData) {
    // Every short pattern of lengths and types around the interesting values.
    const uint8_t values[] = {0x00, 0x01, 0x07, 0x10, 0x11, 0x12, 0xFF};
    for (uint8_t a : values)
        for (uint8_t b : values)
            for (uint8_t c : values)
                for (uint8_t d : values) {
                    std::string uuid;
                    search({a, b, c, d}, uuid);
                    search({a, b, c}, uuid);
                }
}

}  // namespace
