// The keep-alive thread of the orvette program against the simulated dongle: a 'feature'
// read of every connected phone each cycle, the challenge exchange after each answered
// cycle, the forced reconnection after the eleventh, and what happens to a read that is
// not answered, whose link drops, or that nobody ever ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/gatt_process_helpers.h"

using namespace testing_support;
using gatt_e2e::calls_on;
using gatt_e2e::connected_index;
using gatt_e2e::connection_handle;
using gatt_e2e::count_lines_with;
using gatt_e2e::npos;

namespace {

const char* const kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kUuidB = "feedfeadfeadfeadfeadfeadfeadfead";
// Value handles of the standard profile: 'feature', 'challenge', 'response' and the
// descriptor after 'response' that switches its notifications.
constexpr int kFeature = 0x000C;
constexpr int kChallenge = 0x000E;
constexpr int kResponseCccd = 0x0011;
const std::string kAbortedRead =
    "TS: sd_ble_gattc_read to keep connection alive got BLE_GATTC_EVT_TIMEOUT or "
    "BLE_GAP_EVT_DISCONNECTED (discard this connection and re-connect)";
const char* const kForceLine =
    "Force disconnect on all open connections, so we can go through connection process again.";
const char* const kMetadataDone = "entirely done getting metadata from phone";

// A write as the trace shows it: operation, handle and value in hex.
std::string write_text(const trace_line& call) {
    const auto& w = call["args"]["write_params"];
    return std::to_string(w["write_op"].get<int>()) + ":" + std::to_string(w["handle"].get<int>()) +
           ":" + w["value"].get<std::string>();
}

const std::string kNotifyOn = "1:" + std::to_string(kResponseCccd) + ":0100";
const std::string kChallengeWrite = "2:" + std::to_string(kChallenge) + ":" + std::string(38, '0');
const std::string kNotifyOff = "1:" + std::to_string(kResponseCccd) + ":0000";

bool is_feature_read(const trace_line& line, int conn_handle) {
    return is_call(line, "sd_ble_gattc_read") && gatt_e2e::conn_handle_of(line) == conn_handle &&
           line["args"]["handle"] == kFeature;
}

}  // namespace

