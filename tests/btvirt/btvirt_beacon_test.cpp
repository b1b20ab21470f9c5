// The beacon on a real controller: the HCI commands it becomes, cycle after cycle, read back
// from the program's own HCI trace.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hci/hci_commands.h"
#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/orvette_run.h"

namespace {

struct command_record {
    uint16_t opcode = 0;
    std::vector<uint8_t> parameters;
};

// The commands the host sent, in order, from a btsnoop file of the H4 stream.
std::vector<command_record> commands_in(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    std::vector<command_record> out;
    size_t at = 16;
    while (at + 24 <= file.size()) {
        const size_t length = (size_t{file[at + 4]} << 24) | (size_t{file[at + 5]} << 16) |
                              (size_t{file[at + 6]} << 8) | file[at + 7];
        const bool received = (file[at + 11] & 1) != 0;
        if (at + 24 + length > file.size()) break;
        const uint8_t* packet = file.data() + at + 24;
        if (!received && length >= 4 && packet[0] == 0x01) {
            command_record c;
            c.opcode = static_cast<uint16_t>(packet[1] | (packet[2] << 8));
            c.parameters.assign(packet + 4, packet + length);
            out.push_back(c);
        }
        at += 24 + length;
    }
    return out;
}

TEST(BtvirtBeacon, EveryCycleStopsSetsNewDataAndStartsANonConnectableBeacon) {
    btvirt_testing::world w;
    const std::string trace = w.folder() + "/beacon.btsnoop";
    auto options = btvirt_testing::orvette_options(w.le_socket_path(),
                                                   {"a0a489971097bba1b343eddd8f50f6ac"}, 5);
    options.env.emplace_back("ORVETTE_HCI_SNOOP", trace);
    options.steps = {{"Started advertising", 0, ""},
                     {"Started advertising", 0, ""},
                     {"Started advertising", 0, ""},
                     {"Started advertising", 0, "q\n"}};
    btvirt_testing::orvette_run run(options);
    const auto& result = run.result();
    ASSERT_TRUE(result.exited) << testing_support::describe(result);
    ASSERT_EQ(result.steps_written, 4u) << testing_support::describe(result);

    std::vector<std::vector<uint8_t>> data;
    size_t enables = 0;
    for (const command_record& c : commands_in(trace)) {
        if (c.opcode == hci::opcode::le_set_advertising_parameters) {
            ASSERT_EQ(c.parameters.size(), 15u);
            EXPECT_EQ(c.parameters[4], 0x03) << "the beacon is ADV_NONCONN_IND";
        } else if (c.opcode == hci::opcode::le_set_advertising_data) {
            ASSERT_EQ(c.parameters.size(), 32u);
            data.emplace_back(c.parameters.begin() + 1, c.parameters.begin() + 1 + c.parameters[0]);
        } else if (c.opcode == hci::opcode::le_set_advertising_enable &&
                   c.parameters == std::vector<uint8_t>{1}) {
            ++enables;
            // Started only once its data is set.
            EXPECT_EQ(data.size(), enables);
        }
    }
    ASSERT_GE(data.size(), 4u);
    for (size_t i = 0; i < data.size(); ++i) {
        ASSERT_GE(data[i].size(), 4u);
        // Flags, then the beacon's own structure, as the program checks after each set.
        EXPECT_EQ(data[i][0], 0x02);
        EXPECT_EQ(data[i][3], 0x1A);
        if (i > 0) EXPECT_NE(data[i], data[i - 1]) << "cycle " << i << " kept the old data";
    }
}

}  // namespace
