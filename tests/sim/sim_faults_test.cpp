// Scripted faults that are not about one link: driver calls answering a chosen code, a
// dongle that goes away, events the program only logs or does not know, and storms.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>

#include "sim/world/trace.h"
#include "tests/sim/sim_session.h"

namespace {

using sim_testing::seen_event;
using sim_testing::session;

constexpr uint32_t ok = NRF_SUCCESS;

TEST(SimFaults, ACallCanAnswerAChosenCodeWithoutEffect) {
    sim::set_trace_capture(true);
    sim::clear_trace_lines();
    session s(sim_testing::one_phone_world(
        "",
        R"(, "faults": [{"type": "call_result", "call": "sd_ble_gap_scan_start", "nth": 2, "result": "NRF_ERROR_BUSY"},
                              {"type": "call_result", "call": "sd_ble_gap_scan_stop", "from_ms": 20000, "result": "0x8005"}])"));
    ASSERT_EQ(s.open(), ok);
    ASSERT_EQ(s.enable(), ok);
    ASSERT_EQ(s.start_scan(), ok);
    ASSERT_EQ(sd_ble_gap_scan_stop(s.adapter()), ok);
    EXPECT_EQ(s.start_scan(), static_cast<uint32_t>(NRF_ERROR_BUSY));
    // The refused start changed nothing: the scanner is still stopped.
    EXPECT_EQ(sd_ble_gap_scan_stop(s.adapter()), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    EXPECT_EQ(s.start_scan(), ok);
    platform::sleep_ms(20100);
    EXPECT_EQ(sd_ble_gap_scan_stop(s.adapter()),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_NO_RESPONSE));
    EXPECT_EQ(sd_ble_gap_scan_stop(s.adapter()),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_NO_RESPONSE));

    int scripted = 0;
    for (const auto& line : sim_testing::trace()) scripted += line.value("scripted", false) ? 1 : 0;
    EXPECT_EQ(scripted, 3);
}

TEST(SimFaults, ADongleThatGoesAwayReportsItAndAnswersNothingMore) {
    session s(sim_testing::one_phone_world(
        "", R"(, "faults": [{"type": "dongle_gone", "at_ms": 1500, "message": "unplugged"}])"));
    s.at_open = [&] {
        s.enable();
        s.connect(sim_testing::address(sim_testing::phone_address));
    };
    ASSERT_EQ(s.open(), ok);
    ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_CONNECTED, 20000), 0);
    // Wait for the status report, then look at what came before it.
    const uint64_t deadline = platform::tick_count() + 60000;
    while (s.statuses().size() < 3 && platform::tick_count() < deadline) platform::sleep_ms(50);
    const size_t events = s.event_count();
    const auto statuses = s.statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().first, IO_RESOURCES_UNAVAILABLE);
    EXPECT_EQ(statuses.back().second, "unplugged");
    EXPECT_EQ(sd_ble_gattc_read(s.adapter(), 0, 0x000C, 0),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
    EXPECT_EQ(s.start_scan(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
    platform::sleep_ms(5000);  // past any supervision time-out: the link just vanished
    EXPECT_EQ(s.event_count(), events);
    EXPECT_EQ(s.close(), ok);
}

TEST(SimFaults, DeliversEventsTheProgramOnlyLogsOrDoesNotKnow) {
    session s(sim_testing::one_phone_world(
        R"(, "adv_start_ms": 100)",
        R"(, "faults": [{"type": "event", "event": "BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST", "phone": "p", "after_connect_ms": 50},
                              {"type": "event", "event": 119, "at_ms": 10, "count": 3, "every_ms": 5},
                              {"type": "event", "event": "BLE_GATTC_EVT_EXCHANGE_MTU_RSP", "phone": "p", "at_ms": 20}])"));
    s.at_open = [&] {
        s.enable();
        s.connect(sim_testing::address(sim_testing::phone_address));
    };
    ASSERT_EQ(s.open(), ok);
    const int request = s.wait_for_id(BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST, 20000);
    ASSERT_GE(request, 0);
    const seen_event e = s.events()[static_cast<size_t>(request)];
    EXPECT_EQ(e.evt().evt.gap_evt.conn_handle, 0);
    EXPECT_EQ(e.evt().evt.gap_evt.params.data_length_update_request.peer_params.max_tx_octets, 251);
    size_t unknown = 0;
    for (const seen_event& seen : s.events()) {
        unknown += seen.id() == 119 ? 1 : 0;
        // Not connected yet at 20 ms: the phone's MTU answer is skipped.
        EXPECT_NE(seen.id(), BLE_GATTC_EVT_EXCHANGE_MTU_RSP);
    }
    EXPECT_EQ(unknown, 3u);
}

TEST(SimFaults, AnAdvertisingStormKeepsTheScannerBusy) {
    // Event 119 at 1.2 s marks the end: everything before it has been delivered then.
    session s(R"({"seed": 5, "time_scale": 4, "faults": [
                   {"type": "adv_storm", "from_ms": 0, "until_ms": 1000, "rate_per_s": 5000},
                   {"type": "event", "event": 119, "at_ms": 1200}]})");
    std::atomic<int> reports{0};
    std::mutex lock;
    std::set<std::string> senders;
    s.on_event = [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GAP_EVT_ADV_REPORT) return;
        ++reports;
        const uint8_t* a = e.evt.gap_evt.params.adv_report.peer_addr.addr;
        {
            std::lock_guard<std::mutex> guard(lock);
            senders.insert(std::string(a, a + 6));
        }
        s.resume_scan();
    };
    s.at_open = [&] {
        s.enable();
        s.start_scan();
    };
    ASSERT_EQ(s.open(), ok);
    ASSERT_GE(s.wait_for_id(119, 60000), 0);
    // Half of 5000 advertisements fall into the scan windows; each is a new device.
    EXPECT_GT(reports.load(), 1500);
    EXPECT_LT(reports.load(), 3500);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(senders.size(), static_cast<size_t>(reports.load()));
}

}  // namespace
