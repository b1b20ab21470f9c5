// The orvette program against the simulated dongle: what start-up prints and hands the
// driver, and how the run ends on 'q', on the end of standard input and on 'r'.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char* const kPhoneUuid = "a0a489971097bba1b343eddd8f50f6ac";

const std::vector<std::string> kKeyHelp = {
    "'c' to do a challenge/response to connected phones (the response is not validated)",
    "'d' to disconnect any connected devices",
    "'q' to quit program",
    "'r' to do a hard reset of the dongle - after this the program exits",
    "'s' to show status of all monitored phones",
    "'+' to increase logging level",
    "'-' to decrease logging level",
};

// The orderly shutdown. The run thread's own lines come in this order; each thread's goodbye
// comes after the stop event is set (so it may come before or after the run thread's "Wait
// for ..." line) but before the run thread moves on to the next step.
const std::vector<std::string> kShutdownSteps = {
    "Wait for keep-alive thread to stop",
    "Wait for advertising thread to stop",
    "Stop advertising",
    "Call sd_rpc_close",
    "Closed",
    "Exiting",
};
struct goodbye {
    const char* line;
    const char* before;
};
const goodbye kGoodbyes[] = {
    {"KeepAliveThread exiting", "Wait for advertising thread to stop"},
    {"AdvertisingThread exiting", "Stop advertising"},
};

// Ten times real time: a connection and its discovery take well under a second of clock.
nlohmann::json one_phone_world() {
    return {{"seed", 5},
            {"time_scale", 10},
            {"phones",
             {{{"name", "phone-a"},
               {"uuid", kPhoneUuid},
               {"address", "D2:4F:0A:91:3C:01"},
               {"adv_interval_ms", 100}}}}};
}

size_t index_of_exact(const std::vector<std::string>& lines, const std::string& line,
                      size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i] == line) return i;
    }
    return std::string::npos;
}

// Every shutdown line is there, in order, ending with "Closed" and then "Exiting" last.
void expect_orderly_shutdown(const process_result& result) {
    const auto lines = split_lines(result.out);
    size_t from = 0;
    for (const auto& expected : kShutdownSteps) {
        const size_t at = index_of_exact(lines, expected, from);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << expected << "\n"
                                         << describe(result);
        from = at + 1;
    }
    for (const goodbye& g : kGoodbyes) {
        const size_t at = index_of_exact(lines, g.line);
        ASSERT_NE(at, std::string::npos) << g.line << "\n" << describe(result);
        EXPECT_LT(at, index_of_exact(lines, g.before)) << describe(result);
        EXPECT_EQ(index_of_exact(lines, g.line, at + 1), std::string::npos);
    }
    // Work the message queue was already running may still finish between the two.
    EXPECT_EQ(lines.back(), "Exiting");
    EXPECT_FALSE(contains(result.out, "Failed to close nRF BLE Driver"));
}

void expect_key_help_block(const std::vector<std::string>& lines) {
    const size_t first = index_of_exact(lines, kKeyHelp.front());
    ASSERT_NE(first, std::string::npos);
    ASSERT_LE(first + kKeyHelp.size(), lines.size());
    for (size_t i = 0; i < kKeyHelp.size(); ++i) EXPECT_EQ(lines[first + i], kKeyHelp[i]);
}

}  // namespace

