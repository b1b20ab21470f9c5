// The orvette program against what the air or a phone may do to it: a spoofer that
// advertises a phone's UUID without being connectable, a phone whose request the stack
// loses without a time-out, and the quit key while a connection attempt waits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char* const kUuid = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kAddress = "D2:4F:0A:91:3C:01";
const char* const kMetadataDone = "entirely done getting metadata from phone";

nlohmann::json phone_a() {
    return {{"name", "phone-a"}, {"uuid", kUuid}, {"address", kAddress}, {"adv_interval_ms", 100}};
}

std::string air_uuid_hex(const std::string& uuid) {
    std::string hex;
    for (size_t i = uuid.size(); i >= 2; i -= 2) hex += uuid.substr(i - 2, 2) + " ";
    return hex;
}

}  // namespace

// A beacon with the phone's UUID every 20 ms, heard far more often than the phone itself.
// Chased, each of its reports would start an attempt that only the 65 s limit ends.
TEST(LinkHostileAir, NonConnectableSpooferIsCountedButNeverConnected) {
    const e2e_scenario scenario(
        nlohmann::json{{"seed", 5},
                       {"time_scale", 10},
                       {"phones", {phone_a()}},
                       {"advertisers",
                        {{{"name", "spoofer"},
                          {"address", "C0:00:00:00:00:99"},
                          {"adv_interval_ms", 20},
                          {"data_hex", "02 01 06 11 07 " + air_uuid_hex(kUuid)}}}}});
    const process_result result = run_orvette_on(scenario, {std::string("-u") + kUuid, "-v3"},
                                                 {{kMetadataDone, 200, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));
    const trace_lines trace = scenario.read_trace();
    const trace_lines connects = trace_calls(trace, "sd_ble_gap_connect");
    ASSERT_FALSE(connects.empty()) << describe(result);
    for (const trace_line& connect : connects) {
        EXPECT_EQ(connect["args"]["peer_addr"]["addr"], kAddress) << connect.dump();
    }
    EXPECT_FALSE(contains(result.out, "never got BLE_GAP_EVT_CONNECTED"));
    // Its reports were heard and counted all the same.
    size_t spoofed = 0;
    for (const trace_line& report : trace_events(trace, "BLE_GAP_EVT_ADV_REPORT")) {
        spoofed += report["peer_addr"] == "C0:00:00:00:00:99";
    }
    EXPECT_GT(spoofed, 10u);
}

// The phone answers its first request, then the stack loses the next one: neither an answer
// nor a GATT time-out ever comes. The set-up ends at the limit, the phone is hung up, and
// on its next connection (where it answers again) it is set up in full.
TEST(LinkHostileAir, SetUpThatNeverGetsAnAnswerEndsAtTheLimitAndThePhoneComesBack) {
    const e2e_scenario scenario(nlohmann::json{{"seed", 8},
                                               {"time_scale", 100},
                                               {"phones", {phone_a()}},
                                               {"faults",
                                                {{{"type", "gatt_silent"},
                                                  {"phone", "phone-a"},
                                                  {"after_requests", 1},
                                                  {"connection", 1},
                                                  {"stack_timeout", false}}}}});
    const process_result result = run_orvette_on(
        scenario, {std::string("-u") + kUuid, "-v3"},
        {{"got no answer after waiting 65000 milliseconds", 0, ""}, {kMetadataDone, 200, "q"}},
        90000);
    ASSERT_TRUE(ended_cleanly(result));
    const auto lines = split_lines(result.out);
    const size_t gave_up = line_index(lines, "ERROR: set-up of phone " + std::string(kUuid));
    ASSERT_NE(gave_up, std::string::npos) << describe(result);
    EXPECT_NE(line_index(lines, "sd_ble_gap_disconnect succeeded handle", gave_up),
              std::string::npos);
    const size_t again = line_index(lines, "FOUND phone with UUID", gave_up);
    ASSERT_NE(again, std::string::npos);
    EXPECT_NE(line_index(lines, kMetadataDone, again), std::string::npos);

    const trace_lines trace = scenario.read_trace();
    EXPECT_EQ(setup_overlaps(trace), "");
    EXPECT_EQ(trace_events(trace, "BLE_GAP_EVT_CONNECTED").size(), 2u);
}

// 'q' while the work thread waits for a connection that never comes: the attempt ends at
// once (no 65 s wait, no "Exit test program immediately" with -x), its request is withdrawn
// before the driver closes, nothing is called on the closed driver, and the shutdown lines
// end with "Closed" and "Exiting".
TEST(LinkHostileAir, QuitDuringAConnectionAttemptEndsTheRunInOrder) {
    const e2e_scenario scenario(
        nlohmann::json{{"seed", 3},
                       {"phones", {phone_a()}},
                       {"faults", {{{"type", "connect_never"}, {"phone", "phone-a"}}}}});
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuid, "-v2", "-x", "-s"},
                       {{"connection request succeeded, connection in progress", 100, "q"}}, 30000);
    ASSERT_TRUE(ended_cleanly(result));
    const auto lines = split_lines(result.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Closed") << describe(result);
    EXPECT_EQ(lines.back(), "Exiting");
    EXPECT_FALSE(contains(result.out, "Exit test program immediately"));
    EXPECT_FALSE(contains(result.out, "never got BLE_GAP_EVT_CONNECTED"));

    const trace_lines trace = scenario.read_trace();
    const size_t cancel = trace_call_index(trace, "sd_ble_gap_connect_cancel");
    const size_t close = trace_call_index(trace, "sd_rpc_close");
    ASSERT_NE(close, std::string::npos) << describe(result);
    EXPECT_LT(cancel, close);
    for (size_t i = close + 1; i < trace.size(); ++i) {
        EXPECT_FALSE(trace[i].contains("call")) << trace[i].dump();
    }
}
