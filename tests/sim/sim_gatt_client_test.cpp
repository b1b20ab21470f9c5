// The GATT client through the driver: response shapes of a real phone at the default
// MTU, one procedure at a time, response timing in connection events, notifications only
// once the CCCD is on, and phones that stop answering, refuse or hang up.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "driver/ble_hci.h"
#include "sim/world/trace.h"
#include "tests/sim/sim_session.h"

namespace {

using sim_testing::seen_event;
using sim_testing::session;

constexpr uint32_t ok = NRF_SUCCESS;

class SimGattClient : public ::testing::Test {
  protected:
    // `hook` runs on the event thread for every event: calls made there happen at one
    // simulated instant, so nothing on the air comes between them.
    void start(const std::string& phone_extra, const std::string& top_extra = "", double scale = 20,
               std::function<void(const ble_evt_t&)> hook = {}) {
        sim::set_trace_capture(true);
        sim::clear_trace_lines();
        s = std::make_unique<session>(sim_testing::one_phone_world(phone_extra, top_extra, scale));
        s->on_event = std::move(hook);
        ASSERT_EQ(s->open(), ok);
        ASSERT_EQ(s->enable(), ok);
        ASSERT_EQ(s->connect(sim_testing::address(sim_testing::phone_address)), ok);
        ASSERT_GE(s->wait_for_id(BLE_GAP_EVT_CONNECTED, 20000), 0);
    }
    // Makes a request and returns the event that answers it (or a default event).
    seen_event answer(const std::function<uint32_t()>& request, uint16_t id,
                      uint32_t timeout_ms = 3000) {
        const size_t from = s->event_count();
        EXPECT_EQ(request(), ok);
        const int index = s->wait_for_id(id, timeout_ms, from);
        EXPECT_GE(index, 0) << "no event " << id;
        return index >= 0 ? s->events()[static_cast<size_t>(index)] : seen_event{};
    }
    seen_event discover_services(uint16_t start_handle) {
        return answer(
            [&] {
                return sd_ble_gattc_primary_services_discover(s->adapter(), 0, start_handle,
                                                              nullptr);
            },
            BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP);
    }
    seen_event read(uint16_t handle) {
        return answer([&] { return sd_ble_gattc_read(s->adapter(), 0, handle, 0); },
                      BLE_GATTC_EVT_READ_RSP);
    }
    uint32_t write(uint8_t op, uint16_t handle, std::vector<uint8_t> value) {
        ble_gattc_write_params_t p{op,          0, handle, 0, static_cast<uint16_t>(value.size()),
                                   value.data()};
        return sd_ble_gattc_write(s->adapter(), 0, &p);
    }
    size_t count(uint16_t id, size_t from = 0) {
        size_t n = 0;
        const auto events = s->events();
        for (size_t i = from; i < events.size(); ++i) n += events[i].id() == id ? 1 : 0;
        return n;
    }
    std::unique_ptr<session> s;
};

TEST_F(SimGattClient, DiscoveryAnswersInTheShapesOfARealPhone) {
    std::atomic<int> responses{0};
    std::atomic<uint32_t> next{0xFFFF};
    std::atomic<uint32_t> busy{0xFFFF};
    start(R"(, "response_latency": 2)", "", 20, [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP || ++responses != 1) return;
        // One procedure at a time.
        next = sd_ble_gattc_primary_services_discover(s->adapter(), 0, 0x000A, nullptr);
        busy = sd_ble_gattc_read(s->adapter(), 0, 1, 0);
    });
    const size_t from = s->event_count();
    const seen_event first = discover_services(1);
    const ble_gattc_evt_t& g1 = first.evt().evt.gattc_evt;
    EXPECT_EQ(g1.gatt_status, BLE_GATT_STATUS_SUCCESS);
    ASSERT_EQ(g1.params.prim_srvc_disc_rsp.count, 2);  // 16-bit services only in this batch
    const ble_gattc_service_t* services = g1.params.prim_srvc_disc_rsp.services;
    EXPECT_EQ(services[0].uuid.type, BLE_UUID_TYPE_BLE);
    EXPECT_EQ(services[0].uuid.uuid, 0x1800);
    EXPECT_EQ(services[1].uuid.uuid, 0x1801);
    EXPECT_GE(first.evt().header.evt_len, reinterpret_cast<const uint8_t*>(&services[2]) -
                                              reinterpret_cast<const uint8_t*>(&first.evt()));
    EXPECT_EQ(next, ok);
    EXPECT_EQ(busy, static_cast<uint32_t>(NRF_ERROR_BUSY));
    const int second = s->wait_for(
        [](const seen_event& e) {
            return e.id() == BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP &&
                   e.evt().evt.gattc_evt.params.prim_srvc_disc_rsp.count == 1;
        },
        20000, from);
    ASSERT_GE(second, 0);
    const ble_gattc_evt_t& g2 = s->events()[static_cast<size_t>(second)].evt().evt.gattc_evt;
    ASSERT_EQ(g2.params.prim_srvc_disc_rsp.count, 1);  // one 128-bit service, type unknown
    EXPECT_EQ(g2.params.prim_srvc_disc_rsp.services[0].uuid.type, BLE_UUID_TYPE_UNKNOWN);
    EXPECT_EQ(g2.params.prim_srvc_disc_rsp.services[0].handle_range.start_handle, 0x000A);

