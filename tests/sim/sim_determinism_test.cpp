// One seed, one run: a program that makes the same requests at the same simulated times
// sees the same world, down to every random decision. Here every request is made from
// the event thread, so its time is the time of the event that prompted it.
#include <gtest/gtest.h>

#include <atomic>

#include "sim/world/trace.h"
#include "tests/sim/sim_session.h"

namespace {

using sim_testing::session;

const char* world_text(int seed) {
    static std::string text;
    text = R"({"seed": )" + std::to_string(seed) + R"(, "time_scale": 20,
      "phones": [
        {"name": "a", "uuid": "a0a489971097bba1b343eddd8f50f6ac", "adv_interval_ms": 60,
         "rssi": {"dbm": -60, "noise_db": 6}, "response_latency": [1, 2],
         "conn_param_request": {"after_connect_ms": 300}},
        {"name": "b", "uuid": "feedfeadfeadfeadfeadfeadfeadfead", "adv_interval_ms": 90}],
      "advertisers": [{"name": "tag", "adv_interval_ms": 45, "data": {"uuid16": ["0x180F"]}, "rssi": {"dbm": -70, "noise_db": 5}}]})";
    return text.c_str();
}

// Runs a small central for `until_ms` of simulated time and returns the trace up to then.
std::vector<std::string> run(int seed, double until_ms) {
    sim::set_trace_capture(true);
    sim::clear_trace_lines();
    session s(world_text(seed));
    std::atomic<bool> connecting{false};
    std::atomic<int> reads{0};
    s.on_status = [&](int code, const std::string&) {
        if (code != RESET_PERFORMED) return;
        s.enable();
        s.start_scan();
    };
    s.on_event = [&](const ble_evt_t& e) {
        switch (e.header.evt_id) {
            case BLE_GAP_EVT_ADV_REPORT:
                if (!connecting && e.evt.gap_evt.params.adv_report.data.len == 21) {
                    connecting = true;
                    s.connect(e.evt.gap_evt.params.adv_report.peer_addr);
                } else {
                    s.resume_scan();
                }
                break;
            case BLE_GAP_EVT_CONNECTED:
                sd_ble_gap_rssi_start(s.adapter(), e.evt.gap_evt.conn_handle, 2, 0);
                sd_ble_gattc_read(s.adapter(), e.evt.gap_evt.conn_handle, 0x000C, 0);
                break;
            case BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST:
                sd_ble_gap_conn_param_update(
                    s.adapter(), e.evt.gap_evt.conn_handle,
                    &e.evt.gap_evt.params.conn_param_update_request.conn_params);
                break;
            case BLE_GATTC_EVT_READ_RSP:
                if (++reads % 20 == 0) {
                    sd_ble_gap_disconnect(s.adapter(), e.evt.gattc_evt.conn_handle, 0x13);
                } else {
                    sd_ble_gattc_read(s.adapter(), e.evt.gattc_evt.conn_handle, 0x000C, 0);
                }
                break;
            case BLE_GAP_EVT_DISCONNECTED:
                connecting = false;
                s.start_scan();
                break;
            default:
                break;
        }
    };
    EXPECT_EQ(s.open(), static_cast<uint32_t>(NRF_SUCCESS));
    // Wait until the trace has passed `until_ms`, so that everything before it was delivered.
    const uint64_t deadline = platform::tick_count() + static_cast<uint64_t>(until_ms) + 60000;
    bool passed = false;
    while (!passed && platform::tick_count() < deadline) {
        platform::sleep_ms(200);
        const auto lines = sim_testing::trace();
        passed = !lines.empty() && lines.back().value("t", 0.0) > until_ms;
    }
    EXPECT_TRUE(passed);
    s.close();
    std::vector<std::string> kept;
    for (const auto& line : sim_testing::trace()) {
        const std::string call = line.value("call", "");
        // Only the open and the close are the test thread's own, at clock times; the log
        // line names the scenario file.
        if (call == "sd_rpc_open" || call == "sd_rpc_close" || line.contains("log")) continue;
        if (line["t"].get<double>() <= until_ms) kept.push_back(line.dump());
    }
    return kept;
}

TEST(SimDeterminism, TheSameSeedGivesTheSameRun) {
    const std::vector<std::string> first = run(11, 6000);
    const std::vector<std::string> second = run(11, 6000);
    ASSERT_GT(first.size(), 200u);
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i) ASSERT_EQ(first[i], second[i]) << "line " << i;
    // The run went the whole way: connections, reads, parameter updates, disconnections.
    size_t disconnections = 0;
    for (const std::string& line : first)
        disconnections += line.find("BLE_GAP_EVT_DISCONNECTED") != std::string::npos;
    EXPECT_GE(disconnections, 2u);

    const std::vector<std::string> other = run(12, 6000);
    EXPECT_NE(first, other);
}

}  // namespace
