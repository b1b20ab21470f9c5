// The soak checker on made-up traces: it must flag a phone that never comes back and a
// set-up that never ends, and must not flag what the planned faults excuse.
#include "tests/soak/trace_audit.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace {

using json = nlohmann::ordered_json;

class trace_builder {
  public:
    trace_builder& connect_call(double t) {
        return add(
            {{"t", t}, {"call", "sd_ble_gap_connect"}, {"args", json::object()}, {"result", 0}});
    }
    trace_builder& full_scan_start(double t) {
        return add({{"t", t},
                    {"call", "sd_ble_gap_scan_start"},
                    {"args", {{"scan_params", {{"interval", 160}}}}},
                    {"result", 0}});
    }
    trace_builder& resume(double t) {
        return add({{"t", t},
                    {"call", "sd_ble_gap_scan_start"},
                    {"args", {{"scan_params", nullptr}}},
                    {"result", 0}});
    }
    trace_builder& connected(double t, const std::string& phone, int handle) {
        return add({{"t", t},
                    {"event", "BLE_GAP_EVT_CONNECTED"},
                    {"conn_handle", handle},
                    {"phone", phone},
                    {"connection", 1}});
    }
    trace_builder& rssi_start(double t, int handle) {
        return add({{"t", t},
                    {"call", "sd_ble_gap_rssi_start"},
                    {"args", {{"conn_handle", handle}}},
                    {"result", 0}});
    }
    trace_builder& read_answer(double t, int handle) {
        return add({{"t", t},
                    {"event", "BLE_GATTC_EVT_READ_RSP"},
                    {"conn_handle", handle},
                    {"gatt_status", 0}});
    }
    trace_builder& disconnected(double t, int handle, int reason) {
        return add({{"t", t},
                    {"event", "BLE_GAP_EVT_DISCONNECTED"},
                    {"conn_handle", handle},
                    {"reason", reason}});
    }
    // A whole set-up that succeeds: attempt, connection, end step, first keep-alive answer.
    trace_builder& comes_up(double t, const std::string& phone, int handle) {
        return connect_call(t)
            .connected(t + 100, phone, handle)
            .rssi_start(t + 600, handle)
            .full_scan_start(t + 600)
            .read_answer(t + 3000, handle);
    }
    trace_builder& adv_report(double t, const std::string& data_hex) {
        return add({{"t", t},
                    {"event", "BLE_GAP_EVT_ADV_REPORT"},
                    {"conn_handle", 65535},
                    {"peer_addr", "D2:4F:0A:91:3C:01"},
                    {"rssi", -60},
                    {"len", data_hex.size() / 2},
                    {"data", data_hex}});
    }
    trace_builder& log(double t, int severity, const std::string& message) {
        return add({{"t", t}, {"log", severity}, {"message", message}});
    }
    std::string text() const { return out_.str(); }

  private:
    trace_builder& add(const json& line) {
        out_ << line.dump() << '\n';
        return *this;
    }
    std::ostringstream out_;
};

soak::soak_plan two_phones() {
    soak::soak_plan plan;
    plan.phones = {{"phone-a", "a0a489971097bba1b343eddd8f50f6ac"},
                   {"phone-b", "feedfeadfeadfeadfeadfeadfeadfead"}};
    return plan;
}

soak::audit_result audit(const trace_builder& trace, const soak::soak_plan& plan) {
    std::istringstream in(trace.text());
    return soak::audit_trace(in, plan);
}

}  // namespace

TEST(SoakTraceAudit, PhonesThatComeBackAfterEveryDisconnectionPass) {
    trace_builder t;
    t.comes_up(1000, "phone-a", 0).comes_up(5000, "phone-b", 1);
    t.disconnected(40000, 0, 0x16).disconnected(40000, 1, 0x08);
    t.resume(40100).comes_up(41000, "phone-b", 0).comes_up(45000, "phone-a", 1);
    t.resume(400000);
    const soak::audit_result r = audit(t, two_phones());
    EXPECT_TRUE(r.failures.empty()) << r.failures.front();
    EXPECT_EQ(r.setups, 4);
    EXPECT_EQ(r.phones.at("phone-a").forced_disconnects, 1);
    EXPECT_EQ(r.phones.at("phone-b").faulty_disconnects, 1);
    EXPECT_EQ(r.phones.at("phone-a").returns, 1);
    // Back when its keep-alive read was answered: 45000 + 3000 after the loss at 40000.
    EXPECT_DOUBLE_EQ(r.phones.at("phone-a").max_return_ms, 8000);
    EXPECT_DOUBLE_EQ(r.last_t_ms, 400000);
}

