// The challenge exchange of the orvette program against the simulated dongle: phones that
// lack what it needs are reported and left alone, the console key 'c' does nothing while a
// phone is being set up and says so when no phone is connected, and 'c' racing the
// keep-alive thread never puts two waited-for GATT requests on the air at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/ble_gatt.h"
#include "tests/e2e/gatt_process_helpers.h"

using namespace testing_support;
using gatt_e2e::calls_on;
using gatt_e2e::connection_handle;
using gatt_e2e::npos;

namespace {

const char* const kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kUuidB = "feedfeadfeadfeadfeadfeadfeadfead";
const char* const kNoDevices = "no devices are connected, cannot test challenge/response";
const char* const kSetupEnd = "service discovery ended, available for new connection";

// A keep-alive read of 'feature' (after the set-up, so not a declaration read).
trace_lines reads_after_setup(const trace_lines& trace, int conn_handle) {
    const size_t connected = trace_event_index(trace, "BLE_GAP_EVT_CONNECTED");
    size_t setup_end = npos;
    for (size_t i = connected; i != npos && i < trace.size(); ++i) {
        if (is_call(trace[i], "sd_ble_gap_rssi_start") &&
            gatt_e2e::conn_handle_of(trace[i]) == conn_handle) {
            setup_end = i;
            break;
        }
    }
    if (setup_end == npos) return {};
    return calls_on(trace, "sd_ble_gattc_read", conn_handle, setup_end);
}

// The requests whose answer a thread waits for: the 'feature' read and the switch of the
// 'response' notifications.
bool is_waited_request(const trace_line& line) {
    if (is_call(line, "sd_ble_gattc_read")) return line["args"]["handle"] == 0x000C;
    return is_call(line, "sd_ble_gattc_write") &&
           line["args"]["write_params"]["write_op"] == BLE_GATT_OP_WRITE_REQ;
}

bool ends_waited_request(const trace_line& line) {
    return is_event(line, "BLE_GATTC_EVT_READ_RSP") || is_event(line, "BLE_GATTC_EVT_WRITE_RSP");
}

}  // namespace

TEST(ChallengeProcess, PhonesWithoutTheirCharacteristicsAreReportedAndNeverWritten) {
    const e2e_scenario scenario =
        e2e_scenario::from_file("gatt_missing_characteristics.json", {{"time_scale", 2}});
    const process_result result = run_orvette_on(
        scenario,
        {std::string("-u") + kUuidA, "-u55555555555555555555555555555555",
         "-u66666666666666666666666666666666", "-u77777777777777777777777777777777", "-v4"},
        {{std::string("disable notify for ") + kUuidA, 0, ""},
         {"got expected BLE_GATTC_EVT_WRITE_RSP", 300, "q"}},
        90000);
    ASSERT_TRUE(ended_cleanly(result));
    const trace_lines trace = scenario.read_trace();
    const std::vector<std::string> lines = gatt_e2e::console_lines(result.out);

    const int good = connection_handle(trace, "good");
    const int no_feature = connection_handle(trace, "no-feature");
    const int no_challenge = connection_handle(trace, "no-challenge");
    const int foreign = connection_handle(trace, "foreign-service");
    ASSERT_TRUE(good >= 0 && no_feature >= 0 && no_challenge >= 0 && foreign >= 0)
        << describe(result);

    auto feature_missing = [](const std::string& uuid, int handle) {
        return "phone " + uuid + " connection_handle = " + std::to_string(handle) +
               " could not find 'feature' characteristic";
    };
    auto pair_missing = [](const std::string& uuid, int handle) {
        return "phone " + uuid + " connection_handle = " + std::to_string(handle) +
               " could not find 'challenge' and 'respnose' characteristics";
    };
    EXPECT_NE(line_index(lines, feature_missing("55555555555555555555555555555555", no_feature)),
              npos);
    EXPECT_NE(line_index(lines, feature_missing("77777777777777777777777777777777", foreign)),
              npos);
    EXPECT_NE(line_index(lines, pair_missing("66666666666666666666666666666666", no_challenge)),
              npos);
    EXPECT_NE(line_index(lines, pair_missing("77777777777777777777777777777777", foreign)), npos);
    EXPECT_EQ(line_index(lines, feature_missing(kUuidA, good)), npos);
    EXPECT_EQ(line_index(lines, pair_missing(kUuidA, good)), npos);

    // Left out means left alone: no keep-alive read without 'feature', no write without
    // both characteristics of the phone's own service.
    EXPECT_TRUE(reads_after_setup(trace, no_feature).empty());
    EXPECT_TRUE(reads_after_setup(trace, foreign).empty());
    EXPECT_FALSE(reads_after_setup(trace, good).empty());
    EXPECT_FALSE(reads_after_setup(trace, no_challenge).empty());
    EXPECT_TRUE(calls_on(trace, "sd_ble_gattc_write", no_challenge).empty());
    EXPECT_TRUE(calls_on(trace, "sd_ble_gattc_write", foreign).empty());
    // The challenge does not depend on 'feature': that phone is challenged all the same.
    EXPECT_EQ(calls_on(trace, "sd_ble_gattc_write", no_feature).size(), 3u);
    EXPECT_EQ(calls_on(trace, "sd_ble_gattc_write", good).size(), 3u);
}

