// A phone's GATT database learnt by the orvette program against the simulated dongle: the
// order of the discovery chain, what its answers print, where the handle arithmetic wraps,
// and that a phone whose discovery goes wrong never holds the set-up of the others.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/gatt_process_helpers.h"
#include "tests/support/standard_setup_lines.h"

using namespace testing_support;
using gatt_e2e::block;
using gatt_e2e::console_lines;
using gatt_e2e::npos;

namespace {

const char* const kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kUuidB = "feedfeadfeadfeadfeadfeadfeadfead";
const char* const kSetupStart = "Discovering primary services conn_handle = ";
const char* const kSetupEnd = "service discovery ended, available for new connection";
// Real milliseconds between a set-up's end and the quit key. The end step starts scanning
// on the driver's event thread just after its line; a close that came in between would
// wait for that callback.
constexpr uint32_t kQuitDelayMs = 300;

// The GATT client calls of one set-up, as "name:handle" (start handle for discovery, the
// attribute for reads), from the phone's connection event to its RSSI start.
std::vector<std::string> setup_requests(const trace_lines& trace, size_t connected) {
    std::vector<std::string> requests;
    for (size_t i = connected; i < trace.size(); ++i) {
        const trace_line& line = trace[i];
        if (is_call(line, "sd_ble_gap_rssi_start")) break;
        if (!gatt_e2e::is_gattc_call(line)) continue;
        const auto& args = line["args"];
        const std::string call = line["call"];
        int handle = -1;
        if (call == "sd_ble_gattc_primary_services_discover") handle = args["start_handle"];
        if (call == "sd_ble_gattc_characteristics_discover") {
            handle = args["handle_range"]["start_handle"];
        }
        if (call == "sd_ble_gattc_read") handle = args["handle"];
        requests.push_back(call.substr(std::string("sd_ble_gattc_").size()) + ":" +
                           std::to_string(handle));
    }
    return requests;
}

bool is_gattc_answer(const trace_line& line) {
    return is_event(line, "BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP") ||
           is_event(line, "BLE_GATTC_EVT_CHAR_DISC_RSP") ||
           is_event(line, "BLE_GATTC_EVT_READ_RSP");
}

// The most GATT requests that were ever outstanding at once between two trace lines.
int most_outstanding(const trace_lines& trace, size_t from, size_t to) {
    int outstanding = 0;
    int most = 0;
    for (size_t i = from; i < to && i < trace.size(); ++i) {
        if (gatt_e2e::is_gattc_call(trace[i]) && trace[i].value("result", -1) == 0) ++outstanding;
        if (is_gattc_answer(trace[i])) --outstanding;
        most = std::max(most, outstanding);
    }
    return most;
}

}  // namespace

