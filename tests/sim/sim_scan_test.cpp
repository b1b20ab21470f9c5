// The scanner as the program relies on it: one report, then silence until the buffer is
// handed back; report data in the program's own buffer and never beyond its length; the
// scan time-out; and a connection attempt that stops scanning.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "tests/sim/sim_session.h"

namespace {

using sim_testing::seen_event;
using sim_testing::session;

constexpr uint32_t ok = NRF_SUCCESS;

bool is_report(const seen_event& e) {
    return e.id() == BLE_GAP_EVT_ADV_REPORT;
}

TEST(SimScan, PausesAfterEachReportUntilTheBufferIsHandedBack) {
    session s(sim_testing::one_phone_world());
    std::mutex lock;
    std::vector<uint32_t> in_callback;
    std::atomic<bool> resume{false};
    s.on_event = [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GAP_EVT_ADV_REPORT || !resume) return;
        // Nothing reaches the air while the event thread is in here, so the scanner's
        // state holds still between these two calls.
        const uint32_t first = s.resume_scan();
        const uint32_t second = s.resume_scan();
        std::lock_guard<std::mutex> guard(lock);
        in_callback.push_back(first);
        in_callback.push_back(second);
    };
    ASSERT_EQ(s.open(), ok);
    ASSERT_EQ(s.enable(), ok);
    ASSERT_EQ(s.start_scan(), ok);

    const int first = s.wait_for(is_report, 20000);
    ASSERT_GE(first, 0);
    const seen_event report = s.events()[static_cast<size_t>(first)];
    const ble_gap_evt_adv_report_t& r = report.evt().evt.gap_evt.params.adv_report;
    EXPECT_EQ(r.data.p_data, s.report_buffer);  // in the buffer the program handed over
    // Flags, then the complete list of one 128-bit UUID, least significant byte first.
    const std::vector<uint8_t> expected = {0x02, 0x01, 0x06, 0x11, 0x07, 0xac, 0xf6,
                                           0x50, 0x8f, 0xdd, 0xed, 0x43, 0xb3, 0xa1,
                                           0xbb, 0x97, 0x10, 0x97, 0x89, 0xa4, 0xa0};
    EXPECT_EQ(report.report_data, expected);
    EXPECT_GE(r.ch_index, 37);
    EXPECT_LE(r.ch_index, 39);

    // Paused: ten advertising intervals pass without another report.
    EXPECT_LT(s.wait_for(is_report, 500, static_cast<size_t>(first) + 1), 0);
    resume = true;  // before the resume: the next report may come at once
    EXPECT_EQ(s.resume_scan(), ok);
    const int second = s.wait_for(is_report, 20000, static_cast<size_t>(first) + 1);
    ASSERT_GE(second, 0);
    ASSERT_GE(s.wait_for(is_report, 20000, static_cast<size_t>(second) + 1), 0);
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_GE(in_callback.size(), 2u);
    EXPECT_EQ(in_callback[0], ok);
    EXPECT_EQ(in_callback[1],
              static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));  // not paused any more
}

TEST(SimScan, WritesNoMoreThanTheBufferHoldsAndDeliversBrokenDataAsItIs) {
    // Lengths running past the end, a zero-length structure, and 40 bytes in all.
    const std::string raw =
        "00 05 ff 4c 00 11 07" + std::string(
                                     " 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff 10 20 30 40 50 "
                                     "60 70 80 90 a0 b0 c0 d0 e0 f0 01 02 03");
    session s(
        R"({"seed": 3, "time_scale": 20, "advertisers": [{"name": "broken", "adv_interval_ms": 30, "data_hex": ")" +
        raw + R"("}]})");
    std::memset(s.report_buffer, 0xEE, sizeof s.report_buffer);
    s.report_descriptor.len = 31;
    ASSERT_EQ(s.open(), ok);
    ASSERT_EQ(s.enable(), ok);
    ASSERT_EQ(s.start_scan(), ok);
    const int first = s.wait_for(is_report, 20000);
    ASSERT_GE(first, 0);
    const seen_event report = s.events()[static_cast<size_t>(first)];
    EXPECT_EQ(report.evt().evt.gap_evt.params.adv_report.data.len, 31);
    EXPECT_EQ(report.report_data.size(), 31u);
    EXPECT_EQ(report.report_data[0], 0x00);
    EXPECT_EQ(report.report_data[1], 0x05);
    EXPECT_EQ(report.report_data[30], 0x90);
    for (size_t i = 31; i < sizeof s.report_buffer; ++i) ASSERT_EQ(s.report_buffer[i], 0xEE) << i;
}

TEST(SimScan, ATimedOutScanReportsItsSourceAndGivesTheBufferBack) {
    session s(sim_testing::one_phone_world("", "", 40));
    ASSERT_EQ(s.open(), ok);
    ASSERT_EQ(s.enable(), ok);
    ASSERT_EQ(s.start_scan(160, 80, 100), ok);  // 1 s
    const int timeout = s.wait_for_id(BLE_GAP_EVT_TIMEOUT, 20000);
    ASSERT_GE(timeout, 0);
    const ble_gap_evt_timeout_t& t =
        s.events()[static_cast<size_t>(timeout)].evt().evt.gap_evt.params.timeout;
    EXPECT_EQ(t.src, BLE_GAP_TIMEOUT_SRC_SCAN);
    EXPECT_EQ(t.params.adv_report_buffer.p_data, s.report_buffer);
    EXPECT_EQ(s.resume_scan(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    EXPECT_EQ(s.start_scan(), ok);
}

TEST(SimScan, AConnectionAttemptStopsTheScanner) {
    session s(sim_testing::one_phone_world());
    std::atomic<uint32_t> connect_result{0xFFFF};
    std::atomic<uint32_t> resume_result{0xFFFF};
    s.on_event = [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GAP_EVT_ADV_REPORT || connect_result != 0xFFFF) return;
        connect_result = s.connect(e.evt.gap_evt.params.adv_report.peer_addr);
        resume_result = s.resume_scan();
    };
    ASSERT_EQ(s.open(), ok);
    ASSERT_EQ(s.enable(), ok);
    ASSERT_EQ(s.start_scan(), ok);
    ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_CONNECTED, 20000), 0);
    EXPECT_EQ(connect_result, ok);
    EXPECT_EQ(resume_result, static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    // No report comes while the scanner is stopped.
    const size_t after = s.event_count();
    EXPECT_LT(s.wait_for(is_report, 500, after), 0);
}

}  // namespace