TEST(ChallengeProcess, KeyWithNoPhoneConnectedOnlySaysSoAndDuringASetUpDoesNothing) {
    // The phone turns up after two seconds and answers slowly, so its set-up lasts long
    // enough for a key typed meanwhile.
    const e2e_scenario scenario(nlohmann::json::parse(R"({
        "seed": 42,
        "phones": [ { "name": "slow", "uuid": "a0a489971097bba1b343eddd8f50f6ac",
                      "adv_start_ms": 2000, "adv_interval_ms": 50,
                      "response_latency": 16 } ] })"));
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, "-v3"},
                       {{"'-' to decrease logging level", 0, "c+"},
                        {"logging level 4", 0, "c"},
                        {kNoDevices, 0, ""},
                        {"Discovering primary services conn_handle = 0", 0, "c+"},
                        {kSetupEnd, 300, "q"}},
                       60000);
    ASSERT_TRUE(ended_cleanly(result));
    const std::vector<std::string> lines = gatt_e2e::console_lines(result.out);

    // Below level 4 the key prints nothing; at level 4 exactly the one line.
    const size_t level4 = line_index(lines, "logging level 4");
    ASSERT_NE(level4, npos);
    // The driver's status and log callbacks print from their own threads and may land
    // anywhere; the program's own next line is the one that counts.
    size_t next = level4 + 1;
    while (next < lines.size() &&
           (lines[next].rfind("TS: Status: ", 0) == 0 || lines[next].rfind("TS: Info: ", 0) == 0)) {
        ++next;
    }
    ASSERT_LT(next, lines.size());
    EXPECT_EQ(lines[next], kNoDevices);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kNoDevices), 1);

    // The key typed during the set-up was handled before the set-up ended (the key after
    // it already shows), and it neither printed nor wrote anything.
    const size_t setup_start = line_index(lines, "Discovering primary services conn_handle = 0");
    const size_t level5 = line_index(lines, "logging level 5", setup_start);
    const size_t setup_end = line_index(lines, kSetupEnd, setup_start);
    ASSERT_NE(level5, npos);
    ASSERT_NE(setup_end, npos);
    EXPECT_LT(level5, setup_end);
    for (size_t i = 0; i <= setup_end; ++i) {
        EXPECT_EQ(lines[i].find("characteristic value"), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].find("could not find"), std::string::npos) << lines[i];
    }
    EXPECT_TRUE(trace_calls(scenario.read_trace(), "sd_ble_gattc_write").empty());
}

TEST(ChallengeProcess, KeyRacingTheKeepAliveNeverOverlapsWaitedRequests) {
    const e2e_scenario scenario(nlohmann::json::parse(R"({
        "seed": 43, "time_scale": 10,
        "phones": [
          { "name": "phone-a", "uuid": "a0a489971097bba1b343eddd8f50f6ac", "adv_interval_ms": 100 },
          { "name": "phone-b", "uuid": "feedfeadfeadfeadfeadfeadfeadfead", "adv_interval_ms": 150,
            "response_latency": [1, 3] } ] })"));
    // Keys at the moments the keep-alive is busiest: just after a read, while a switch is
    // waited for, during the answer time.
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, std::string("-u") + kUuidB, "-v4"},
                       {{"got expected BLE_GATTC_EVT_READ_RSP", 0, "c"},
                        {"enable notify for", 0, "c"},
                        {"success setting challenge", 0, "cc"},
                        {"got expected BLE_GATTC_EVT_READ_RSP", 0, "c"},
                        {"got expected BLE_GATTC_EVT_READ_RSP", 0, "c"},
                        {"disable notify for", 0, "c"},
                        {"got expected BLE_GATTC_EVT_READ_RSP", 0, "c"},
                        {"got expected BLE_GATTC_EVT_WRITE_RSP", 300, "q"}},
                       110000);
    // A data race report goes to standard error and fails this.
    ASSERT_TRUE(ended_cleanly(result));

    const trace_lines trace = scenario.read_trace();
    const size_t second_setup_end = trace_call_index(
        trace, "sd_ble_gap_rssi_start", trace_call_index(trace, "sd_ble_gap_rssi_start") + 1);
    ASSERT_NE(second_setup_end, npos);
    // A key that holds the in-progress marker when a cycle starts makes that cycle skip its
    // read and drop every link; the set-ups that follow are not waited for, so the check
    // stops there.
    const size_t dropped = trace_call_index(trace, "sd_ble_gap_disconnect", second_setup_end);
    const size_t end = dropped == npos ? trace.size() : dropped;
    int outstanding = 0;
    size_t writes = 0;
    for (size_t i = second_setup_end; i < end; ++i) {
        const trace_line& line = trace[i];
        if (gatt_e2e::is_gattc_call(line)) {
            EXPECT_EQ(line["result"], 0) << line.dump();
        }
        if (is_call(line, "sd_ble_gattc_write")) {
            ++writes;
            const auto& w = line["args"]["write_params"];
            const bool cccd = w["write_op"] == BLE_GATT_OP_WRITE_REQ && w["handle"] == 0x0011 &&
                              (w["value"] == "0100" || w["value"] == "0000");
            const bool challenge =
                w["write_op"] == BLE_GATT_OP_WRITE_CMD && w["handle"] == 0x000E && w["len"] == 19;
            EXPECT_TRUE(cccd || challenge) << line.dump();
        }
        if (is_waited_request(line) && line["result"] == 0) {
            ++outstanding;
            EXPECT_EQ(outstanding, 1) << "two waited-for requests at once: " << line.dump();
        }
        if (ends_waited_request(line) && outstanding > 0) --outstanding;
    }
    EXPECT_GE(writes, 3u);
}