TEST(GattDiscoveryProcess, StandardProfileIsLearntServicesFirstAndEndsWithRssiAndScanning) {
    const e2e_scenario scenario(nlohmann::json::parse(R"({
        "seed": 21,
        "phones": [ { "name": "phone-a", "uuid": "a0a489971097bba1b343eddd8f50f6ac",
                      "address": "D2:4F:0A:91:3C:01", "adv_interval_ms": 100, "rssi": -55 } ] })"));
    const process_result result = run_orvette_on(scenario, {std::string("-u") + kUuidA, "-v3"},
                                                 {{kSetupEnd, kQuitDelayMs, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));

    std::vector<std::string> expected = testing_support::standard_profile_setup_lines(kUuidA);
    expected.push_back(kSetupEnd);
    EXPECT_EQ(block(console_lines(result.out), kSetupStart, kSetupEnd), expected);

    const trace_lines trace = scenario.read_trace();
    const size_t connected = gatt_e2e::connected_index(trace, "phone-a");
    ASSERT_NE(connected, npos);
    // Services, then characteristics from the first service on, then the declarations:
    // the service's before any characteristic's.
    const std::vector<std::string> requests = setup_requests(trace, connected);
    EXPECT_EQ(requests, (std::vector<std::string>{
                            "primary_services_discover:1", "primary_services_discover:10",
                            "primary_services_discover:18", "characteristics_discover:1",
                            "characteristics_discover:8", "characteristics_discover:12",
                            "characteristics_discover:14", "characteristics_discover:16", "read:10",
                            "read:2", "read:4", "read:7", "read:11", "read:13", "read:15"}));

    const size_t rssi = trace_call_index(trace, "sd_ble_gap_rssi_start", connected);
    ASSERT_NE(rssi, npos);
    EXPECT_EQ(most_outstanding(trace, connected, rssi), 1);
    EXPECT_EQ(trace[rssi]["args"],
              (nlohmann::json{{"conn_handle", 0}, {"threshold_dbm", 10}, {"skip_count", 0}}));
    EXPECT_EQ(trace[rssi]["result"], 0);
    // Scanning was paused while the phone was set up; the end step starts it in full.
    const size_t scan = trace_call_index(trace, "sd_ble_gap_scan_start", rssi);
    ASSERT_NE(scan, npos);
    EXPECT_TRUE(trace[scan]["args"]["scan_params"].is_object()) << trace[scan].dump();
    EXPECT_EQ(trace[scan]["result"], 0);

    // The figures for the record: from the phone's first advertisement heard to the end of
    // its set-up (the RSSI start follows "entirely done getting metadata from phone" at
    // the same simulated moment), and the GATT requests it took.
    size_t first_adv = npos;
    for (size_t i = 0; i < trace.size() && first_adv == npos; ++i) {
        if (is_event(trace[i], "BLE_GAP_EVT_ADV_REPORT") &&
            trace[i].value("peer_addr", "") == "D2:4F:0A:91:3C:01") {
            first_adv = i;
        }
    }
    ASSERT_NE(first_adv, npos);
    const double adv_t = trace[first_adv]["t"];
    const double connected_t = trace[connected]["t"];
    const double done_t = trace[rssi]["t"];
    ::testing::Test::RecordProperty("first_advertisement_to_metadata_done_ms",
                                    std::to_string(done_t - adv_t));
    ::testing::Test::RecordProperty("connected_to_metadata_done_ms",
                                    std::to_string(done_t - connected_t));
    ::testing::Test::RecordProperty("gatt_requests", static_cast<int>(requests.size()));
    std::printf(
        "standard profile: first advertisement to metadata done %.3f ms simulated "
        "(connected to done %.3f ms), %zu GATT requests\n",
        done_t - adv_t, done_t - connected_t, requests.size());
}

TEST(GattDiscoveryProcess, CraftedHandlesWrapSkipVendorServicesAndCheckDeclarations) {
    const e2e_scenario scenario = e2e_scenario::from_file("gatt_crafted_walk.json");
    const process_result result = run_orvette_on(scenario, {std::string("-u") + kUuidA, "-v3"},
                                                 {{kSetupEnd, kQuitDelayMs, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));

    const std::vector<std::string> expected = {
        "Discovering primary services conn_handle = 0",
        "sd_ble_gattc_primary_services_discover success for start_handle = 0x0001",
        "service type 16-bit, UUID = 0x1800, handle_range start = 0x0001 end = 0x0007 "
        "conn_handle = 0",
        "service type 128-bit UUID: handle_range start = 0x0008 end = 0x000B conn_handle = 0",
        "service type 16-bit, UUID = 0x180F, handle_range start = 0x000C end = 0x0015 "
        "conn_handle = 0",
        "sd_ble_gattc_primary_services_discover success for handle 0x0016",
        "TS: service type 128-bit, octets 12-13 = 0x1234 (not handled by test program), "
        "handle_range start = 0x0016 end = 0x0020 conn_handle = 0",
        "sd_ble_gattc_primary_services_discover success for handle 0x0021",
        "service type 128-bit UUID: handle_range start = 0x0021 end = 0xFFFF conn_handle = 0",
        "sd_ble_gattc_primary_services_discover success for handle 0x10000",
        "finished finding services, conn_handle = 0",
        "Discovering characteristics conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0001",
        "Service 0x0001 Characteristic desc 0x0002, value 0x0003 UUID type 1, short UUID: 0x2A00, "
        "conn_handle = 0",
        "TS: UNFOUND Characteristic desc handle 0x0007, value handle 0x0008 UUID type 0, short "
        "UUID: 0x0000, conn_handle = 0",
        "Service 0x0008 Characteristic desc 0x0009, value 0x000A UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "Service 0x000C Characteristic desc 0x000D, value 0x000E UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "TS: UNFOUND Characteristic desc handle 0x0017, value handle 0x0018 UUID type 0, short "
        "UUID: 0x0000, conn_handle = 0",
        "Service 0x0021 Characteristic desc 0x0022, value 0x0023 UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0023",
        "Characteristic discovery done conn_handle = 0",
        "sd_ble_gattc_read success to find 128-bit UUID of service 0x0008, conn_handle = 0",
        "found service 0x0008 UUID = 0f0e0d0c0b0a09080706050403020100",
        "sd_ble_gattc_read success to find 128-bit UUID of service 0x0021, conn_handle = 0",
        "found service 0x0021 UUID = a0a489971097bba1b343eddd8f50f6ac",
        "sd_ble_gattc_read started for characteristic description handle 0x0002, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0002 #bytes = 5 offset "
        "= 0 data = 02 03 00 00 2a ",
        "sd_ble_gattc_read started for characteristic description handle 0x0009, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0009 #bytes = 19 "
        "offset "
        "= 0 data = 0a 0a 00 fc 65 2b 0e ea 0e 28 b8 2d 43 4a 91 7a c9 98 71 ",
        "FOUND characteristic handle 0x000A UUID = 7198c97a914a432db8280eea0e2b65fc",
        "sd_ble_gattc_read started for characteristic description handle 0x000D, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x000D #bytes = 19 "
        "offset "
        "= 0 data = 0a 10 00 fc 65 2b 0e ea 0e 28 b8 2d 43 4a 91 7a c9 98 71 ",
        "TS: UNEXPECTED received value handle 0x0010 != expected value handle 0x000E",
        "sd_ble_gattc_read started for characteristic description handle 0x0022, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0022 #bytes = 19 "
        "offset "
        "= 0 data = 02 23 00 79 0c 42 7b 99 30 55 a2 e0 4c 0f 5b 60 29 86 57 ",
        "FOUND characteristic handle 0x0023 UUID = 578629605b0f4ce0a25530997b420c79",
        "entirely done getting metadata from phone",
        "sd_ble_gap_rssi_start succeeded",
        kSetupEnd,
    };
    EXPECT_EQ(block(console_lines(result.out), kSetupStart, kSetupEnd), expected);

    // What went to the phone: the request after a service ending at 0xFFFF starts at 0,
    // and the characteristics inside the vendor service or across two are never read.
    const trace_lines trace = scenario.read_trace();
    const size_t connected = gatt_e2e::connected_index(trace, "crafted");
    ASSERT_NE(connected, npos);
    EXPECT_EQ(
        setup_requests(trace, connected),
        (std::vector<std::string>{"primary_services_discover:1", "primary_services_discover:22",
                                  "primary_services_discover:33", "primary_services_discover:0",
                                  "characteristics_discover:1", "characteristics_discover:35",
                                  "read:8", "read:33", "read:2", "read:9", "read:13", "read:34"}));
}

TEST(GattDiscoveryProcess, EndStatusesGoOnToCharacteristicsAndOtherErrorsEndTheSetUp) {
    const e2e_scenario scenario = e2e_scenario::from_file("gatt_end_statuses.json");
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, std::string("-u") + kUuidB, "-v3"},
                       {{kSetupEnd, 0, ""}, {kSetupEnd, kQuitDelayMs, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));
    const std::vector<std::string> lines = console_lines(result.out);

    // 0x0104 ends the services like 0x010A; a failed characteristic discovery still leads
    // to the UUID reads (none here: only 16-bit services were recorded).
    EXPECT_EQ(block(lines, "Discovering primary services conn_handle = 0", kSetupEnd),
              (std::vector<std::string>{
                  "Discovering primary services conn_handle = 0",
                  "sd_ble_gattc_primary_services_discover success for start_handle = 0x0001",
                  "service type 16-bit, UUID = 0x1800, handle_range start = 0x0001 end = 0x0005 "
                  "conn_handle = 0",
                  "service type 16-bit, UUID = 0x1801, handle_range start = 0x0006 end = 0x0009 "
                  "conn_handle = 0",
                  "sd_ble_gattc_primary_services_discover success for handle 0x000A",
                  "finished finding services, conn_handle = 0",
                  "Discovering characteristics conn_handle = 0",
                  "sd_ble_gattc_characteristics_discover success for start_handle 0x0001",
                  "TS: Characteristic discovery failed. Error code 0x101, conn_handle = 0",
                  "entirely done getting metadata from phone",
                  "sd_ble_gap_rssi_start succeeded",
                  kSetupEnd,
              }));
    // Any other error ends the set-up at once, without characteristic discovery.
    EXPECT_EQ(block(lines, "Discovering primary services conn_handle = 1", kSetupEnd),
              (std::vector<std::string>{
                  "Discovering primary services conn_handle = 1",
                  "sd_ble_gattc_primary_services_discover success for start_handle = 0x0001",
                  "TS: Service discovery failed. Error code 0x102  error handle 0x0001",
                  "sd_ble_gap_rssi_start succeeded",
                  kSetupEnd,
              }));

    const trace_lines trace = scenario.read_trace();
    const size_t b_connected = gatt_e2e::connected_index(trace, "phone-b");
    ASSERT_NE(b_connected, npos);
    EXPECT_EQ(setup_requests(trace, b_connected),
              std::vector<std::string>{"primary_services_discover:1"});
}

TEST(GattDiscoveryProcess, SetUpsThatWouldStallEndAndALaterPhoneIsStillServed) {
    const e2e_scenario scenario = e2e_scenario::from_file("gatt_stalled_setups.json");
    const std::vector<std::string> args = {
        "-u11111111111111111111111111111111", "-u22222222222222222222222222222222",
        "-u33333333333333333333333333333333", "-u44444444444444444444444444444444",
        std::string("-u") + kUuidA,           "-v4"};
    const process_result result =
        run_orvette_on(scenario, args, {{"got expected BLE_GATTC_EVT_READ_RSP", 0, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));
    const trace_lines trace = scenario.read_trace();
    const std::vector<std::string> lines = console_lines(result.out);

    // Each faulty phone's own complaint, and then its set-up ends.
    struct faulty {
        const char* phone;
        std::string complaint;  // before the handle
    };
    const std::vector<faulty> phones = {
        {"unknown-type", "TS: Unknown service type discovered: 0x0007 conn_handle = "},
        {"short-service", "TS: on_gattc_evt_read_response conn_handle = %d has unexpected length"},
        {"services-back",
         "TS: Service discovery does not advance past start handle 0x000A, conn_handle = "},
        {"chars-repeat",
         "TS: Characteristic discovery does not advance past start handle 0x0008, conn_handle = "},
    };
    for (const faulty& f : phones) {
        SCOPED_TRACE(f.phone);
        const int handle = gatt_e2e::connection_handle(trace, f.phone);
        ASSERT_GE(handle, 0) << describe(result);
        std::string complaint = f.complaint;
        const size_t slot = complaint.find("%d");
        if (slot == npos) {
            complaint += std::to_string(handle);
        } else {
            complaint.replace(slot, 2, std::to_string(handle));
        }
        const std::vector<std::string> setup =
            block(lines, kSetupStart + std::to_string(handle), kSetupEnd);
        ASSERT_FALSE(setup.empty()) << describe(result);
        EXPECT_NE(line_index(setup, complaint), npos) << complaint;
    }

    // The phone that came last was still connected, discovered and read.
    const int good = gatt_e2e::connection_handle(trace, "late-good");
    ASSERT_GE(good, 0) << describe(result);
    const std::vector<std::string> setup =
        block(lines, kSetupStart + std::to_string(good), kSetupEnd);
    EXPECT_NE(line_index(setup, "entirely done getting metadata from phone"), npos);
    const trace_lines reads = gatt_e2e::calls_on(trace, "sd_ble_gattc_read", good);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back()["args"]["handle"], 12) << "the last read is not of 'feature'";
}

TEST(GattDiscoveryProcess, GattTimeOutInTheMiddleOfDiscoveryEndsThatSetUp) {
    // The phone stops answering after its fourth request; the stack gives up on it 30 s
    // later and takes no further GATT request on that link.
    const e2e_scenario scenario(nlohmann::json::parse(R"({
        "seed": 22, "time_scale": 10,
        "phones": [
          { "name": "stuck", "uuid": "a0a489971097bba1b343eddd8f50f6ac", "adv_interval_ms": 50 },
          { "name": "late", "uuid": "feedfeadfeadfeadfeadfeadfeadfead", "adv_interval_ms": 50,
            "adv_start_ms": 1000 } ],
        "faults": [ { "type": "gatt_silent", "phone": "stuck", "connection": 1,
                      "after_requests": 4 } ] })"));
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kUuidA, std::string("-u") + kUuidB, "-v4"},
                       {{"got expected BLE_GATTC_EVT_READ_RSP", 0, "q"}}, 90000);
    ASSERT_TRUE(ended_cleanly(result));
    const trace_lines trace = scenario.read_trace();
    const std::vector<std::string> lines = console_lines(result.out);

    const int stuck = gatt_e2e::connection_handle(trace, "stuck");
    ASSERT_EQ(stuck, 0) << describe(result);
    const std::vector<std::string> setup = block(lines, kSetupStart + std::string("0"), kSetupEnd);
    ASSERT_FALSE(setup.empty()) << describe(result);
    EXPECT_NE(line_index(setup,
                         "TS: received BLE_GATTC_EVT_TIMEOUT when not doing a GATTC "
                         "read/write"),
              npos);
    EXPECT_EQ(line_index(setup, "entirely done getting metadata from phone"), npos);

    const size_t timeout = trace_event_index(trace, "BLE_GATTC_EVT_TIMEOUT");
    const size_t late = gatt_e2e::connected_index(trace, "late");
    ASSERT_NE(timeout, npos);
    ASSERT_NE(late, npos) << "the set-up of 'stuck' kept 'late' from being connected";
    EXPECT_LT(timeout, late);
    EXPECT_FALSE(
        gatt_e2e::calls_on(trace, "sd_ble_gattc_read", trace[late]["conn_handle"].get<int>(), late)
            .empty());
}