TEST(SoakTraceAudit, APhoneLostForGoodOrConnectedButNeverDiscoveredIsFlagged) {
    trace_builder t;
    t.comes_up(1000, "phone-a", 0).comes_up(5000, "phone-b", 1);
    t.disconnected(40000, 0, 0x16).disconnected(40000, 1, 0x16);
    // phone-b connects again but its keep-alive read is never answered; phone-a never
    // connects again.
    t.connect_call(41000)
        .connected(41100, "phone-b", 0)
        .rssi_start(41600, 0)
        .full_scan_start(41600);
    t.resume(400000);
    const soak::audit_result r = audit(t, two_phones());
    ASSERT_EQ(r.failures.size(), 2u);
    EXPECT_NE(r.failures[0].find("phone-a lost its link at 40.0 s"), std::string::npos)
        << r.failures[0];
    EXPECT_NE(r.failures[1].find("phone-b"), std::string::npos) << r.failures[1];
}

TEST(SoakTraceAudit, ASetUpThatNeverEndsIsFlaggedWhetherTheRunEndsOrAnotherAttemptBegins) {
    {
        trace_builder t;
        t.connect_call(1000).connected(1100, "phone-a", 0).resume(200000);
        const soak::audit_result r = audit(t, two_phones());
        ASSERT_EQ(r.failures.size(), 1u);
        EXPECT_NE(r.failures[0].find("still under way at the end"), std::string::npos);
    }
    {
        trace_builder t;
        t.connect_call(1000).connect_call(2000).full_scan_start(2500).resume(3000);
        const soak::audit_result r = audit(t, two_phones());
        ASSERT_EQ(r.failures.size(), 1u);
        EXPECT_NE(r.failures[0].find("began while the set-up"), std::string::npos);
    }
}

TEST(SoakTraceAudit, FaultWindowsPostponeWhatIsOwedButDoNotCancelIt) {
    soak::soak_plan plan = two_phones();
    // Out of range from 30 s to 200 s: owed only 100 s after that.
    plan.windows.push_back({"phone-a", 30000, 200000, false, "out of range"});
    // Not answering from 30 s to 60 s: the connection made then owes nothing.
    plan.windows.push_back({"phone-b", 30000, 60000, true, "not answering"});
    trace_builder t;
    t.comes_up(1000, "phone-a", 0).comes_up(5000, "phone-b", 1);
    t.disconnected(32000, 0, 0x08).disconnected(35000, 1, 0x16);
    t.connect_call(36000)
        .connected(36100, "phone-b", 1)
        .rssi_start(66000, 1)
        .full_scan_start(66000);
    t.disconnected(250000, 1, 0x16);
    t.comes_up(260000, "phone-b", 1).comes_up(280000, "phone-a", 0);
    t.resume(600000);
    const soak::audit_result r = audit(t, plan);
    EXPECT_TRUE(r.failures.empty()) << r.failures.front();
    EXPECT_EQ(r.phones.at("phone-a").returns, 1);
    EXPECT_EQ(r.phones.at("phone-b").returns, 2);

    // Without the windows the same trace fails both phones.
    const soak::audit_result strict = audit(t, two_phones());
    EXPECT_EQ(strict.failures.size(), 2u);
}