    const seen_event end = discover_services(0x0012);
    EXPECT_EQ(end.evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(end.evt().evt.gattc_evt.params.prim_srvc_disc_rsp.count, 0);

    const seen_event chars = answer(
        [&] {
            const ble_gattc_handle_range_t range{1, 0xFFFF};
            return sd_ble_gattc_characteristics_discover(s->adapter(), 0, &range);
        },
        BLE_GATTC_EVT_CHAR_DISC_RSP);
    EXPECT_EQ(chars.evt().evt.gattc_evt.params.char_disc_rsp.count, 3);
    EXPECT_EQ(chars.evt().evt.gattc_evt.params.char_disc_rsp.chars[2].handle_decl, 0x0007);

    const seen_event decl = read(0x000D);
    const ble_gattc_evt_read_rsp_t& r = decl.evt().evt.gattc_evt.params.read_rsp;
    ASSERT_EQ(r.len, 19);  // properties, value handle, 128-bit UUID
    EXPECT_EQ(r.data[1], 0x0E);
    EXPECT_EQ(r.data[3], 0xFC);

    // Every answer came two connection events (2 x 7.5 ms) after the event that carried
    // its request.
    const auto lines = sim_testing::trace();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].contains("call") || lines[i]["call"] != "sd_ble_gattc_read" ||
            lines[i]["result"] != 0)
            continue;
        const double asked = lines[i]["t"].get<double>();
        const double answered = sim_testing::trace_time_of(lines, "BLE_GATTC_EVT_READ_RSP", i);
        EXPECT_GT(answered - asked, 15.0);
        EXPECT_LE(answered - asked, 22.5 + 0.001);
    }
}

