// The orvette program against the simulated dongle with two monitored phones and unmonitored
// neighbours: both phones connected one after the other, the status and device displays,
// and 'd' dropping both links in UUID order before the phones come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char* const kLowUuid = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kLowAddress = "D2:4F:0A:91:3C:01";
const char* const kHighUuid = "feedfeadfeadfeadfeadfeadfeadfead";
const char* const kHighAddress = "E7:19:B3:5D:20:8A";
const char* const kNeighbourUuid = "3f2a9c1e5b7d4e60a1c28d9e0f4b7a65";

const char* const kSetupEnded = "service discovery ended, available for new connection";
const char* const kDisconnectSeen =
    "got expected BLE_GAP_EVT_DISCONNECTED after calling sd_ble_gap_disconnect";

// The phone with the higher UUID starts advertising first, and often, so it gets the lower
// connection handle: 'd' must then go by UUID, not by handle. Its RSSI jumps about enough to be
// reported often. Two neighbours advertise the same unmonitored UUID. Five times real time keeps
// the keep-alive's own reconnect-all (after 33 s of clock) far away from the keys.
// Falls by 40 dB over 400 ms and jumps back every 800 ms: a change worth reporting every
// tenth of a second or so.
const nlohmann::json kSwingingRssi = {
    {"track", {{0, -40}, {400, -80}}}, {"repeat_ms", 800}, {"noise_db", 1}};

nlohmann::json two_phone_world() {
    return {{"seed", 11},
            {"time_scale", 5},
            {"phones",
             {{{"name", "phone-high"},
               {"uuid", kHighUuid},
               {"address", kHighAddress},
               {"adv_interval_ms", 30},
               {"rssi", kSwingingRssi}},
              {{"name", "phone-low"},
               {"uuid", kLowUuid},
               {"address", kLowAddress},
               {"adv_interval_ms", 100},
               {"adv_start_ms", 1000},
               {"rssi", kSwingingRssi}}}},
            {"advertisers",
             {{{"name", "neighbour"},
               {"count", 2},
               {"connectable", true},
               {"adv_interval_ms", 100},
               {"data", {{"flags", 6}, {"uuid128", {kNeighbourUuid}}}}}}}};
}

// Connection handle of each peer address, from the first connection of each.
std::map<std::string, int> first_handles(const trace_lines& trace) {
    std::map<std::string, int> handles;
    for (const auto& event : trace_events(trace, "BLE_GAP_EVT_CONNECTED")) {
        handles.emplace(event["peer_addr"].get<std::string>(), event["conn_handle"].get<int>());
    }
    return handles;
}

}  // namespace

