// The orvette program against the simulated dongle when links end without the program
// asking: a phone that hangs up, one that walks out of range, and one that hangs up in the
// middle of its set-up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char* const kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kAddressA = "D2:4F:0A:91:3C:01";
const char* const kUuidB = "feedfeadfeadfeadfeadfeadfeadfead";
const char* const kAddressB = "E7:19:B3:5D:20:8A";
const char* const kSetupEnded = "service discovery ended, available for new connection";

nlohmann::json phone(const char* name, const char* uuid, const char* address) {
    return {{"name", name}, {"uuid", uuid}, {"address", address}, {"adv_interval_ms", 50}};
}

// Trace indexes of the CONNECTED events of one peer, in order.
std::vector<size_t> connections_of(const trace_lines& trace, const std::string& address) {
    std::vector<size_t> found;
    for (size_t i = 0; i < trace.size(); ++i) {
        if (is_event(trace[i], "BLE_GAP_EVT_CONNECTED") && trace[i]["peer_addr"] == address) {
            found.push_back(i);
        }
    }
    return found;
}

// Index of the first DISCONNECTED event for `handle` after `from`.
size_t disconnection_of(const trace_lines& trace, int handle, size_t from) {
    for (size_t i = from; i < trace.size(); ++i) {
        if (is_event(trace[i], "BLE_GAP_EVT_DISCONNECTED") && trace[i]["conn_handle"] == handle) {
            return i;
        }
    }
    return std::string::npos;
}

std::string followup_line(const std::string& reason, int handle) {
    return "BLE_GAP_EVT_DISCONNECTED received, reason: " + reason +
           ", conn_handle = " + std::to_string(handle);
}

}  // namespace

TEST(LinkPeerDisconnect, PhoneThatHangsUpOrIsLostIsFreedNamedAndReconnected) {
    // Phone A hangs up 1.5 s into its first connection; phone B goes out of range 1.5 s into
    // its first and comes back 6 s later, by which time its link has run out of supervision
    // time (4 s). Five times real time.
    nlohmann::json world = {
        {"seed", 21},
        {"time_scale", 5},
        {"phones", {phone("phone-a", kUuidA, kAddressA), phone("phone-b", kUuidB, kAddressB)}},
        {"faults",
         {{{"type", "disconnect"},
           {"phone", "phone-a"},
           {"connection", 1},
           {"after_connect_ms", 1500},
           {"reason", "0x13"}},
          {{"type", "out_of_range"},
           {"phone", "phone-b"},
           {"connection", 1},
           {"after_connect_ms", 1500},
           {"duration_ms", 6000}}}}};
    const e2e_scenario scenario(world);
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, std::string("-u") + kUuidB, "-v3"},
                       {{"reason: 0x0008 BLE_HCI_CONNECTION_TIMEOUT", 0, ""},
                        {std::string("FOUND phone with UUID ") + kUuidB, 0, ""},
                        {kSetupEnded, 100, "q"}},
                       90000);
    ASSERT_TRUE(ended_cleanly(result));
    const trace_lines trace = scenario.read_trace();
    EXPECT_EQ(setup_overlaps(trace), "");

    const auto a_connections = connections_of(trace, kAddressA);
    const auto b_connections = connections_of(trace, kAddressB);
    ASSERT_GE(a_connections.size(), 2u) << describe(result);
    ASSERT_GE(b_connections.size(), 2u) << describe(result);
    const int a_handle = trace[a_connections[0]]["conn_handle"];
    const int b_handle = trace[b_connections[0]]["conn_handle"];

    // Each first link ended with the phone's own reason, and the phone was connected again
    // afterwards.
    const size_t a_lost = disconnection_of(trace, a_handle, a_connections[0]);
    const size_t b_lost = disconnection_of(trace, b_handle, b_connections[0]);
    ASSERT_NE(a_lost, std::string::npos);
    ASSERT_NE(b_lost, std::string::npos);
    EXPECT_EQ(trace[a_lost]["reason"], 0x13);
    EXPECT_EQ(trace[b_lost]["reason"], 0x08);
    EXPECT_GT(a_connections[1], a_lost);
    EXPECT_GT(b_connections[1], b_lost);
    // Nobody asked for these disconnections.
    EXPECT_GT(trace_call_index(trace, "sd_ble_gap_disconnect"), b_lost);

    // The console names each reason with the handle that was lost, after the event thread's
    // own line.
    const auto lines = split_lines(result.out);
    const size_t a_followup = line_index(
        lines, followup_line("0x0013 BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION", a_handle));
    const size_t b_followup =
        line_index(lines, followup_line("0x0008 BLE_HCI_CONNECTION_TIMEOUT", b_handle));
    ASSERT_NE(a_followup, std::string::npos) << describe(result);
    ASSERT_NE(b_followup, std::string::npos) << describe(result);
    const std::string event_thread_line =
        "event handler thread got BLE_GAP_EVT_DISCONNECTED, post to worker thread to handle";
    EXPECT_LT(line_index(lines, event_thread_line), a_followup);
    // Both phones were found again after their loss. A report heard just before the loss
    // may reach the work thread after the event thread has freed the phone, and so be the
    // one that finds it again ahead of the loss's own follow-up line: count the finds
    // rather than look for one after that line (the trace above shows the order on the air).
    const auto finds = [&lines](const char* uuid) {
        size_t count = 0;
        for (const auto& line : lines) {
            count += contains(line, std::string("FOUND phone with UUID ") + uuid) ? 1 : 0;
        }
        return count;
    };
    EXPECT_GE(finds(kUuidA), 2u) << describe(result);
    EXPECT_GE(finds(kUuidB), 2u) << describe(result);
    EXPECT_FALSE(contains(result.out, "when we are not attempting to connect"));
}