TEST_F(SimGattClient, NotifiesTheResponseOnlyWhileTheCccdIsOn) {
    const std::vector<uint8_t> challenge(19, 0);
    std::atomic<uint32_t> first{0xFFFF};
    std::atomic<uint32_t> second{0xFFFF};
    start("", "", 20, [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GAP_EVT_CONNECTED) return;
        first = write(BLE_GATT_OP_WRITE_CMD, 0x000E, challenge);
        second = write(BLE_GATT_OP_WRITE_CMD, 0x000E, challenge);  // the queue holds one
    });
    size_t from = 0;
    EXPECT_EQ(first, ok);
    EXPECT_EQ(second, static_cast<uint32_t>(NRF_ERROR_RESOURCES));
    ASSERT_GE(s->wait_for_id(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE, 20000, from), 0);
    platform::sleep_ms(200);
    EXPECT_EQ(count(BLE_GATTC_EVT_HVX, from), 0u);

    const seen_event on = answer(
        [&] {
            return write(BLE_GATT_OP_WRITE_REQ, 0x0011, {0x01, 0x00});
        },
        BLE_GATTC_EVT_WRITE_RSP);
    EXPECT_EQ(on.evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_SUCCESS);
    EXPECT_EQ(write(BLE_GATT_OP_WRITE_REQ, 0x0011, std::vector<uint8_t>(21, 1)),
              static_cast<uint32_t>(NRF_ERROR_DATA_SIZE));
    from = s->event_count();
    ASSERT_EQ(write(BLE_GATT_OP_WRITE_CMD, 0x000E, challenge), ok);
    const int hvx = s->wait_for_id(BLE_GATTC_EVT_HVX, 20000, from);
    ASSERT_GE(hvx, 0);
    const ble_gattc_evt_hvx_t& h =
        s->events()[static_cast<size_t>(hvx)].evt().evt.gattc_evt.params.hvx;
    EXPECT_EQ(h.handle, 0x0010);
    EXPECT_EQ(h.type, BLE_GATT_HVX_NOTIFICATION);
    EXPECT_EQ(h.len, 20);
    // The link layer's acknowledgement comes before the phone's answer.
    EXPECT_LT(s->wait_for_id(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE, 0, from), hvx);
}

TEST_F(SimGattClient, APhoneThatStopsAnsweringTimesOutAndEndsGattOnTheLink) {
    start("", R"(, "faults": [{"type": "gatt_silent", "phone": "p", "after_requests": 1}])", 50);
    EXPECT_EQ(read(0x000C).evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_SUCCESS);
    const seen_event timeout = answer([&] { return sd_ble_gattc_read(s->adapter(), 0, 0x000C, 0); },
                                      BLE_GATTC_EVT_TIMEOUT, 40000);
    EXPECT_EQ(timeout.evt().evt.gattc_evt.conn_handle, 0);
    EXPECT_EQ(count(BLE_GATTC_EVT_READ_RSP), 1u);
    // 30 s after the connection event that carried the unanswered read.
    const auto lines = sim_testing::trace();
    double asked = -1;
    for (const auto& line : lines) {
        if (line.value("call", "") == "sd_ble_gattc_read") asked = line["t"].get<double>();
    }
    const double waited = sim_testing::trace_time_of(lines, "BLE_GATTC_EVT_TIMEOUT") - asked;
    EXPECT_GT(waited, 30000);
    EXPECT_LE(waited, 30000 + 7.5);
    EXPECT_EQ(sd_ble_gattc_read(s->adapter(), 0, 0x000C, 0),
              static_cast<uint32_t>(NRF_ERROR_TIMEOUT));
    // The link itself is still there to be dropped.
    EXPECT_EQ(sd_ble_gap_disconnect(s->adapter(), 0, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION),
              ok);
    ASSERT_GE(s->wait_for_id(BLE_GAP_EVT_DISCONNECTED, 20000), 0);
}

TEST_F(SimGattClient, ScriptedCccdRefusalAndMutedChallenges) {
    start("", R"(, "faults": [{"type": "cccd", "phone": "p", "mode": "refuse", "after_writes": 1},
                               {"type": "challenge_silent", "phone": "p", "from_ms": 0}])");
    EXPECT_EQ(answer(
                  [&] {
                      return write(BLE_GATT_OP_WRITE_REQ, 0x0011, {0x01, 0x00});
                  },
                  BLE_GATTC_EVT_WRITE_RSP)
                  .evt()
                  .evt.gattc_evt.gatt_status,
              BLE_GATT_STATUS_SUCCESS);
    const size_t from = s->event_count();
    ASSERT_EQ(write(BLE_GATT_OP_WRITE_CMD, 0x000E, std::vector<uint8_t>(19, 0)), ok);
    ASSERT_GE(s->wait_for_id(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE, 20000, from), 0);
    platform::sleep_ms(300);
    EXPECT_EQ(count(BLE_GATTC_EVT_HVX), 0u);  // notifications on, yet the phone keeps quiet
    const seen_event refused = answer(
        [&] {
            return write(BLE_GATT_OP_WRITE_REQ, 0x0011, {0x00, 0x00});
        },
        BLE_GATTC_EVT_WRITE_RSP);
    EXPECT_EQ(refused.evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
}

