// The discovery benchmark's yardstick: its count of the fewest GATT transactions must be
// what a simulated phone with the same database really needs, its scenario must load, and
// its reading of the trace must attribute every request to the right set-up.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "bench/discovery_model.h"
#include "sim/phone/phone_gatt.h"
#include "sim/scenario/scenario_loader.h"

using namespace discovery_bench;

namespace {

TEST(DiscoveryBenchModel, ResponsesHoldThree16BitEntriesOrOne128BitEntry) {
    EXPECT_EQ(responses_for({}), 0u);
    EXPECT_EQ(responses_for({true, true, true}), 1u);
    EXPECT_EQ(responses_for({true, true, true, true}), 2u);
    EXPECT_EQ(responses_for({false, false}), 2u);
    // A 128-bit entry ends the run of 16-bit ones before it: they cannot share a response.
    EXPECT_EQ(responses_for({true, false, true}), 3u);
    EXPECT_EQ(responses_for({true, true, false, true, true, true, true}), 4u);
}

// Walks a simulated phone's database the way the program does and counts the requests.
transaction_count walk(sim::phone_gatt& phone) {
    transaction_count count;
    uint16_t start = 1;
    for (;;) {
        ++count.services;
        const sim::services_response answer = phone.discover_primary_services(start);
        if (answer.status != 0 || answer.services.empty()) break;
        for (const auto& service : answer.services) {
            if (service.uuid.type == BLE_UUID_TYPE_UNKNOWN) ++count.reads;
        }
        start = static_cast<uint16_t>(answer.services.back().handle_range.end_handle + 1);
    }
    start = phone.services().front().start_handle;
    for (;;) {
        ++count.characteristics;
        const sim::characteristics_response answer = phone.discover_characteristics(start, 0xFFFF);
        if (answer.status != 0 || answer.chars.empty()) break;
        count.reads += answer.chars.size();
        start = static_cast<uint16_t>(answer.chars.back().handle_decl + 1);
    }
    return count;
}

void expect_minimum_matches_phone(const database_spec& db, sim::phone_gatt phone) {
    SCOPED_TRACE(db.name);
    const transaction_count expected = minimum_transactions(db);
    const transaction_count walked = walk(phone);
    EXPECT_EQ(walked.services, expected.services);
    EXPECT_EQ(walked.characteristics, expected.characteristics);
    EXPECT_EQ(walked.reads, expected.reads);
}

TEST(DiscoveryBenchModel, MinimumIsWhatTheSimulatedPhoneNeeds) {
    const database_spec standard = standard_profile();
    expect_minimum_matches_phone(standard, sim::phone_gatt::standard_profile(standard.phone_uuid));

    const database_spec large = large_database();
    ASSERT_EQ(large.services.size(), 10u);
    ASSERT_EQ(characteristic_count(large), 40u);
    sim::phone_gatt phone;
    std::string error;
    ASSERT_TRUE(sim::phone_gatt::from_json(gatt_json(large), large.phone_uuid, phone, error))
        << error;
    expect_minimum_matches_phone(large, phone);
}

TEST(DiscoveryBenchModel, ScenarioLoadsWithOnePhonePerDatabase) {
    const json document = scenario_for({standard_profile(), large_database()}, "trace.jsonl");
    sim::scenario loaded;
    std::string error;
    ASSERT_TRUE(sim::load_scenario_json(document, "bench", loaded, error)) << error;
    ASSERT_EQ(loaded.devices.size(), 2u);
    EXPECT_EQ(loaded.devices[0].name, "standard profile");
    EXPECT_EQ(loaded.devices[1].name, "large database");
    EXPECT_EQ(loaded.devices[1].gatt.services().size(), 10u);
}

trace_summary read(const std::vector<std::string>& lines) {
    std::stringstream text;
    for (const auto& line : lines) text << line << "\n";
    return read_setups(text);
}

const std::string connected_0 =
    R"({"t":100.0,"event":"BLE_GAP_EVT_CONNECTED","id":16,"conn_handle":0,)"
    R"("conn_params":{"min_conn_interval":6},"phone":"a","first_conn_event":103.5})";

TEST(DiscoveryBenchModel, SetUpCountsOnlyItsOwnRequestsUntilTheRssiStart) {
    const trace_summary summary = read({
        connected_0,
        R"({"t":101.0,"call":"sd_ble_gattc_primary_services_discover","args":{"conn_handle":0},"result":0})",
        // Another phone's keep-alive read is not part of this set-up.
        R"({"t":102.0,"call":"sd_ble_gattc_read","args":{"conn_handle":1},"result":0})",
        R"({"t":110.0,"event":"BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP","conn_handle":0,"conn_event":1})",
        R"({"t":110.0,"call":"sd_ble_gattc_read","args":{"conn_handle":0},"result":17})",
        R"({"t":110.0,"call":"sd_ble_gattc_read","args":{"conn_handle":0},"result":0})",
        R"({"t":125.0,"event":"BLE_GATTC_EVT_READ_RSP","conn_handle":0,"conn_event":3})",
        R"({"t":125.0,"call":"sd_ble_gap_rssi_start","args":{"conn_handle":0},"result":0})",
        // After the set-up: the keep-alive's read and a disconnection change nothing.
        R"({"t":900.0,"call":"sd_ble_gattc_read","args":{"conn_handle":0},"result":0})",
        R"({"t":950.0,"event":"BLE_GAP_EVT_DISCONNECTED","conn_handle":0,"reason":22})",
    });
    ASSERT_EQ(summary.complete.size(), 1u);
    EXPECT_EQ(summary.cut_short, 0u);
    const setup_sample& s = summary.complete[0];
    EXPECT_EQ(s.phone, "a");
    EXPECT_DOUBLE_EQ(s.ended_ms - s.connected_ms, 25.0);
    EXPECT_DOUBLE_EQ(s.interval_ms, 7.5);
    EXPECT_EQ(s.transactions, 2u);
    EXPECT_EQ(s.refused, 1u);
    EXPECT_EQ(s.last_answer_event, 3);
}

TEST(DiscoveryBenchModel, SetUpCutShortIsDroppedAndTheHandleStartsAfresh) {
    const trace_summary summary = read({
        connected_0,
        R"({"t":101.0,"call":"sd_ble_gattc_primary_services_discover","args":{"conn_handle":0},"result":0})",
        R"({"t":105.0,"event":"BLE_GAP_EVT_DISCONNECTED","conn_handle":0,"reason":19})",
        R"({"t":400.0,"event":"BLE_GAP_EVT_CONNECTED","conn_handle":0,"conn_params":{"min_conn_interval":6},"phone":"b"})",
        R"({"t":401.0,"call":"sd_ble_gattc_read","args":{"conn_handle":0},"result":0})",
        R"({"t":430.0,"call":"sd_ble_gap_rssi_start","args":{"conn_handle":0},"result":0})",
    });
    EXPECT_EQ(summary.cut_short, 1u);
    ASSERT_EQ(summary.complete.size(), 1u);
    EXPECT_EQ(summary.complete[0].phone, "b");
    EXPECT_EQ(summary.complete[0].transactions, 1u);
    EXPECT_DOUBLE_EQ(summary.complete[0].ended_ms - summary.complete[0].connected_ms, 30.0);
}

TEST(DiscoveryBenchModel, BrokenTraceLinesAreSkipped) {
    const trace_summary summary = read({
        "",
        "not json",
        R"([1, 2, 3])",
        R"({"t":"soon","event":"BLE_GAP_EVT_CONNECTED","conn_handle":"zero"})",
        R"({"t":1.0,"call":"sd_ble_gap_rssi_start","args":"none"})",
        connected_0,
        R"({"t":101.0,"call":"sd_ble_gattc_read","args":{"conn_handle":0},"result":"ok"})",
        R"({"t":102.0,"call":"sd_ble_gap_rssi_start","args":{"conn_handle":0},"res)",
    });
    // The run was cut off before the set-up ended: nothing complete, nothing thrown.
    EXPECT_TRUE(summary.complete.empty());
    EXPECT_EQ(summary.cut_short, 0u);
}

}  // namespace
