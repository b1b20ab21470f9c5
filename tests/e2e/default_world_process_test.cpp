// The orvette program as an operator starts it on the built-in simulated world (-csim, no
// scenario file, real time): both phones go the whole road from advertisement to keep-alive
// read, 's' shows them connected, and 'q' ends the run in order with exit code 0. This is
// also the check that the Windows build runs as a whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/process_runner.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const std::vector<std::string> kPhones = {"a0a489971097bba1b343eddd8f50f6ac",
                                          "feedfeadfeadfeadfeadfeadfeadfead"};
const char* const kReadAnswered = "got expected BLE_GATTC_EVT_READ_RSP";

}  // namespace

TEST(DefaultWorldProcess, BothPhonesGoTheWholeRoadAndQuitEndsTheRunInOrder) {
    process_options options;
    options.args = {"-csim", "-u" + kPhones[0], "-u" + kPhones[1], "-v4"};
    // The first keep-alive cycle comes 3 s after start-up and reads both phones.
    options.steps = {{kReadAnswered, 0, ""},
                     {kReadAnswered, 0, "s\n"},
                     {"#RSSI events", 0, ""},
                     {"#RSSI events", 200, "q\n"}};
    options.close_stdin = false;  // 'q' alone must end the run
    options.time_limit_ms = 60000;
    const process_result result = run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 0) << describe(result);
    EXPECT_EQ(result.err, "");

    const std::vector<std::string> lines = split_lines(result.out);
    for (const std::string& uuid : kPhones) {
        SCOPED_TRACE(uuid);
        // Found, connected, discovered down to its own service, then free for the next.
        const size_t found = line_index(lines, "FOUND phone with UUID " + uuid);
        ASSERT_NE(found, std::string::npos) << describe(result);
        const size_t connected = line_index(lines, "got expected BLE_GAP_EVT_CONNECTED", found);
        ASSERT_NE(connected, std::string::npos) << describe(result);
        const size_t service = line_index(lines, "found service 0x000A UUID = " + uuid, connected);
        ASSERT_NE(service, std::string::npos) << describe(result);
        EXPECT_NE(
            line_index(lines, "service discovery ended, available for new connection", service),
            std::string::npos)
            << describe(result);
        EXPECT_EQ(lines_with(result.out, ": " + uuid + " connection ").size(), 1u)
            << describe(result);
    }
    EXPECT_GE(lines_with(result.out, kReadAnswered).size(), 2u);

    size_t at = 0;
    for (const char* step :
         {"Wait for keep-alive thread to stop", "Wait for advertising thread to stop",
          "Stop advertising", "Call sd_rpc_close", "Closed", "Exiting"}) {
        at = line_index(lines, step, at);
        ASSERT_NE(at, std::string::npos) << step << "\n" << describe(result);
    }
    EXPECT_EQ(lines.back(), "Exiting");
}