TEST(KeepAliveProcess, EveryCycleReadsEachPhoneChallengesItAndTheEleventhForcesReconnection) {
    const e2e_scenario scenario(nlohmann::json::parse(R"({
        "seed": 31, "time_scale": 10,
        "phones": [
          { "name": "phone-a", "uuid": "a0a489971097bba1b343eddd8f50f6ac", "adv_interval_ms": 100 },
          { "name": "phone-b", "uuid": "feedfeadfeadfeadfeadfeadfeadfead", "adv_interval_ms": 250,
            "response_latency": [1, 2] } ] })"));
    const process_result result = run_orvette_on(
        scenario, {std::string("-u") + kUuidA, std::string("-u") + kUuidB, "-v5"},
        {{kForceLine, 0, ""}, {kMetadataDone, 0, ""}, {kMetadataDone, 300, "q"}}, 110000);
    ASSERT_TRUE(ended_cleanly(result));
    EXPECT_EQ(count_lines_with(result.out, kForceLine), 1u);

    const trace_lines trace = scenario.read_trace();
    const int a = connection_handle(trace, "phone-a");
    const int b = connection_handle(trace, "phone-b");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const size_t forced = trace_call_index(trace, "sd_ble_gap_disconnect");
    ASSERT_NE(forced, npos);

    // Both set-ups end before the first cycle, so every cycle reads both phones: a cycle
    // runs from one 'feature' read of phone-a (the first in key order) to the next.
    std::vector<size_t> cycle_starts;
    for (size_t i = 0; i < forced; ++i) {
        if (is_feature_read(trace[i], a)) cycle_starts.push_back(i);
    }
    ASSERT_EQ(cycle_starts.size(), 11u) << "answered cycles before the forced disconnect";
    ASSERT_LT(trace_call_index(trace, "sd_ble_gap_rssi_start",
                               trace_call_index(trace, "sd_ble_gap_rssi_start") + 1),
              cycle_starts[0]);
    cycle_starts.push_back(forced);

    for (size_t c = 0; c + 1 < cycle_starts.size(); ++c) {
        SCOPED_TRACE("cycle " + std::to_string(c + 1));
        const size_t from = cycle_starts[c];
        const size_t to = cycle_starts[c + 1];
        size_t b_reads = 0;
        for (size_t i = from; i < to; ++i) b_reads += is_feature_read(trace[i], b) ? 1 : 0;
        EXPECT_EQ(b_reads, 1u);
        for (const int handle : {a, b}) {
            SCOPED_TRACE("conn_handle " + std::to_string(handle));
            const trace_lines writes = calls_on(trace, "sd_ble_gattc_write", handle, from, to);
            ASSERT_EQ(writes.size(), 3u);
            EXPECT_EQ(write_text(writes[0]), kNotifyOn);
            EXPECT_EQ(write_text(writes[1]), kChallengeWrite);
            EXPECT_EQ(write_text(writes[2]), kNotifyOff);
            for (const auto& w : writes) EXPECT_EQ(w["result"], 0);
            // The phone gets 3 s to answer; the switch-off then goes out at once.
            const double answer_time = ms_between(writes[1], writes[2]);
            EXPECT_GE(answer_time, 3000.0);
            EXPECT_LT(answer_time, 5000.0);
        }
    }

    // Each challenge is answered with a notification of 'response', which the program logs.
    size_t notifications = 0;
    for (size_t i = 0; i < forced; ++i) {
        if (is_event(trace[i], "BLE_GATTC_EVT_HVX") && trace[i]["handle"] == 0x0010) {
            ++notifications;
        }
    }
    EXPECT_EQ(notifications, 22u);
    EXPECT_GE(count_lines_with(result.out,
                               "Received data for characteristic handle 0x0010 #bytes = 20 hvx "
                               "handle = 0x0010"),
              22u);
    EXPECT_GE(count_lines_with(result.out, ": keepalive conn_handle = " + std::to_string(a) +
                                               " characteristic handle 0x000C #bytes = 1 value 1"),
              11u);

    // The forced disconnection drops both links, and both phones come back and are
    // discovered again.
    const trace_lines disconnects = trace_calls(trace, "sd_ble_gap_disconnect");
    ASSERT_GE(disconnects.size(), 2u);
    EXPECT_EQ(disconnects[0]["args"]["hci_status_code"], 0x13);
    EXPECT_EQ(disconnects[1]["args"]["hci_status_code"], 0x13);
    EXPECT_NE(gatt_e2e::conn_handle_of(disconnects[0]), gatt_e2e::conn_handle_of(disconnects[1]));
    for (const char* phone : {"phone-a", "phone-b"}) {
        SCOPED_TRACE(phone);
        const size_t again = connected_index(trace, phone, 2);
        ASSERT_NE(again, npos);
        EXPECT_GT(again, forced);
        EXPECT_NE(trace_call_index(trace, "sd_ble_gap_rssi_start", again), npos);
    }
    EXPECT_EQ(count_lines_with(result.out, kMetadataDone), 4u);
}

