// Connections: set-up after the phone's next advertisement, the configured link count,
// time-outs, the disconnect reasons a real stack reports, supervision, parameter updates
// and RSSI reporting.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "driver/ble_hci.h"
#include "sim/world/trace.h"
#include "tests/sim/sim_session.h"

namespace {

using sim_testing::seen_event;
using sim_testing::session;

constexpr uint32_t ok = NRF_SUCCESS;

uint8_t disconnect_reason(const session& s, int index) {
    return s.events()[static_cast<size_t>(index)].evt().evt.gap_evt.params.disconnected.reason;
}

class SimLink : public ::testing::Test {
  protected:
    void start(const std::string& world) {
        sim::set_trace_capture(true);
        sim::clear_trace_lines();
        s = std::make_unique<session>(world);
        ASSERT_EQ(s->open(), ok);
        ASSERT_EQ(s->enable(), ok);
    }
    int connect_and_wait() {
        const size_t from = s->event_count();
        EXPECT_EQ(s->connect(sim_testing::address(sim_testing::phone_address)), ok);
        return s->wait_for_id(BLE_GAP_EVT_CONNECTED, 20000, from);
    }
    std::unique_ptr<session> s;
};

TEST_F(SimLink, ConnectsAsCentralWithTheRequestedParameters) {
    std::vector<uint32_t> answers;
    sim::set_trace_capture(false);
    s = std::make_unique<session>(sim_testing::one_phone_world());
    s->on_event = [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GAP_EVT_CONNECTED) return;
        // A local disconnect, asked at one simulated instant: only 0x13 and 0x3B may be sent,
        // and only once.
        answers.push_back(
            sd_ble_gap_disconnect(s->adapter(), 0, BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION));
        answers.push_back(
            sd_ble_gap_disconnect(s->adapter(), 0, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
        answers.push_back(
            sd_ble_gap_disconnect(s->adapter(), 0, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
    };
    ASSERT_EQ(s->open(), ok);
    ASSERT_EQ(s->enable(), ok);
    const int connected = connect_and_wait();
    ASSERT_GE(connected, 0);
    const ble_gap_evt_t& g = s->events()[static_cast<size_t>(connected)].evt().evt.gap_evt;
    EXPECT_EQ(g.conn_handle, 0);
    EXPECT_EQ(g.params.connected.role, BLE_GAP_ROLE_CENTRAL);
    EXPECT_EQ(g.params.connected.peer_addr.addr[0], 0x01);
    EXPECT_EQ(g.params.connected.peer_addr.addr[5], 0xC0);
    EXPECT_EQ(g.params.connected.conn_params.min_conn_interval, 6);
    EXPECT_EQ(g.params.connected.conn_params.conn_sup_timeout, 400);
    // The side that asked hears "local host terminated".
    const int disconnected = s->wait_for_id(BLE_GAP_EVT_DISCONNECTED, 20000);
    ASSERT_GE(disconnected, 0);
    EXPECT_EQ(disconnect_reason(*s, disconnected), BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION);
    EXPECT_EQ(answers,
              (std::vector<uint32_t>{NRF_ERROR_INVALID_PARAM, ok, NRF_ERROR_INVALID_STATE}));
    EXPECT_EQ(sd_ble_gattc_read(s->adapter(), 0, 3, 0),
              static_cast<uint32_t>(BLE_ERROR_INVALID_CONN_HANDLE));
}

TEST_F(SimLink, RefusesConnectionsPastTheConfiguredCentralLinks) {
    sim::set_trace_capture(false);
    s = std::make_unique<session>(
        R"({"seed": 2, "time_scale": 20, "phones": [
              {"name": "a", "uuid": "a0a489971097bba1b343eddd8f50f6ac", "address": "C0:00:00:00:00:01", "adv_interval_ms": 40},
              {"name": "b", "uuid": "feedfeadfeadfeadfeadfeadfeadfead", "address": "C0:00:00:00:00:02", "adv_interval_ms": 40}]})");
    ASSERT_EQ(s->open(), ok);
    ble_cfg_t cfg{};
    cfg.gap_cfg.role_count_cfg.adv_set_count = 1;
    cfg.gap_cfg.role_count_cfg.central_role_count = 1;
    ASSERT_EQ(sd_ble_cfg_set(s->adapter(), BLE_GAP_CFG_ROLE_COUNT, &cfg, 0), ok);
    ASSERT_EQ(sd_ble_enable(s->adapter(), nullptr), ok);
    const ble_gap_scan_params_t scan = sim_testing::scan_params();
    const ble_gap_conn_params_t conn{6, 6, 0, 400};
    const ble_gap_addr_t a = sim_testing::address("C0:00:00:00:00:01");
    const ble_gap_addr_t b = sim_testing::address("C0:00:00:00:00:02");
    ASSERT_EQ(sd_ble_gap_connect(s->adapter(), &a, &scan, &conn, BLE_CONN_CFG_TAG_DEFAULT), ok);
    ASSERT_GE(s->wait_for_id(BLE_GAP_EVT_CONNECTED, 20000), 0);
    EXPECT_EQ(sd_ble_gap_connect(s->adapter(), &b, &scan, &conn, BLE_CONN_CFG_TAG_DEFAULT),
              static_cast<uint32_t>(NRF_ERROR_CONN_COUNT));
}

TEST_F(SimLink, AttemptsTheScenarioSpoilsTimeOutOrFailToEstablish) {
    start(sim_testing::one_phone_world(
        "",
        R"(, "faults": [{"type": "connect_timeout", "phone": "p", "attempts": 1, "timeout_ms": 2000},
                              {"type": "connect_fail", "phone": "p", "attempts": 2}])"));
    ASSERT_EQ(s->connect(sim_testing::address(sim_testing::phone_address)), ok);
    const int timeout = s->wait_for_id(BLE_GAP_EVT_TIMEOUT, 20000);
    ASSERT_GE(timeout, 0);
    EXPECT_EQ(s->events()[static_cast<size_t>(timeout)].evt().evt.gap_evt.params.timeout.src,
              BLE_GAP_TIMEOUT_SRC_CONN);
    EXPECT_LT(s->wait_for_id(BLE_GAP_EVT_CONNECTED, 10, 0), 0);
    const auto lines = sim_testing::trace();
    double asked = -1;
    for (const auto& line : lines) {
        if (line.value("call", "") == "sd_ble_gap_connect") asked = line["t"].get<double>();
    }
    // Trace times are written to the microsecond: a difference of two is exact to that.
    EXPECT_NEAR(sim_testing::trace_time_of(lines, "BLE_GAP_EVT_TIMEOUT") - asked, 2000, 0.0005);

    // The second attempt connects, but the phone never answers: the link is given up.
    const int connected = connect_and_wait();
    ASSERT_GE(connected, 0);
    const int gone =
        s->wait_for_id(BLE_GAP_EVT_DISCONNECTED, 20000, static_cast<size_t>(connected));
    ASSERT_GE(gone, 0);
    EXPECT_EQ(disconnect_reason(*s, gone), BLE_HCI_CONN_FAILED_TO_BE_ESTABLISHED);

    // The third is an ordinary connection.
    ASSERT_GE(connect_and_wait(), 0);

    // Nobody answers at an unknown address; a cancelled attempt ends without an event.
    const size_t before = s->event_count();
    ASSERT_EQ(s->connect(sim_testing::address("C0:AB:CD:EF:01:23")), ok);
    EXPECT_LT(s->wait_for([](const seen_event&) { return true; }, 1000, before), 0);
    EXPECT_EQ(sd_ble_gap_connect_cancel(s->adapter()), ok);
    EXPECT_LT(s->wait_for([](const seen_event& e) { return e.id() != BLE_GAP_EVT_RSSI_CHANGED; },
                          1000, before),
              0);
}

TEST_F(SimLink, APhoneThatLeavesIsLostAfterTheSupervisionTimeOut) {
    start(sim_testing::one_phone_world(
        "",
        R"(, "faults": [{"type": "out_of_range", "phone": "p", "connection": 1, "after_connect_ms": 100, "duration_ms": 6000},
                              {"type": "out_of_range", "phone": "p", "connection": 2, "after_connect_ms": 100, "duration_ms": 1000},
                              {"type": "disconnect", "phone": "p", "connection": 2, "after_connect_ms": 3000, "reason": "0x15"}])",
        40));
    const int connected = connect_and_wait();
    ASSERT_GE(connected, 0);
    const int lost =
        s->wait_for_id(BLE_GAP_EVT_DISCONNECTED, 20000, static_cast<size_t>(connected));
    ASSERT_GE(lost, 0);
    EXPECT_EQ(disconnect_reason(*s, lost), BLE_HCI_CONNECTION_TIMEOUT);
    auto lines = sim_testing::trace();
    const double since = sim_testing::trace_time_of(lines, "BLE_GAP_EVT_DISCONNECTED") -
                         sim_testing::trace_time_of(lines, "BLE_GAP_EVT_CONNECTED");
    EXPECT_GE(since, 100 + 4000 - 8);  // the supervision time-out counts from the last event heard
    EXPECT_LE(since, 100 + 4000 + 8);

