// Opening, closing and resetting the dongle: what comes at open, no callback after close
// returns (also when the program closes from inside a callback), the log filter, and a
// reset that forgets everything.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/sim/sim_session.h"

namespace {

using sim_testing::seen_event;
using sim_testing::session;

constexpr uint32_t ok = NRF_SUCCESS;

TEST(SimLifecycle, OpenReportsTheResetAndTheLinkThenLogsAtTheFilteredLevels) {
    for (const sd_rpc_log_severity_t filter : {SD_RPC_LOG_INFO, SD_RPC_LOG_WARNING}) {
        session s(sim_testing::one_phone_world());
        ASSERT_EQ(sd_rpc_log_handler_severity_filter_set(s.adapter(), filter), ok);
        ASSERT_EQ(s.open(), ok);
        const uint64_t deadline = platform::tick_count() + 20000;
        while (s.statuses().size() < 2 && platform::tick_count() < deadline) platform::sleep_ms(20);
        // The log line is delivered right after the two reports, by the same thread.
        platform::sleep_ms(2000);
        const auto statuses = s.statuses();
        ASSERT_EQ(statuses.size(), 2u);
        EXPECT_EQ(statuses[0].first, RESET_PERFORMED);
        EXPECT_EQ(statuses[1].first, CONNECTION_ACTIVE);
        // The world's description is an info line: delivered at filter 2, not at 3.
        EXPECT_EQ(s.logs().size(), filter == SD_RPC_LOG_INFO ? 1u : 0u);
    }
}

TEST(SimLifecycle, NoCallbackComesAfterCloseReturns) {
    session s(
        R"({"seed": 5, "time_scale": 4, "faults": [{"type": "adv_storm", "from_ms": 0, "rate_per_s": 3000},
                  {"type": "event", "event": 119, "at_ms": 0, "count": 1000000, "every_ms": 0.5}]})");
    std::atomic<int> callbacks{0};
    std::atomic<bool> closed{false};
    std::atomic<int> after_close{0};
    s.on_event = [&](const ble_evt_t& e) {
        ++callbacks;
        if (closed) ++after_close;
        if (e.header.evt_id == BLE_GAP_EVT_ADV_REPORT) s.resume_scan();
    };
    ASSERT_EQ(s.open(), ok);
    ASSERT_EQ(s.enable(), ok);
    ASSERT_EQ(s.start_scan(), ok);
    ASSERT_GE(s.wait_for([](const seen_event&) { return true; }, 20000, 200), 0);
    ASSERT_EQ(s.close(), ok);
    closed = true;
    const int at_close = callbacks.load();
    platform::sleep_ms(300);
    EXPECT_EQ(callbacks.load(), at_close);
    EXPECT_EQ(after_close.load(), 0);
}

TEST(SimLifecycle, TheProgramMayCloseFromInsideACallback) {
    session s(sim_testing::one_phone_world());
    std::atomic<uint32_t> close_result{0xFFFF};
    std::atomic<int> reports{0};
    s.on_event = [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GAP_EVT_ADV_REPORT) return;
        if (++reports == 1) {
            close_result = sd_rpc_close(s.adapter());
            // Still inside the callback: the driver answers as a closed one.
            s.resume_scan();
        }
    };
    ASSERT_EQ(s.open(), ok);
    ASSERT_EQ(s.enable(), ok);
    ASSERT_EQ(s.start_scan(), ok);
    const uint64_t deadline = platform::tick_count() + 3000;
    while (close_result == 0xFFFF && platform::tick_count() < deadline) platform::sleep_ms(10);
    EXPECT_EQ(close_result, ok);
    platform::sleep_ms(500);
    EXPECT_EQ(reports.load(), 1);
    EXPECT_EQ(sd_rpc_close(s.adapter()),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED));
}

TEST(SimLifecycle, AResetForgetsLinksAndConfiguration) {
    session s(sim_testing::one_phone_world());
    ASSERT_EQ(s.open(), ok);
    ASSERT_EQ(s.enable(), ok);
    ASSERT_EQ(s.connect(sim_testing::address(sim_testing::phone_address)), ok);
    ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_CONNECTED, 20000), 0);
    const size_t events = s.event_count();
    ASSERT_EQ(sd_rpc_conn_reset(s.adapter(), SYS_RESET), ok);
    platform::sleep_ms(6000);            // longer than any supervision time-out
    EXPECT_EQ(s.event_count(), events);  // the link is gone without a word
    const auto statuses = s.statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().first, RESET_PERFORMED);
    EXPECT_EQ(s.start_scan(), static_cast<uint32_t>(BLE_ERROR_NOT_ENABLED));
    EXPECT_EQ(s.enable(), ok);
    EXPECT_EQ(s.start_scan(), ok);
}

}  // namespace