TEST(LinkPeerDisconnect, HangUpDuringSetUpEndsTheSetUpAndScanningRestarts) {
    // The phone answers three discovery requests of its first connection and then hangs up.
    nlohmann::json world = {{"seed", 23},
                            {"time_scale", 5},
                            {"phones", {phone("phone-a", kUuidA, kAddressA)}},
                            {"faults",
                             {{{"type", "disconnect"},
                               {"phone", "phone-a"},
                               {"connection", 1},
                               {"after_requests", 3}}}}};
    const e2e_scenario scenario(world);
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, "-v3"},
                       {{"BLE_GAP_EVT_DISCONNECTED received, reason: ", 0, ""},
                        {"got expected BLE_GAP_EVT_CONNECTED", 0, ""},
                        {kSetupEnded, 100, "q"}},
                       90000);
    ASSERT_TRUE(ended_cleanly(result));
    const trace_lines trace = scenario.read_trace();
    EXPECT_EQ(setup_overlaps(trace), "");

    const auto connections = connections_of(trace, kAddressA);
    ASSERT_GE(connections.size(), 2u) << describe(result);
    const int first_handle = trace[connections[0]]["conn_handle"];
    const size_t lost = disconnection_of(trace, first_handle, connections[0]);
    ASSERT_NE(lost, std::string::npos);
    ASSERT_LT(lost, connections[1]);

    // The set-up was cut short: no RSSI reporting was started for the lost link...
    const size_t first_rssi_start = trace_call_index(trace, "sd_ble_gap_rssi_start");
    ASSERT_NE(first_rssi_start, std::string::npos);
    EXPECT_GT(first_rssi_start, lost);
    // ... scanning was started afresh after the loss, before the next attempt ...
    size_t restart = std::string::npos;
    for (size_t i = lost; i < connections[1]; ++i) {
        if (is_call(trace[i], "sd_ble_gap_scan_start") &&
            !trace[i]["args"]["scan_params"].is_null()) {
            restart = i;
            break;
        }
    }
    EXPECT_NE(restart, std::string::npos);
    // ... and the second set-up ran to its end.
    EXPECT_EQ(trace[first_rssi_start]["args"]["conn_handle"], trace[connections[1]]["conn_handle"]);

    // On the console the set-up's end follows the disconnection's follow-up, and nothing
    // ended the set-up before it.
    const auto lines = split_lines(result.out);
    const size_t found = line_index(lines, "FOUND phone with UUID ");
    const size_t followup = line_index(
        lines, followup_line("0x0013 BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION", first_handle));
    ASSERT_NE(followup, std::string::npos) << describe(result);
    EXPECT_EQ(line_index(lines, kSetupEnded, found), line_index(lines, kSetupEnded, followup));
    EXPECT_LT(line_index(lines, kSetupEnded, followup),
              line_index(lines, "FOUND phone with UUID ", followup));
}