TEST(KeepAliveProcess, LinkDropAbortsWithoutDisconnectAndTimeOutAbortsDespiteAnotherSetUp) {
    // 'hangup' (first in key order) ends the link instead of answering its keep-alive read.
    // 'silent' takes its 15 set-up requests and never answers its read, so the stack times
    // it out after 30 s, while 'hangup' is connected and discovered again meanwhile. Neither
    // misbehaves on its second connection.
    const e2e_scenario scenario(nlohmann::json::parse(R"({
        "seed": 32, "time_scale": 10,
        "phones": [
          { "name": "hangup", "uuid": "a0a489971097bba1b343eddd8f50f6ac", "adv_interval_ms": 100 },
          { "name": "silent", "uuid": "feedfeadfeadfeadfeadfeadfeadfead", "adv_interval_ms": 100 } ],
        "faults": [
          { "type": "disconnect", "phone": "hangup", "connection": 1, "after_requests": 15 },
          { "type": "gatt_silent", "phone": "silent", "connection": 1, "after_requests": 15 } ] })"));
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, std::string("-u") + kUuidB, "-v4"},
                       {{"current GATTC read/write got  BLE_GATTC_EVT_TIMEOUT", 0, ""},
                        {std::string("disable notify for ") + kUuidB, 0, ""},
                        {"got expected BLE_GATTC_EVT_WRITE_RSP", 300, "q"}},
                       110000);
    ASSERT_TRUE(ended_cleanly(result));
    const trace_lines trace = scenario.read_trace();
    const std::vector<std::string> lines = gatt_e2e::console_lines(result.out);

    // The link that drops during the wait aborts the read; the program has nothing left to
    // disconnect.
    const int hangup = connection_handle(trace, "hangup");
    ASSERT_GE(hangup, 0);
    const size_t hangup_setup =
        trace_call_index(trace, "sd_ble_gap_rssi_start", connected_index(trace, "hangup"));
    ASSERT_NE(hangup_setup, npos);
    size_t read = npos;
    for (size_t i = hangup_setup; i < trace.size() && read == npos; ++i) {
        if (is_feature_read(trace[i], hangup)) read = i;
    }
    ASSERT_NE(read, npos);
    const size_t gone = trace_event_index(trace, "BLE_GAP_EVT_DISCONNECTED", read + 1);
    ASSERT_NE(gone, npos);
    EXPECT_EQ(trace[gone]["conn_handle"], hangup);
    EXPECT_EQ(trace[gone]["reason"], 0x13);
    const size_t back = connected_index(trace, "hangup", 2);
    ASSERT_NE(back, npos) << "'hangup' never came back";
    EXPECT_TRUE(calls_on(trace, "sd_ble_gap_disconnect", hangup, read, back).empty());
    const size_t cancel_line = line_index(
        lines,
        "TS: BLE_GAP_EVT_DISCONNECTED while GATTC read/write in progress. Cancel read/write.");
    ASSERT_NE(cancel_line, npos);
    EXPECT_NE(line_index(lines, kAbortedRead, cancel_line), npos);

    // The next read waits out the other phone's new set-up, whose reads are not its answer,
    // until the time-out aborts it; the program then drops the link that still stands.
    const int silent = connection_handle(trace, "silent");
    ASSERT_GE(silent, 0);
    const size_t timeout = trace_event_index(trace, "BLE_GATTC_EVT_TIMEOUT");
    ASSERT_NE(timeout, npos);
    EXPECT_EQ(trace[timeout]["conn_handle"], silent);
    EXPECT_LT(back, timeout) << "'hangup' was not set up again during the wait";
    const size_t dropped = trace_call_index(trace, "sd_ble_gap_disconnect", timeout);
    ASSERT_NE(dropped, npos);
    EXPECT_EQ(gatt_e2e::conn_handle_of(trace[dropped]), silent);
    const size_t timeout_line =
        line_index(lines, "TS: current GATTC read/write got  BLE_GATTC_EVT_TIMEOUT", cancel_line);
    ASSERT_NE(timeout_line, npos);
    EXPECT_EQ(line_index(std::vector<std::string>(lines.begin() + cancel_line,
                                                  lines.begin() + timeout_line),
                         "got expected BLE_GATTC_EVT_READ_RSP"),
              npos)
        << "the waiting read took another phone's answer for its own";
    EXPECT_NE(line_index(lines, kAbortedRead, timeout_line), npos);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kAbortedRead), 2);
    EXPECT_NE(connected_index(trace, "silent", 2), npos) << "'silent' never came back";
}