TEST(LinkTwoPhones, ConnectedOneAtATimeShownInUuidOrderDisconnectedInUuidOrderAndReconnected) {
    const e2e_scenario scenario(two_phone_world());
    const process_result result = run_orvette_on(
        scenario, {std::string("-u") + kHighUuid, std::string("-u") + kLowUuid, "-v4"},
        {{kSetupEnded, 0, ""},
         {kSetupEnded, 500, "s"},
         {"all devices: ", 0, "d"},
         {kDisconnectSeen, 0, ""},
         {kDisconnectSeen, 0, ""},
         {kSetupEnded, 0, ""},
         {kSetupEnded, 100, "q"}},
        90000);
    ASSERT_TRUE(ended_cleanly(result));
    const trace_lines trace = scenario.read_trace();
    const auto lines = split_lines(result.out);

    // Never a connection request while another phone's set-up is unfinished.
    EXPECT_EQ(setup_overlaps(trace), "");

    // Normally the higher UUID holds the lower handle (see the world above); the checks
    // below hold whichever way round the handles came.
    const auto handles = first_handles(trace);
    ASSERT_EQ(handles.count(kHighAddress), 1u) << describe(result);
    ASSERT_EQ(handles.count(kLowAddress), 1u) << describe(result);
    const int high_handle = handles.at(kHighAddress);
    const int low_handle = handles.at(kLowAddress);
    ASSERT_NE(high_handle, low_handle);

    // On the console: the first phone found, its set-up ended, then the other one found.
    const size_t found_high = line_index(lines, std::string("FOUND phone with UUID ") + kHighUuid);
    const size_t found_low = line_index(lines, std::string("FOUND phone with UUID ") + kLowUuid);
    ASSERT_NE(found_high, std::string::npos);
    ASSERT_NE(found_low, std::string::npos);
    const size_t found_first = std::min(found_high, found_low);
    const size_t found_second = std::max(found_high, found_low);
    EXPECT_LT(line_index(lines, kSetupEnded, found_first), found_second);
    EXPECT_NE(line_index(lines, kSetupEnded, found_second), std::string::npos);

    // 's': totals, then one line per phone in UUID order with its RSSI figures, then (at
    // level 4) every UUID seen once, the unmonitored one included.
    // Other threads may print between these lines, so each is looked for after the last.
    const size_t totals = line_index(lines, "total advertisements received = ");
    ASSERT_NE(totals, std::string::npos);
    const size_t low_at = line_index(lines, std::string(": ") + kLowUuid + " ", totals);
    const size_t high_at = line_index(lines, std::string(": ") + kHighUuid + " ", totals);
    const size_t devices_at = line_index(lines, "all devices: ", totals);
    ASSERT_NE(devices_at, std::string::npos);
    ASSERT_LT(low_at, high_at);
    ASSERT_LT(high_at, devices_at);
    const std::string low_status = strip_timestamps(lines[low_at]);
    const std::string high_status = strip_timestamps(lines[high_at]);
    const std::string low_prefix =
        std::string("TS: ") + kLowUuid + " connection " + std::to_string(low_handle) + " ";
    const std::string high_prefix =
        std::string("TS: ") + kHighUuid + " connection " + std::to_string(high_handle) + " ";
    EXPECT_EQ(low_status.rfind(low_prefix, 0), 0u) << low_status;
    EXPECT_EQ(high_status.rfind(high_prefix, 0), 0u) << high_status;
    EXPECT_EQ(
        strip_timestamps(lines[devices_at]),
        std::string("TS: all devices: ") + kNeighbourUuid + " " + kLowUuid + " " + kHighUuid + " ");

    // The RSSI figures are those the dongle reported for that link before the disconnects.
    const size_t first_disconnect = trace_call_index(trace, "sd_ble_gap_disconnect");
    ASSERT_NE(first_disconnect, std::string::npos);
    for (const auto& [status, handle] :
         {std::make_pair(low_status, low_handle), std::make_pair(high_status, high_handle)}) {
        int count = -1;
        int last = 0;
        const size_t at = status.find("#RSSI events = ");
        ASSERT_NE(at, std::string::npos) << status;
        ASSERT_EQ(
            std::sscanf(status.c_str() + at, "#RSSI events = %d last RSSI = %d", &count, &last), 2)
            << status;
        std::set<int> reported;
        size_t reports = 0;
        for (size_t i = 0; i < first_disconnect; ++i) {
            if (is_event(trace[i], "BLE_GAP_EVT_RSSI_CHANGED") &&
                trace[i]["conn_handle"] == handle) {
                reported.insert(trace[i]["rssi"].get<int>());
                ++reports;
            }
        }
        EXPECT_GE(count, 1) << status;
        EXPECT_LE(static_cast<size_t>(count), reports) << status;
        EXPECT_EQ(reported.count(last), 1u) << status;
    }

    // 'd': the lower UUID first although its handle is the higher one; each request is
    // followed by its own expected event before the next request goes out.
    const size_t d_from = devices_at + 1;
    const size_t first_request = line_index(
        lines, "sd_ble_gap_disconnect succeeded handle " + std::to_string(low_handle), d_from);
    ASSERT_NE(first_request, std::string::npos) << describe(result);
    const size_t first_seen = line_index(lines, kDisconnectSeen, first_request);
    const size_t second_request = line_index(
        lines, "sd_ble_gap_disconnect succeeded handle " + std::to_string(high_handle), d_from);
    ASSERT_NE(second_request, std::string::npos) << describe(result);
    EXPECT_LT(first_seen, second_request);
    EXPECT_NE(line_index(lines, kDisconnectSeen, second_request), std::string::npos);
    EXPECT_EQ(line_index(lines, "sd_ble_gap_disconnect succeeded", d_from),
              first_request);  // nothing was disconnected before the lower UUID

    const trace_lines disconnects = trace_calls(trace, "sd_ble_gap_disconnect");
    ASSERT_GE(disconnects.size(), 2u);
    EXPECT_EQ(disconnects[0]["args"]["conn_handle"], low_handle);
    EXPECT_EQ(disconnects[1]["args"]["conn_handle"], high_handle);
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(disconnects[i]["args"]["hci_status_code"], 0x13);

    // Both phones came back on later advertisements.
    std::set<std::string> reconnected;
    for (size_t i = first_disconnect; i < trace.size(); ++i) {
        if (is_event(trace[i], "BLE_GAP_EVT_CONNECTED")) {
            reconnected.insert(trace[i]["peer_addr"].get<std::string>());
        }
    }
    EXPECT_EQ(reconnected, (std::set<std::string>{kLowAddress, kHighAddress}));
}
