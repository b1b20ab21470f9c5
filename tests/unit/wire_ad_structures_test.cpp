// The walk over advertising data from the air, and the writing of it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/wire/ad_structures.h"

namespace {

using bytes = std::vector<uint8_t>;

struct walked {
    std::vector<uint8_t> types;
    std::vector<bytes> values;
    bool cut_short = false;
};

// Walks a copy of `data` in a block of exactly its size, so that the address sanitizer
// catches any read past the end.
walked walk(const bytes& data) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size()]);
    std::copy(data.begin(), data.end(), exact.get());
    wire::ad_walker walker(data.empty() ? nullptr : exact.get(), data.size());
    walked seen;
    wire::ad_structure_view s;
    while (walker.next(s)) {
        seen.types.push_back(s.type);
        seen.values.emplace_back(s.value, s.value + s.value_length);
    }
    seen.cut_short = walker.cut_short();
    // Once over, the walk stays over.
    EXPECT_FALSE(walker.next(s));
    return seen;
}

TEST(WireAdWalker, GivesEachStructureInOrderWithItsValue) {
    const walked seen = walk({0x02, 0x01, 0x06, 0x03, 0xFF, 0x4C, 0x00, 0x01, 0x09});
    EXPECT_EQ(seen.types, (bytes{0x01, 0xFF, 0x09}));
    EXPECT_EQ(seen.values, (std::vector<bytes>{{0x06}, {0x4C, 0x00}, {}}));
    EXPECT_FALSE(seen.cut_short);
}

TEST(WireAdWalker, AZeroLengthIsAnEmptyStructureWithoutATypeByte) {
    // The byte after a zero is the next length, even when it looks like a type.
    const walked seen = walk({0x00, 0x00, 0x02, 0x07, 0xAB, 0x00});
    EXPECT_EQ(seen.types, bytes{0x07});
    EXPECT_EQ(seen.values, std::vector<bytes>{{0xAB}});
    EXPECT_FALSE(seen.cut_short);

    EXPECT_TRUE(walk({0x00, 0x00, 0x00}).types.empty());
    EXPECT_FALSE(walk({0x00, 0x00, 0x00}).cut_short);
}

TEST(WireAdWalker, AStructureCutShortEndsTheWalkAtEveryLength) {
    const bytes whole = {0x02, 0x01, 0x06, 0x05, 0x09, 'p', 'h', 'o', 'n'};
    for (size_t size = 0; size < whole.size(); ++size) {
        SCOPED_TRACE(size);
        const walked seen = walk(bytes(whole.begin(), whole.begin() + size));
        // Only the flags are whole from three bytes on; the name never is.
        EXPECT_EQ(seen.types.size(), size >= 3 ? 1u : 0u);
        EXPECT_EQ(seen.cut_short, size != 0 && size != 3);
    }
    const walked all = walk(whole);
    EXPECT_EQ(all.types, (bytes{0x01, 0x09}));
    EXPECT_FALSE(all.cut_short);
}

TEST(WireAdWalker, ALengthByteClaimingMoreThanThereIsReadsNoType) {
    for (const bytes& data : {bytes{0xFF, 0x07, 0x01}, bytes{0x11}, bytes{0x02, 0x01}}) {
        const walked seen = walk(data);
        EXPECT_TRUE(seen.types.empty());
        EXPECT_TRUE(seen.cut_short);
    }
    // A structure after the one cut short is never reached.
    EXPECT_TRUE(walk({0x05, 0x09, 0x02, 0x01, 0x06}).types.empty());
}

TEST(WireAdWalker, NullDataIsNoDataWhateverTheLength) {
    wire::ad_walker walker(nullptr, 31);
    wire::ad_structure_view s;
    EXPECT_FALSE(walker.next(s));
    EXPECT_FALSE(walker.cut_short());
}

TEST(WireAdWalker, ArbitraryShortDataNeverLeadsToAReadOutsideIt) {
    const uint8_t values[] = {0x00, 0x01, 0x02, 0x03, 0x07, 0x11, 0xFF};
    for (uint8_t a : values)
        for (uint8_t b : values)
            for (uint8_t c : values)
                for (uint8_t d : values) {
                    walk({a, b, c, d});
                    walk({a, b, c});
                    walk({a, b});
                }
}

TEST(WireAdStructures, WrittenStructuresWalkBackAsWritten) {
    bytes data;
    wire::append_ad_structure(data, wire::ad_type::flags, {0x06});
    wire::append_ad_structure(data, wire::ad_type::complete_local_name, {});
    const bytes uuid(16, 0x5A);
    wire::append_ad_structure(data, wire::ad_type::complete_uuid128_list, uuid);
    EXPECT_EQ(data.size(), 3u + 2u + 18u);
    EXPECT_EQ(data[3], 0x01) << "a structure with no value still has its type byte";
    EXPECT_EQ(data[5], 17) << "the length counts the type byte";

    const walked seen = walk(data);
    EXPECT_EQ(seen.types, (bytes{0x01, 0x09, 0x07}));
    EXPECT_EQ(seen.values, (std::vector<bytes>{{0x06}, {}, uuid}));
    EXPECT_EQ(wire::ad_structure(0xFF, {1, 2}), (bytes{0x03, 0xFF, 1, 2}));
}

TEST(WireAdStructures, AValueTooLongForTheLengthByteWrapsIt) {
    // 255 value bytes: the length byte would be 256 and reads as 0.
    const bytes data = wire::ad_structure(0x09, bytes(255, 'x'));
    EXPECT_EQ(data.size(), 257u);
    EXPECT_EQ(data[0], 0x00);
}

}  // namespace