    // Away for less than the time-out: the link survives, until the phone hangs up itself.
    const int again = connect_and_wait();
    ASSERT_GE(again, 0);
    const int ended = s->wait_for_id(BLE_GAP_EVT_DISCONNECTED, 20000, static_cast<size_t>(again));
    ASSERT_GE(ended, 0);
    EXPECT_EQ(disconnect_reason(*s, ended), BLE_HCI_REMOTE_DEV_TERMINATION_DUE_TO_POWER_OFF);
}

TEST_F(SimLink, AnswersThePhonesParameterRequestAndReportsTheUpdate) {
    std::atomic<uint32_t> answered{0xFFFF};
    sim::set_trace_capture(false);
    s = std::make_unique<session>(sim_testing::one_phone_world(
        R"(, "conn_param_request": {"after_connect_ms": 200, "min_interval": 24, "max_interval": 40, "sup_timeout": 500})"));
    s->on_event = [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST) return;
        answered = sd_ble_gap_conn_param_update(
            s->adapter(), e.evt.gap_evt.conn_handle,
            &e.evt.gap_evt.params.conn_param_update_request.conn_params);
    };
    ASSERT_EQ(s->open(), ok);
    ASSERT_EQ(s->enable(), ok);
    ASSERT_GE(connect_and_wait(), 0);
    const int request = s->wait_for_id(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST, 20000);
    ASSERT_GE(request, 0);
    const ble_gap_conn_params_t& wanted =
        s->events()[static_cast<size_t>(request)]
            .evt()
            .evt.gap_evt.params.conn_param_update_request.conn_params;
    EXPECT_EQ(wanted.min_conn_interval, 24);
    EXPECT_EQ(wanted.max_conn_interval, 40);
    const int update =
        s->wait_for_id(BLE_GAP_EVT_CONN_PARAM_UPDATE, 20000, static_cast<size_t>(request));
    ASSERT_GE(update, 0);
    EXPECT_EQ(answered, ok);
    const ble_gap_conn_params_t& now = s->events()[static_cast<size_t>(update)]
                                           .evt()
                                           .evt.gap_evt.params.conn_param_update.conn_params;
    EXPECT_EQ(now.min_conn_interval, 24);
    EXPECT_EQ(now.max_conn_interval, 24);
    EXPECT_EQ(now.conn_sup_timeout, 500);
}

