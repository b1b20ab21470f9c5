// The orvette program against the simulated dongle: a stack that refuses a configuration
// item, and the scan timing that reaches the stack from -i and -w.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char* const kPhoneUuid = "a0a489971097bba1b343eddd8f50f6ac";

nlohmann::json one_phone_world() {
    return {{"seed", 9},
            {"time_scale", 10},
            {"phones",
             {{{"name", "phone-a"},
               {"uuid", kPhoneUuid},
               {"address", "D2:4F:0A:91:3C:01"},
               {"adv_interval_ms", 100}}}}};
}

bool has_scan_params(const trace_line& call) {
    return !call["args"]["scan_params"].is_null();
}

}  // namespace

TEST(RunStackConfig, RefusalAtEachStepPrintsOnlyThatStepsLineAndTheRunGoesOn) {
    const char* const item_names[] = {"BLE_GAP_CFG_ROLE_COUNT", "BLE_CONN_CFG_GATT",
                                      "BLE_CONN_CFG_GAP"};
    for (int step = 1; step <= 3; ++step) {
        SCOPED_TRACE("refused step " + std::to_string(step));
        nlohmann::json world = one_phone_world();
        world["faults"] = {{{"type", "call_result"},
                            {"call", "sd_ble_cfg_set"},
                            {"nth", step},
                            {"result", "NRF_ERROR_NO_MEM"}}};
        const e2e_scenario scenario(world);
        // Standard input ends at once: the run quits as soon as it reaches the console.
        const process_result result =
            run_orvette_on(scenario, {std::string("-u") + kPhoneUuid, "-v1"}, {}, 60000);
        ASSERT_TRUE(ended_cleanly(result));

        const auto failures = lines_with(result.out, "sd_ble_cfg_set() failed");
        ASSERT_EQ(failures.size(), 1u) << describe(result);
        EXPECT_EQ(failures[0], std::string("sd_ble_cfg_set() failed when attempting to set ") +
                                   item_names[step - 1] + ". Error 0x0004 NRF_ERROR_NO_MEM");

        // The items after the refused one are not tried, and the stack is enabled anyway.
        const trace_lines trace = scenario.read_trace();
        EXPECT_EQ(trace_calls(trace, "sd_ble_cfg_set").size(), static_cast<size_t>(step));
        EXPECT_EQ(trace_calls(trace, "sd_ble_enable").size(), 1u);
        EXPECT_TRUE(has_line(result.out, "Exiting"));
    }
}

TEST(RunScanParameters, FullStartsCarryTheChosenTimingWhileConnectsKeepTheirOwn) {
    struct option_case {
        std::vector<std::string> options;
        int interval;
        int window;
    };
    const option_case cases[] = {{{"-i0", "-w0"}, 160, 80}, {{"-i96", "-w48"}, 96, 48}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0] + " " + c.options[1]);
        const e2e_scenario scenario(one_phone_world());
        std::vector<std::string> args = {std::string("-u") + kPhoneUuid, "-v6"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        // The set-up's end makes a second full start, after the connect stopped the scanner.
        const process_result result =
            run_orvette_on(scenario, args,
                           {{"service discovery ended, available for new connection", 0, ""},
                            {"scan start success", 0, "q"}},
                           60000);
        ASSERT_TRUE(ended_cleanly(result));

        const trace_lines trace = scenario.read_trace();
        size_t full_starts = 0;
        for (const auto& call : trace_calls(trace, "sd_ble_gap_scan_start")) {
            if (!has_scan_params(call)) continue;
            ++full_starts;
            EXPECT_EQ(call["args"]["scan_params"]["interval"], c.interval);
            EXPECT_EQ(call["args"]["scan_params"]["window"], c.window);
            EXPECT_EQ(call["result"], 0);
        }
        EXPECT_GE(full_starts, 2u);
        const trace_lines connects = trace_calls(trace, "sd_ble_gap_connect");
        ASSERT_FALSE(connects.empty());
        for (const auto& connect : connects) {
            EXPECT_EQ(connect["args"]["scan_params"]["interval"], 160);
            EXPECT_EQ(connect["args"]["scan_params"]["window"], 80);
        }
    }
}

TEST(RunScanParameters, TimingTheStackRefusesEndsTheRun) {
    const e2e_scenario scenario(one_phone_world());
    // A window longer than the interval. Standard input stays open: the failed start alone
    // must end the process.
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kPhoneUuid, "-v1", "-i40", "-w80"}, {}, 60000,
                       /*close_stdin=*/false);
    ASSERT_TRUE(ended_cleanly(result));

    const auto failures = lines_with(result.out, "Scan start failed with error");
    ASSERT_EQ(failures.size(), 1u) << describe(result);
    EXPECT_EQ(strip_timestamps(failures[0]),
              "TS: Scan start failed with error 0x0007 NRF_ERROR_INVALID_PARAM");
    // Nothing after the failed start: no connection, no console loop, no shutdown.
    EXPECT_FALSE(contains(result.out, "FOUND phone"));
    EXPECT_FALSE(contains(result.out, "Exiting"));

    const trace_lines trace = scenario.read_trace();
    const trace_lines starts = trace_calls(trace, "sd_ble_gap_scan_start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["args"]["scan_params"]["interval"], 40);
    EXPECT_EQ(starts[0]["args"]["scan_params"]["window"], 80);
    EXPECT_EQ(trace_call_index(trace, "sd_ble_gap_connect"), std::string::npos);
}
