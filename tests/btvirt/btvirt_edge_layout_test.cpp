// A phone at the edges of real layouts, over HCI on BlueZ's emulator: its last service ends
// at 0xFFFF and a User Description sits between 'response' and its CCCD. It is set up with
// the very lines the simulated dongle gives (tests/support/edge_layout_phone.h), kept alive,
// challenged and notified.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/orvette_run.h"
#include "tests/btvirt/test_phone.h"
#include "tests/support/e2e_scenario.h"
#include "tests/support/edge_layout_phone.h"
#include "tests/support/process_runner.h"
#include "tests/support/test_support.h"

namespace {

using btvirt_testing::orvette_options;
using btvirt_testing::scenario_phone;
using btvirt_testing::test_phone;
using btvirt_testing::world;
using testing_support::describe;
using testing_support::line_index;
using testing_support::process_result;

constexpr size_t npos = std::string::npos;
constexpr const char* kUuid = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kSetupEnd = "service discovery ended, available for new connection";

TEST(BtvirtEdgeLayout, APhoneEndingAtFfffWithADescriptorBeforeItsCccdIsSetUpKeptAliveAndNotified) {
    const std::string scenario =
        R"({ "phones": [ )" + testing_support::edge_layout_phone("a", kUuid) + " ] }";
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(scenario, "a"));
    ASSERT_TRUE(phone.start());

    auto options = orvette_options(w.le_socket_path(), {kUuid}, 4);
    options.steps = {{testing_support::edge_layout_notified, 0, "q"}};
    const process_result result = testing_support::run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    const std::vector<std::string> lines =
        testing_support::split_lines(testing_support::strip_timestamps(result.out));

    EXPECT_TRUE(testing_support::edge_layout_set_up(lines, kUuid)) << describe(result);
    // Kept alive, then challenged: the switch went to the CCCD, so the phone answered.
    const size_t end = line_index(lines, kSetupEnd);
    const size_t read = line_index(lines, "got expected BLE_GATTC_EVT_READ_RSP", end);
    const size_t on = line_index(
        lines, std::string("enable notify for ") + kUuid + " conn 0 response handle 0x000A", read);
    const size_t confirmed = line_index(lines, "got expected BLE_GATTC_EVT_WRITE_RSP", on);
    const size_t answered = line_index(lines, testing_support::edge_layout_notified, confirmed);
    EXPECT_NE(read, npos) << describe(result);
    EXPECT_NE(on, npos) << describe(result);
    EXPECT_NE(confirmed, npos) << describe(result);
    EXPECT_NE(answered, npos) << describe(result);
    // The continuation from handle 0 was taken, and nothing of the set-up or the exchange
    // failed. (A scan start that finds the scanner already on may say NRF_ERROR_INVALID_STATE:
    // on the emulator the set-up can end before the report's own resume has run.)
    for (const char* failure :
         {"Failed to continue a GATT Primary Service Discovery", "Service discovery failed",
          "Descriptor discovery failed", "discover error", "ERROR setting", "ERROR requesting",
          "ERROR: never got"}) {
        EXPECT_EQ(line_index(lines, failure), npos) << failure << "\n" << describe(result);
    }
    EXPECT_EQ(phone.cccd_value(0x000B), 0);
    EXPECT_EQ(phone.trouble(), "");
    EXPECT_EQ(lines.back(), "Exiting");
    EXPECT_TRUE(result.exited && result.exit_code == 0) << describe(result);
    EXPECT_LT(result.elapsed_ms, 20000u);
}

}  // namespace