TEST(RunStartup, LevelTwoShowsPortAndBaudBeforeKeyHelpConfiguresStackAndQuitsInOrder) {
    const e2e_scenario scenario(one_phone_world());
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kPhoneUuid, "-v2"},
                       {{"got expected BLE_GAP_EVT_CONNECTED", 100, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));

    const auto lines = split_lines(result.out);
    ASSERT_GE(lines.size(), 10u) << describe(result);
    EXPECT_EQ(lines[0], "logging level 2");
    EXPECT_EQ(lines[1], "Serial port used: sim:" + scenario.scenario_path());
    EXPECT_EQ(lines[2], "Baud rate used: 1000000");
    EXPECT_EQ(lines[3], kKeyHelp.front());
    expect_key_help_block(lines);
    expect_orderly_shutdown(result);
    EXPECT_FALSE(contains(result.out, "sd_ble_cfg_set() failed"));

    const trace_lines trace = scenario.read_trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_TRUE(is_call(trace.front(), "sd_rpc_open"));

    // Exactly the three configuration items, in order, both connection items under tag 1,
    // all before the stack is enabled.
    const trace_lines config = trace_calls(trace, "sd_ble_cfg_set");
    ASSERT_EQ(config.size(), 3u);
    EXPECT_EQ(config[0]["args"]["cfg_id"], 0x40);
    EXPECT_EQ(config[0]["args"]["cfg"], nlohmann::json({{"adv_set_count", 1},
                                                        {"periph_role_count", 0},
                                                        {"central_role_count", 5},
                                                        {"central_sec_count", 0}}));
    EXPECT_EQ(config[1]["args"]["cfg_id"], 0x23);
    EXPECT_EQ(config[1]["args"]["cfg"], nlohmann::json({{"conn_cfg_tag", 1}, {"att_mtu", 150}}));
    EXPECT_EQ(config[2]["args"]["cfg_id"], 0x20);
    EXPECT_EQ(config[2]["args"]["cfg"],
              nlohmann::json({{"conn_cfg_tag", 1}, {"conn_count", 5}, {"event_length", 6}}));
    for (const auto& item : config) EXPECT_EQ(item["result"], 0);
    EXPECT_LT(trace_call_index(trace, "sd_ble_cfg_set"), trace_call_index(trace, "sd_ble_enable"));

    // Without -i and -w the first full scan start carries the default timing.
    const size_t first_scan = trace_call_index(trace, "sd_ble_gap_scan_start");
    ASSERT_NE(first_scan, std::string::npos);
    EXPECT_GT(first_scan, trace_call_index(trace, "sd_ble_enable"));
    const auto& params = trace[first_scan]["args"]["scan_params"];
    EXPECT_EQ(params["interval"], 160);
    EXPECT_EQ(params["window"], 80);
    EXPECT_EQ(params["active"], 0);

    // The connection the step waited for used the configured tag.
    const trace_lines connects = trace_calls(trace, "sd_ble_gap_connect");
    ASSERT_FALSE(connects.empty());
    EXPECT_EQ(connects[0]["args"]["conn_cfg_tag"], 1);

    // Advertising is stopped before the driver is closed, and closing is the last call.
    const size_t adv_stop = trace_call_index(trace, "sd_ble_gap_adv_stop");
    const size_t close = trace_call_index(trace, "sd_rpc_close");
    ASSERT_NE(close, std::string::npos);
    EXPECT_LT(adv_stop, close);
    EXPECT_EQ(trace_call_index(trace, "sd_rpc_close", close + 1), std::string::npos);
    EXPECT_EQ(trace_call_index(trace, "sd_rpc_conn_reset"), std::string::npos);
}

TEST(RunStartup, EndOfInputQuitsLikeTheQuitKeyAndLevelOneHidesThePort) {
    const e2e_scenario scenario(one_phone_world());
    // No keys at all: standard input ends as soon as the program starts.
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kPhoneUuid, "-v1"}, {}, 60000);
    ASSERT_TRUE(ended_cleanly(result));

    const auto lines = split_lines(result.out);
    EXPECT_FALSE(contains(result.out, "Serial port used"));
    EXPECT_FALSE(contains(result.out, "Baud rate used"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "logging level 1");
    EXPECT_EQ(lines[1], kKeyHelp.front());
    expect_key_help_block(lines);
    expect_orderly_shutdown(result);

    const trace_lines trace = scenario.read_trace();
    EXPECT_EQ(trace_calls(trace, "sd_rpc_close").size(), 1u);
}

TEST(RunStartup, HardResetResetsTheDongleAndExitsWithoutClosing) {
    const e2e_scenario scenario(one_phone_world());
    // Standard input stays open: the reset alone must end the process.
    const process_result result = run_orvette_on(scenario, {std::string("-u") + kPhoneUuid, "-v2"},
                                                 {{"got expected BLE_GAP_EVT_CONNECTED", 100, "r"}},
                                                 60000, /*close_stdin=*/false);
    ASSERT_TRUE(ended_cleanly(result));

    const auto lines = split_lines(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Exiting");
    EXPECT_FALSE(contains(result.out, "Wait for keep-alive thread to stop"));
    EXPECT_FALSE(contains(result.out, "Call sd_rpc_close"));
    EXPECT_FALSE(has_line(result.out, "Closed"));
    EXPECT_FALSE(contains(result.out, "sd_rpc_conn_reset failed"));

    const trace_lines trace = scenario.read_trace();
    const trace_lines resets = trace_calls(trace, "sd_rpc_conn_reset");
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0]["args"]["reset_mode"], 0);  // a hard reset of the dongle
    EXPECT_EQ(resets[0]["result"], 0);
    EXPECT_EQ(trace_call_index(trace, "sd_rpc_close"), std::string::npos);
    EXPECT_EQ(trace_call_index(trace, "sd_ble_gap_adv_stop"), std::string::npos);
}