TEST_F(SimGattClient, APhoneCanHangUpInTheMiddleOfDiscovery) {
    start(
        "",
        R"(, "faults": [{"type": "disconnect", "phone": "p", "after_requests": 2, "reason": "BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION"}])");
    discover_services(1);
    discover_services(0x000A);
    const size_t from = s->event_count();
    ASSERT_EQ(sd_ble_gattc_primary_services_discover(s->adapter(), 0, 0x0012, nullptr), ok);
    const int gone = s->wait_for_id(BLE_GAP_EVT_DISCONNECTED, 20000, from);
    ASSERT_GE(gone, 0);
    EXPECT_EQ(s->events()[static_cast<size_t>(gone)].evt().evt.gap_evt.params.disconnected.reason,
              BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
    platform::sleep_ms(200);
    EXPECT_EQ(count(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, from), 0u);
}

TEST_F(SimGattClient, ADiscoveryFromHandleZeroIsAnsweredByTheStackNotThePhone) {
    // A phone that would keep quiet on such a request: the stack never asks it.
    start(R"(, "gatt": {"overrides": [
        {"procedure": "services", "handle": 0, "silent": true},
        {"procedure": "characteristics", "handle": 0, "silent": true}]})");
    const size_t from = s->event_count();
    const seen_event services = discover_services(0);
    ASSERT_TRUE(services.storage);
    EXPECT_EQ(services.evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_EQ(services.evt().evt.gattc_evt.error_handle, 0);
    EXPECT_EQ(services.evt().evt.gattc_evt.params.prim_srvc_disc_rsp.count, 0);
    // Over at once: the next procedure is taken.
    const ble_gattc_handle_range_t from_zero{0, 0xFFFF};
    const seen_event chars =
        answer([&] { return sd_ble_gattc_characteristics_discover(s->adapter(), 0, &from_zero); },
               BLE_GATTC_EVT_CHAR_DISC_RSP);
    ASSERT_TRUE(chars.storage);
    EXPECT_EQ(chars.evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_EQ(chars.evt().evt.gattc_evt.params.char_disc_rsp.count, 0);
    EXPECT_EQ(read(0x000C).evt().evt.gattc_evt.gatt_status, 0);
    EXPECT_EQ(count(BLE_GATTC_EVT_TIMEOUT, from), 0u);
}

TEST_F(SimGattClient, DescriptorDiscoveryReachesThePhoneAndComesBackAsItsEvent) {
    start(R"(, "gatt": {"services": [{"uuid": "phone", "characteristics": [
        {"uuid": "response", "properties": ["notify"],
         "descriptors": [{"uuid": "2901"}, {"uuid": "2902"}]}]}]})");
    const ble_gattc_handle_range_t range{0x0004, 0x0005};
    const seen_event found =
        answer([&] { return sd_ble_gattc_descriptors_discover(s->adapter(), 0, &range); },
               BLE_GATTC_EVT_DESC_DISC_RSP);
    ASSERT_TRUE(found.storage);
    const ble_gattc_evt_t& e = found.evt().evt.gattc_evt;
    EXPECT_EQ(e.gatt_status, 0);
    ASSERT_EQ(e.params.desc_disc_rsp.count, 2);
    EXPECT_EQ(e.params.desc_disc_rsp.descs[0].uuid.uuid, 0x2901);
    EXPECT_EQ(e.params.desc_disc_rsp.descs[1].handle, 0x0005);
    EXPECT_EQ(e.params.desc_disc_rsp.descs[1].uuid.uuid, 0x2902);
}

}  // namespace
