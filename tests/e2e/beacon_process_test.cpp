// The beacon of the orvette program as the simulated dongle sees it: the advertising data
// of each build, the parameters, the order of the stop/configure/start calls, the shutdown
// stop; and -s, which keeps the dongle silent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/ble_gap.h"
#include "driver/wire/hex_text.h"
#include "tests/e2e/gatt_process_helpers.h"

using namespace testing_support;
using gatt_e2e::npos;

namespace {

const char* const kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
constexpr int kBuilds = 40;

std::string hex_byte(int value) {
    const auto byte = static_cast<uint8_t>(value);
    return wire::hex_text(&byte, 1);
}

// The 30 bytes on the air: flags, then the manufacturer data with the beacon UUID (all 16
// bytes alike), major and minor (high bytes 0) and the measured power.
std::string beacon_data(int uuid_byte, int major, int minor) {
    std::string data = "0201061aff4c000215";
    for (int i = 0; i < 16; ++i) data += hex_byte(uuid_byte);
    return data + "00" + hex_byte(major) + "00" + hex_byte(minor) + "c0";
}

std::string adv_call_text(const trace_line& line) {
    const std::string call = line["call"];
    return call.substr(std::string("sd_ble_gap_adv_").size()) + "=" +
           std::to_string(line["result"].get<int>());
}

}  // namespace

TEST(BeaconProcess, BuildsCarryTheUuidByteAndTheMajorMinorCycleWithFixedParameters) {
    const e2e_scenario scenario(nlohmann::json::parse(R"({ "seed": 51, "time_scale": 50 })"));
    std::vector<stdin_step> steps;
    for (int i = 0; i < kBuilds; ++i) steps.push_back({"Started advertising", 0, ""});
    steps.push_back({"", 0, "q"});
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, "-v5"}, steps, 90000);
    ASSERT_TRUE(ended_cleanly(result));

    const trace_lines trace = scenario.read_trace();
    const trace_lines configures = trace_calls(trace, "sd_ble_gap_adv_set_configure");
    ASSERT_GE(configures.size(), static_cast<size_t>(kBuilds));
    for (int build = 1; build <= kBuilds; ++build) {
        SCOPED_TRACE("build " + std::to_string(build));
        const trace_line& configure = configures[build - 1];
        EXPECT_EQ(configure["result"], 0);
        const auto& args = configure["args"];
        // The stack assigns the handle at the first configure; later ones reuse it.
        EXPECT_EQ(args["adv_handle"], build == 1 ? BLE_GAP_ADV_SET_HANDLE_NOT_SET : 0);
        EXPECT_EQ(args["adv_params"],
                  (nlohmann::json{{"type", BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED},
                                  {"interval", 160},
                                  {"duration", 0},
                                  {"max_adv_evts", 0},
                                  {"primary_phy", 0},
                                  {"filter_policy", 0}}));
        EXPECT_EQ(args["adv_data"]["scan_rsp_len"], 0);
        const std::string data = args["adv_data"]["adv_data"];
        ASSERT_EQ(data.size(), 60u);
        // The UUID byte counts up from 0xDF and wraps to 0x00 at the 34th build.
        std::string uuid_bytes;
        for (int i = 0; i < 16; ++i) uuid_bytes += hex_byte(0xDE + build);
        EXPECT_EQ(data.substr(18, 32), uuid_bytes);
        EXPECT_EQ(data.substr(0, 18), "0201061aff4c000215");
        EXPECT_EQ(data.substr(58), "c0");
        if (build > 1) {
            EXPECT_GE(ms_between(configures[build - 2], configure), 3000.0);
        }
    }
    // Major and minor walk (2,1), (2,2), (3,2) ... (20,20), then start over at (1,1).
    EXPECT_EQ(configures[0]["args"]["adv_data"]["adv_data"], beacon_data(0xDF, 2, 1));
    EXPECT_EQ(configures[1]["args"]["adv_data"]["adv_data"], beacon_data(0xE0, 2, 2));
    EXPECT_EQ(configures[2]["args"]["adv_data"]["adv_data"], beacon_data(0xE1, 3, 2));
    EXPECT_EQ(configures[3]["args"]["adv_data"]["adv_data"], beacon_data(0xE2, 3, 3));
    EXPECT_EQ(configures[33]["args"]["adv_data"]["adv_data"], beacon_data(0x00, 18, 18));
    EXPECT_EQ(configures[37]["args"]["adv_data"]["adv_data"], beacon_data(0x04, 20, 20));
    EXPECT_EQ(configures[38]["args"]["adv_data"]["adv_data"], beacon_data(0x05, 1, 1));
    EXPECT_EQ(configures[39]["args"]["adv_data"]["adv_data"], beacon_data(0x06, 2, 1));

    // Nothing is stopped before the first configure; each start is preceded by its own
    // stop, which finds the set idle; each later cycle stops the running set first.
    std::vector<std::string> calls;
    for (const trace_line& line : trace) {
        if (line.contains("call") &&
            line["call"].get<std::string>().rfind("sd_ble_gap_adv_", 0) == 0) {
            calls.push_back(adv_call_text(line));
        }
    }
    ASSERT_GE(calls.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 7),
              (std::vector<std::string>{"set_configure=0", "stop=8", "start=0", "stop=0",
                                        "set_configure=0", "stop=8", "start=0"}));
    // At quit, the set still advertises: the final stop succeeds and says so.
    EXPECT_EQ(calls.back(), "stop=0");
    const std::vector<std::string> lines = gatt_e2e::console_lines(result.out);
    const size_t stop_line = line_index(lines, "Stop advertising");
    ASSERT_NE(stop_line, npos);
    ASSERT_LT(stop_line + 1, lines.size());
    EXPECT_EQ(lines[stop_line + 1], "Stopped advertising");
    EXPECT_EQ(line_index(lines, "Failed to"), npos);
    EXPECT_EQ(line_index(lines, "unexpected error"), npos);
    EXPECT_EQ(line_index(lines, "corrupted"), npos);
}

TEST(BeaconProcess, SilentOptionMakesNoAdvertisingCallAndEndsTheThreadAfterItsFirstWait) {
    const e2e_scenario scenario(nlohmann::json::parse(R"({ "seed": 52 })"));
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, "-s", "-v5"},
                       {{"Option specified to not beacon, exiting the thread", 0, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));
    // The thread waits out its first 3 s (at real time here) before it looks at -s.
    EXPECT_GE(result.elapsed_ms, 3000u);

    const trace_lines trace = scenario.read_trace();
    EXPECT_TRUE(trace_calls(trace, "sd_ble_gap_adv_set_configure").empty());
    EXPECT_TRUE(trace_calls(trace, "sd_ble_gap_adv_start").empty());
    // Only the shutdown's own stop reaches the dongle, as the last call before the close.
    const trace_lines stops = trace_calls(trace, "sd_ble_gap_adv_stop");
    ASSERT_EQ(stops.size(), 1u);
    const size_t stop = trace_call_index(trace, "sd_ble_gap_adv_stop");
    const size_t close = trace_call_index(trace, "sd_rpc_close");
    ASSERT_NE(close, npos);
    for (size_t i = stop + 1; i < close; ++i) EXPECT_FALSE(trace[i].contains("call")) << trace[i];

    const std::vector<std::string> lines = gatt_e2e::console_lines(result.out);
    EXPECT_EQ(line_index(lines, "AdvertisingThread exiting"), npos);
    EXPECT_EQ(line_index(lines, "Started advertising"), npos);
}