TEST(RunShutdown, EventsArrivingAfterQuitPrintNothing) {
    // The phone stops answering once it is set up (its standard profile takes fifteen
    // discovery requests), so the first keep-alive read would wait for the stack's GATT
    // time-out, 30 s of clock later; the quit ends that wait at once instead. A steady stream
    // of events that the program prints whatever the level goes on meanwhile: nothing may
    // print after the quit.
    nlohmann::json world = one_phone_world();
    world["faults"] = {
        {{"type", "gatt_silent"}, {"phone", "phone-a"}, {"connection", 1}, {"after_requests", 15}},
        {{"type", "event"},
         {"event", "BLE_GAP_EVT_SCAN_REQ_REPORT"},
         {"at_ms", 100},
         {"every_ms", 100},
         {"count", 1000}}};
    const e2e_scenario scenario(world);
    const std::string storm_line = "BLE_GAP_EVT_SCAN_REQ_REPORT event is not handled";
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kPhoneUuid, "-v4"},
                       {{"'feature' characteristic value 0x000C handle", 100, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));
    expect_orderly_shutdown(result);
    EXPECT_FALSE(contains(result.out, "never got")) << describe(result);

    const auto lines = split_lines(result.out);
    const size_t quit_at = line_index(lines, "Wait for keep-alive thread to stop");
    ASSERT_NE(quit_at, std::string::npos);
    EXPECT_EQ(line_index(lines, storm_line, quit_at), std::string::npos);
    EXPECT_FALSE(contains(result.out, "current GATTC read/write got"));
    EXPECT_FALSE(contains(result.out, "received BLE_GATTC_EVT_TIMEOUT when not doing"));

    // The quit, not the stack's time-out, ended the read: the driver was closed before that
    // time-out could come. The stream was printed until the quit.
    const trace_lines trace = scenario.read_trace();
    const size_t close = trace_call_index(trace, "sd_rpc_close");
    ASSERT_NE(close, std::string::npos);
    EXPECT_GT(trace_event_index(trace, "BLE_GATTC_EVT_TIMEOUT"), close);
    const size_t printed = lines_with(result.out, storm_line).size();
    const size_t delivered = trace_events(trace, "BLE_GAP_EVT_SCAN_REQ_REPORT").size();
    EXPECT_GT(printed, 0u);
    EXPECT_GE(delivered, printed);
}

TEST(RunShutdown, QuitJustAsASetUpEndsLetsThatEndStartScanningBeforeTheDriverCloses) {
    // The quit key follows the set-up's end line at once, while the event thread that
    // printed it is still on its way to the driver for the scan start: the driver is closed
    // only after that call, and without waiting out the dongle's patience for callbacks.
    const e2e_scenario scenario(one_phone_world());
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kPhoneUuid, "-v3"},
                       {{"service discovery ended, available for new connection", 0, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));
    expect_orderly_shutdown(result);
    EXPECT_FALSE(contains(result.out, "Scan start failed")) << describe(result);

    const trace_lines trace = scenario.read_trace();
    const size_t rssi_start = trace_call_index(trace, "sd_ble_gap_rssi_start");
    ASSERT_NE(rssi_start, std::string::npos);
    const size_t scan = trace_call_index(trace, "sd_ble_gap_scan_start", rssi_start);
    ASSERT_NE(scan, std::string::npos) << describe(result);
    EXPECT_FALSE(trace[scan]["args"]["scan_params"].is_null());
    EXPECT_EQ(trace[scan]["result"], 0);
    EXPECT_LT(scan, trace_call_index(trace, "sd_rpc_close"));
}
