// A phone at the edges of real layouts, on the simulated dongle: its last service ends at
// 0xFFFF and a User Description sits between 'response' and its CCCD. The set-up's lines are
// the contract the run over HCI (tests/btvirt) must print too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/gatt_process_helpers.h"
#include "tests/support/edge_layout_phone.h"

using namespace testing_support;
using gatt_e2e::console_lines;
using gatt_e2e::npos;

namespace {

const char* const kUuid = "a0a489971097bba1b343eddd8f50f6ac";

}  // namespace

TEST(GattEdgeLayoutProcess, TheLastServiceAtFfffEndsDiscoveryAndTheChallengeFindsTheCccd) {
    const e2e_scenario scenario(nlohmann::json::parse(R"({ "seed": 5, "phones": [ )" +
                                                      edge_layout_phone("a", kUuid) + " ] }"));
    const process_result result = run_orvette_on(scenario, {std::string("-u") + kUuid, "-v4"},
                                                 {{edge_layout_notified, 300, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));
    const std::vector<std::string> lines = console_lines(result.out);
    EXPECT_TRUE(edge_layout_set_up(lines, kUuid)) << describe(result);
    // Kept alive by reads of 'feature', then challenged.
    EXPECT_NE(line_index(lines, std::string("authentication service ") + kUuid +
                                    " 'feature' characteristic value 0x0006 handle"),
              npos);

    const trace_lines trace = scenario.read_trace();
    // The continuation from handle 0 is taken, and answered without reaching the phone.
    const trace_lines discoveries = trace_calls(trace, "sd_ble_gattc_primary_services_discover");
    ASSERT_EQ(discoveries.size(), 4u);
    EXPECT_EQ(discoveries[3]["args"]["start_handle"], 0);
    EXPECT_EQ(discoveries[3]["result"], 0);
    const trace_lines answers = trace_events(trace, "BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP");
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[3]["gatt_status"], BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    const trace_lines descriptors = trace_events(trace, "BLE_GATTC_EVT_DESC_DISC_RSP");
    ASSERT_EQ(descriptors.size(), 1u);
    EXPECT_EQ(descriptors[0]["descs"][1]["handle"], 0x000C);
    // The notification switch goes to the CCCD, never to the description before it.
    const trace_lines writes = trace_calls(trace, "sd_ble_gattc_write");
    ASSERT_GE(writes.size(), 2u);
    for (const trace_line& w : writes) {
        const int handle = w["args"]["write_params"]["handle"];
        EXPECT_TRUE(handle == 0x000C || handle == 0x0008) << w.dump();
    }
}