TEST(SoakTraceAudit, CountsConnectionsDisconnectionsByCauseAndSetUpsThatOutlastTheirLimit) {
    trace_builder t;
    t.comes_up(1000, "phone-a", 0).comes_up(5000, "phone-b", 1);
    t.disconnected(40000, 0, 0x16).disconnected(41000, 1, 0x08);
    t.comes_up(42000, "phone-a", 0).disconnected(50000, 0, 0x16);
    // A bystander's connection is none of the audit's business.
    t.connected(51000, "someone-else", 3).disconnected(52000, 3, 0x13);
    t.comes_up(53000, "phone-a", 0).comes_up(57000, "phone-b", 1);
    // An attempt that holds the way for 140 s.
    t.connect_call(60000).full_scan_start(200000).resume(300000);
    const soak::audit_result r = audit(t, two_phones());
    EXPECT_EQ(r.connections, 5);
    EXPECT_EQ(r.disconnections_by_reason, (std::map<int, int>{{0x08, 1}, {0x16, 2}}));
    EXPECT_EQ(r.setups, 6);
    EXPECT_EQ(r.stuck_setups, 1);
    EXPECT_DOUBLE_EQ(r.max_setup_ms, 140000);
}

TEST(SoakTraceAudit, CollectsTheUuidsTheProgramIsShownByItsOwnRule) {
    trace_builder t;
    t.adv_report(10, "0201061107657a4b0f9e8dc2a1604e7d5b1e9c2a3f")
        .adv_report(20, "0201061107657a4b0f9e8dc2a1604e7d5b1e9c2a3f")  // again: one entry
        .adv_report(30, "02011a020a0807094c6170746f70")                // no 128-bit UUID
        // Two UUIDs in one list name no phone; an incomplete list and broken data neither.
        .adv_report(40, "210701020304050607080910111213141516a1a2a3a4a5a6a7a8a9b0b1b2b3b4b5b6")
        .adv_report(50, "1106acf6508fdded43b3a1bb97109789a4a0")
        .adv_report(60, "0201061107001122")
        .adv_report(70, "zz")
        .adv_report(80, "1107acf6508fdded43b3a1bb97109789a4a0");
    const soak::audit_result r = audit(t, two_phones());
    ASSERT_EQ(r.uuids_seen.size(), 2u);
    EXPECT_DOUBLE_EQ(r.uuids_seen.at("3f2a9c1e5b7d4e60a1c28d9e0f4b7a65"), 10);
    EXPECT_DOUBLE_EQ(r.uuids_seen.at("a0a489971097bba1b343eddd8f50f6ac"), 80);
    EXPECT_EQ(r.lines, 8u);
}

TEST(SoakTraceAudit, TakesTheWorldsLagFromItsOwnLines) {
    trace_builder t;
    t.log(7000, 3,
          "simulated world 1.2 s behind its clock at 7.0 s: events reach the program late; the "
          "time scale is too high for this machine");
    soak::trace_audit auditing(two_phones());
    std::istringstream in(t.text());
    std::string line;
    while (std::getline(in, line)) auditing.feed(line);
    EXPECT_TRUE(auditing.progress().world_behind);

    t.log(67000, 2,
          "simulated world caught up with its clock at 8.0 s (behind from 7.0 s, by 26.0 s at "
          "most)")
        .log(70000, 2, "simulated dongle: something else that is behind its clock")
        .log(90000, 3, "simulated world 2.5 s behind its clock at 90.0 s: events reach ...");
    const soak::audit_result r = audit(t, two_phones());
    EXPECT_EQ(r.lag_warnings, 2);
    EXPECT_DOUBLE_EQ(r.worst_lag_ms, 26000);
}

TEST(SoakTraceAudit, ProgressShowsWhereTheRunStandsWhileTheTraceGrows) {
    trace_builder t;
    t.comes_up(1000, "phone-a", 0).comes_up(5000, "phone-b", 1).disconnected(40000, 0, 0x08);
    t.connect_call(41000);
    soak::trace_audit auditing(two_phones());
    std::istringstream in(t.text());
    std::string line;
    while (std::getline(in, line)) auditing.feed(line);
    const soak::audit_progress p = auditing.progress();
    EXPECT_DOUBLE_EQ(p.t_ms, 41000);
    EXPECT_EQ(p.setups, 3);
    EXPECT_EQ(p.disconnections, 1);
    EXPECT_EQ(p.phones_connected, 1);
    EXPECT_EQ(p.phones, 2);
    EXPECT_FALSE(p.world_behind);
}