TEST(KeepAliveProcess, ReadNeverAnsweredNorAbortedEndsTheProcessAfterItsLimit) {
    // The stack loses the read as well: no answer and no GATT time-out ever comes. Standard
    // input stays open, so only the program's own limit can end the run.
    const e2e_scenario scenario(nlohmann::json::parse(R"({
        "seed": 33, "time_scale": 20,
        "phones": [ { "name": "phone-a", "uuid": "a0a489971097bba1b343eddd8f50f6ac" } ],
        "faults": [ { "type": "gatt_silent", "phone": "phone-a", "after_requests": 15,
                      "stack_timeout": false } ] })"));
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, "-v1"}, {}, 60000, false);
    ASSERT_TRUE(ended_cleanly(result));

    const std::vector<std::string> lines = gatt_e2e::console_lines(result.out);
    const size_t never = line_index(lines,
                                    ": ERROR: never got BLE_GATTC_EVT_READ_RSP or "
                                    "BLE_GATTC_EVT_TIMEOUT or BLE_GAP_EVT_DISCONNECTED "
                                    "after waiting 65000 milliseconds.");
    ASSERT_NE(never, npos) << describe(result);
    const size_t disconnect =
        line_index(lines, "Disconnect and see if we get a disconnect event", never);
    ASSERT_NE(disconnect, npos);
    EXPECT_NE(line_index(lines, "Exit test program immediately", disconnect), npos);
    EXPECT_EQ(line_index(lines, "Wait for keep-alive thread to stop"), npos)
        << "the run was shut down in order instead of ended at once";

    const trace_lines trace = scenario.read_trace();
    EXPECT_EQ(trace_event_index(trace, "BLE_GATTC_EVT_TIMEOUT"), npos);
    size_t read = npos;
    for (size_t i = 0; i < trace.size(); ++i) {
        if (is_feature_read(trace[i], 0)) read = i;
    }
    ASSERT_NE(read, npos);
    const size_t dropped = trace_call_index(trace, "sd_ble_gap_disconnect", read);
    ASSERT_NE(dropped, npos);
    EXPECT_GE(ms_between(trace[read], trace[dropped]), 65000.0);
}

TEST(KeepAliveProcess, QuitWhileASilentPhonesReadWaitsEndsTheRunAtOnceInOrder) {
    // The phone takes its set-up and never answers again; its stack would time the read out
    // after 30 s. 'q' comes about 3 s into the read's wait.
    const e2e_scenario scenario(nlohmann::json::parse(R"({
        "seed": 34, "time_scale": 10,
        "phones": [ { "name": "phone-a", "uuid": "a0a489971097bba1b343eddd8f50f6ac" } ],
        "faults": [ { "type": "gatt_silent", "phone": "phone-a", "after_requests": 15 } ] })"));
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, "-v4", "-x"},
                       {{"'feature' characteristic value", 300, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));

    const std::vector<std::string> lines = gatt_e2e::console_lines(result.out);
    // The shutdown's own lines end the output; each thread's exit line comes whenever that
    // thread sees its stop, which may be before the line that says it is waited for.
    const std::vector<std::string> shutdown = {"Wait for keep-alive thread to stop",
                                               "Wait for advertising thread to stop",
                                               "Stop advertising",
                                               "Call sd_rpc_close",
                                               "Closed",
                                               "Exiting"};
    const size_t first = line_index(lines, shutdown[0]);
    ASSERT_NE(first, npos) << describe(result);
    std::vector<std::string> tail;
    for (size_t i = first; i < lines.size(); ++i) {
        if (lines[i] == "KeepAliveThread exiting" || lines[i] == "AdvertisingThread exiting") {
            continue;
        }
        tail.push_back(lines[i]);
    }
    EXPECT_EQ(tail, shutdown) << describe(result);
    EXPECT_NE(line_index(lines, "KeepAliveThread exiting"), npos);
    EXPECT_EQ(line_index(lines, "never got"), npos);
    EXPECT_EQ(line_index(lines, "Exit test program immediately"), npos);
    EXPECT_EQ(line_index(lines, kAbortedRead), npos);

    // The read was out when the quit came, and the driver was closed long before the
    // phone's stack could have timed it out: nothing but the quit ended its wait.
    const trace_lines trace = scenario.read_trace();
    size_t read = npos;
    for (size_t i = 0; i < trace.size() && read == npos; ++i) {
        if (is_feature_read(trace[i], 0)) read = i;
    }
    ASSERT_NE(read, npos);
    const size_t close = trace_call_index(trace, "sd_rpc_close", read);
    ASSERT_NE(close, npos);
    EXPECT_LT(ms_between(trace[read], trace[close]), 15000.0);
    EXPECT_EQ(trace_event_index(trace, "BLE_GATTC_EVT_TIMEOUT"), npos);
    for (const char* call : {"sd_ble_gattc_read", "sd_ble_gattc_write", "sd_ble_gap_disconnect"}) {
        EXPECT_EQ(trace_call_index(trace, call, read + 1), npos) << call << " after the quit";
    }
}