TEST_F(SimLink, ReportsRssiChangesOfTheThresholdAfterSkipCountSamples) {
    // The phone walks away: -40 dBm to -90 dBm over 2 s, without noise.
    const std::string walk = R"(, "rssi": {"track": [[0, -40], [2000, -90]], "noise_db": 0})";
    for (const uint8_t skip : {uint8_t{0}, uint8_t{250}}) {
        std::atomic<uint32_t> first{0xFFFF};
        std::atomic<uint32_t> second{0xFFFF};
        // Event 119 at 2.5 s marks the end of the walk's sampling.
        s = std::make_unique<session>(sim_testing::one_phone_world(
            walk, R"(, "faults": [{"type": "event", "event": 119, "at_ms": 2500}])", 20));
        // Everything at simulated times, so that the walk is met at the same point each run.
        s->at_open = [&] {
            s->enable();
            s->connect(sim_testing::address(sim_testing::phone_address));
        };
        s->on_event = [&](const ble_evt_t& e) {
            if (e.header.evt_id != BLE_GAP_EVT_CONNECTED) return;
            first = sd_ble_gap_rssi_start(s->adapter(), 0, 10, skip);
            second = sd_ble_gap_rssi_start(s->adapter(), 0, 10, skip);
        };
        ASSERT_EQ(s->open(), ok);
        ASSERT_GE(s->wait_for_id(119, 60000), 0);
        EXPECT_EQ(first, ok);
        EXPECT_EQ(second, static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
        std::vector<int> reported;
        for (const seen_event& e : s->events()) {
            if (e.id() == BLE_GAP_EVT_RSSI_CHANGED)
                reported.push_back(e.evt().evt.gap_evt.params.rssi_changed.rssi);
        }
        if (skip == 0) {
            ASSERT_GE(reported.size(), 3u);
            for (size_t i = 1; i < reported.size(); ++i)
                EXPECT_LE(reported[i], reported[i - 1] - 10);
        } else {
            EXPECT_TRUE(reported.empty());  // 250 samples of 50 ms do not fit in 2.5 s
        }
        s.reset();
    }
}

}  // namespace
