// btsnoop capture files: the header and records byte for byte, big-endian throughout.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "hci/btsnoop.h"
#include "tests/support/program_stack.h"

namespace {

using bytes = std::vector<uint8_t>;

using testing_support::hex;

const std::string file_header = "62 74 73 6E 6F 6F 70 00 00 00 00 01 00 00 03 EA";

TEST(HciBtsnoop, FileHeaderNamesVersionOneAndH4) {
    EXPECT_EQ(hci::btsnoop_file_header(), hex(file_header));
}

TEST(HciBtsnoop, RecordFlagsFollowDirectionAndPacketType) {
    // HCI_Reset sent at the Unix epoch: a command, from the host.
    EXPECT_EQ(hci::btsnoop_record(hex("01 03 0C 00"), hci::direction::sent, 0),
              hex("00 00 00 04 00 00 00 04 00 00 00 02 00 00 00 00"
                  "00 DC DD B3 0F 2F 80 00 01 03 0C 00"));
    // Its Command Complete one second later, with drops so far.
    EXPECT_EQ(
        hci::btsnoop_record(hex("04 0E 04 01 03 0C 00"), hci::direction::received, 1000000, 258),
        hex("00 00 00 07 00 00 00 07 00 00 00 03 00 00 01 02"
            "00 DC DD B3 0F 3E C2 40 04 0E 04 01 03 0C 00"));
    // ACL data either way carries no command/event flag.
    const bytes acl = hex("02 40 20 00 00");
    EXPECT_EQ(hci::btsnoop_record(acl, hci::direction::received, 0)[11], 0x01);
    EXPECT_EQ(hci::btsnoop_record(acl, hci::direction::sent, 0)[11], 0x00);
}

TEST(HciBtsnoop, WriterPutsTheHeaderBeforeTheRecords) {
    std::ostringstream file;
    hci::btsnoop_writer writer(file);
    EXPECT_EQ(file.str().size(), 16U);
    writer.write(hex("01 03 0C 00"), hci::direction::sent, 1700000000000000);
    const std::string text = file.str();
    const bytes written(text.begin(), text.end());
    ASSERT_EQ(written.size(), 16U + 24U + 4U);
    EXPECT_EQ(bytes(written.begin(), written.begin() + 16), hex(file_header));
    EXPECT_EQ(bytes(written.begin() + 16, written.end()),
              hci::btsnoop_record(hex("01 03 0C 00"), hci::direction::sent, 1700000000000000));
}

}  // namespace
