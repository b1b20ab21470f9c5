// The stack rules every backend shares: what each call is refused with, given what the
// stack is doing, and how what happens on the air changes that.
#include "driver/stack/stack_rules.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "driver/ble_hci.h"
#include "driver/stack/discovery_answer.h"

namespace {

using driver::stack::stack_rules;

constexpr uint32_t ok = NRF_SUCCESS;
constexpr uint32_t invalid_state = NRF_ERROR_INVALID_STATE;
constexpr uint32_t busy = NRF_ERROR_BUSY;
constexpr uint32_t unknown_link = BLE_ERROR_INVALID_CONN_HANDLE;

ble_gap_addr_t peer(uint8_t last) {
    ble_gap_addr_t a{};
    a.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    a.addr[0] = last;
    a.addr[5] = 0xC1;
    return a;
}

ble_gap_scan_params_t scan_timing(uint16_t interval = 160, uint16_t window = 80) {
    ble_gap_scan_params_t p{};
    p.scan_phys = BLE_GAP_PHY_1MBPS;
    p.interval = interval;
    p.window = window;
    return p;
}

constexpr ble_gap_conn_params_t link_timing{6, 6, 0, 400};

class StackRules : public ::testing::Test {
  protected:
    // Configures tag 1 for `links` links, with that many central roles, and enables.
    void enable(uint8_t links = 3) {
        ble_cfg_t cfg{};
        cfg.gap_cfg.role_count_cfg.adv_set_count = 1;
        cfg.gap_cfg.role_count_cfg.periph_role_count = 1;
        cfg.gap_cfg.role_count_cfg.central_role_count = links;
        ASSERT_EQ(rules.check_cfg_set(BLE_GAP_CFG_ROLE_COUNT, &cfg), ok);
        rules.configured(BLE_GAP_CFG_ROLE_COUNT, cfg);
        cfg = ble_cfg_t{};
        cfg.conn_cfg.conn_cfg_tag = 1;
        cfg.conn_cfg.params.gap_conn_cfg.conn_count = links;
        cfg.conn_cfg.params.gap_conn_cfg.event_length = 6;
        ASSERT_EQ(rules.check_cfg_set(BLE_CONN_CFG_GAP, &cfg), ok);
        rules.configured(BLE_CONN_CFG_GAP, cfg);
        ASSERT_EQ(rules.check_enable(), ok);
        rules.enabled();
    }
    uint32_t connect(const ble_gap_addr_t& to, uint8_t tag = 1) {
        const ble_gap_scan_params_t scan = scan_timing();
        return rules.check_connect(&to, &scan, &link_timing, tag);
    }
    // An attempt on `tag` that ends with a link on `handle`.
    void make_link(uint16_t handle, const ble_gap_addr_t& to, uint8_t tag = 1) {
        ASSERT_EQ(connect(to, tag), ok);
        rules.connect_started();
        rules.connect_ended();
        rules.link_up(handle, to, tag);
    }
    uint32_t scan_start(const ble_gap_scan_params_t* params) {
        return rules.check_scan_start(params, &buffer);
    }
    uint32_t write(uint16_t handle, uint8_t op, uint16_t len = 2) {
        const ble_gattc_write_params_t p{op, 0, 0x0011, 0, len, value};
        return rules.check_write(handle, &p);
    }

    stack_rules rules;
    uint8_t report[31] = {};
    ble_data_t buffer{report, sizeof report};
    uint8_t value[32] = {};
};

TEST_F(StackRules, BeforeEnableOnlyConfigurationIsTakenAndAfterItNone) {
    const ble_gap_scan_params_t scan = scan_timing();
    const uint32_t not_enabled = BLE_ERROR_NOT_ENABLED;
    EXPECT_EQ(scan_start(&scan), not_enabled);
    EXPECT_EQ(rules.check_scan_stop(), not_enabled);
    EXPECT_EQ(connect(peer(1)), not_enabled);
    EXPECT_EQ(rules.check_connect_cancel(), not_enabled);
    uint8_t handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
    EXPECT_EQ(rules.check_adv_set_configure(&handle, nullptr, nullptr), not_enabled);
    EXPECT_EQ(rules.check_adv_start(0, 1), not_enabled);
    EXPECT_EQ(rules.check_disconnect(0, 0x13), not_enabled);
    EXPECT_EQ(rules.check_rssi_start(0), not_enabled);
    EXPECT_EQ(rules.check_read(0, 3), not_enabled);
    EXPECT_EQ(rules.check_cfg_set(BLE_GAP_CFG_ROLE_COUNT, nullptr),
              static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    EXPECT_EQ(rules.central_links(), 0);

    enable(4);
    EXPECT_EQ(rules.central_links(), 4);
    ble_cfg_t cfg{};
    EXPECT_EQ(rules.check_cfg_set(BLE_GAP_CFG_ROLE_COUNT, &cfg), invalid_state);
    EXPECT_EQ(rules.check_enable(), invalid_state);
}

TEST_F(StackRules, EnableRefusesATagWithMoreLinksThanTheRolesAllow) {
    ble_cfg_t cfg{};
    cfg.conn_cfg.conn_cfg_tag = 2;
    cfg.conn_cfg.params.gap_conn_cfg.conn_count = 5;  // the default roles give 1 + 3
    cfg.conn_cfg.params.gap_conn_cfg.event_length = 3;
    ASSERT_EQ(rules.check_cfg_set(BLE_CONN_CFG_GAP, &cfg), ok);
    rules.configured(BLE_CONN_CFG_GAP, cfg);
    EXPECT_EQ(rules.check_enable(), static_cast<uint32_t>(NRF_ERROR_CONN_COUNT));
    cfg.conn_cfg.params.gap_conn_cfg.conn_count = 4;
    rules.configured(BLE_CONN_CFG_GAP, cfg);
    EXPECT_EQ(rules.check_enable(), ok);
}

TEST_F(StackRules, TheScannerPausesAfterEachReportUntilTheProgramResumesIt) {
    enable();
    const ble_gap_scan_params_t scan = scan_timing();
    EXPECT_EQ(scan_start(nullptr), invalid_state);  // nothing to resume
    ASSERT_EQ(scan_start(&scan), ok);
    rules.scan_started();
    EXPECT_TRUE(rules.scanner_listening());
    EXPECT_EQ(scan_start(nullptr), invalid_state);  // no report holds the buffer
    EXPECT_EQ(scan_start(&scan), invalid_state);

    rules.report_delivered();
    EXPECT_FALSE(rules.scanner_listening());
    EXPECT_TRUE(rules.scanner_on());
    EXPECT_EQ(scan_start(&scan), invalid_state);  // paused is still started
    ASSERT_EQ(scan_start(nullptr), ok);
    rules.scan_resumed();
    EXPECT_TRUE(rules.scanner_listening());

    rules.report_delivered();
    ASSERT_EQ(rules.check_scan_stop(), ok);  // a paused scanner can be stopped
    rules.scan_stopped();
    EXPECT_FALSE(rules.scanner_on());
    EXPECT_EQ(rules.check_scan_stop(), invalid_state);
    EXPECT_EQ(scan_start(nullptr), invalid_state);
    EXPECT_EQ(scan_start(&scan), ok);
}

TEST_F(StackRules, AScanStartNeedsAWholeBufferAndTimingTheStackTakes) {
    enable();
    const ble_gap_scan_params_t scan = scan_timing();
    ble_data_t small{report, 30};
    EXPECT_EQ(rules.check_scan_start(&scan, &small),
              static_cast<uint32_t>(NRF_ERROR_INVALID_LENGTH));
    EXPECT_EQ(rules.check_scan_start(&scan, nullptr),
              static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    ble_data_t no_bytes{nullptr, 31};
    EXPECT_EQ(rules.check_scan_start(&scan, &no_bytes),
              static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    const ble_gap_scan_params_t too_long = scan_timing(16385, 16);
    EXPECT_EQ(scan_start(&too_long), static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    const ble_gap_scan_params_t longest = scan_timing(16384, 16384);
    EXPECT_EQ(scan_start(&longest), ok);
}

TEST_F(StackRules, AnAttemptStopsTheScannerAndHoldsTheRadioUntilItEnds) {
    enable();
    const ble_gap_scan_params_t scan = scan_timing();
    rules.scan_started();
    ASSERT_EQ(connect(peer(1)), ok);
    rules.connect_started();
    EXPECT_FALSE(rules.scanner_on());
    EXPECT_EQ(scan_start(&scan), invalid_state);
    EXPECT_EQ(connect(peer(2)), invalid_state);
    EXPECT_EQ(rules.check_connect_cancel(), ok);
    rules.connect_ended();
    EXPECT_EQ(rules.check_connect_cancel(), invalid_state);
    EXPECT_EQ(scan_start(&scan), ok);
    // The attempt's own scan timing is checked like a scan's.
    const ble_gap_scan_params_t too_long = scan_timing(16385, 16);
    const ble_gap_addr_t to = peer(1);
    EXPECT_EQ(rules.check_connect(&to, &too_long, &link_timing, 1),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
}

TEST_F(StackRules, AnAttemptThatCrossedItsCancelCannotBeCancelledAndLastsUntilItsLink) {
    enable();
    const ble_gap_scan_params_t scan = scan_timing();
    ASSERT_EQ(connect(peer(1)), ok);
    rules.connect_started();
    rules.connect_crossed();
    EXPECT_EQ(rules.check_connect_cancel(), invalid_state);
    EXPECT_TRUE(rules.initiating());
    EXPECT_EQ(scan_start(&scan), invalid_state);
    EXPECT_EQ(connect(peer(2)), invalid_state);
    rules.connect_ended();
    rules.link_up(0, peer(1), 1);
    EXPECT_EQ(scan_start(&scan), ok);
    EXPECT_EQ(connect(peer(2)), ok);
}

TEST_F(StackRules, LinksAreCountedPerTagAndInAllAndAPeerIsConnectedOnce) {
    enable(2);
    EXPECT_EQ(connect(peer(1), 7), static_cast<uint32_t>(NRF_ERROR_NOT_FOUND));
    make_link(0, peer(1));
    EXPECT_EQ(connect(peer(1)), invalid_state);
    ble_gap_addr_t same_bytes_public = peer(1);
    same_bytes_public.addr_type = BLE_GAP_ADDR_TYPE_PUBLIC;
    EXPECT_EQ(connect(same_bytes_public), invalid_state);
    make_link(1, peer(2));
    EXPECT_EQ(connect(peer(3)), static_cast<uint32_t>(NRF_ERROR_CONN_COUNT));
    rules.link_down(0);
    EXPECT_EQ(connect(peer(1)), ok);
    // Tag 0 allows one link, whatever the roles allow.
    EXPECT_EQ(connect(peer(3), 0), ok);
    rules.link_down(1);
    make_link(1, peer(3), 0);
    EXPECT_EQ(connect(peer(4), 0), static_cast<uint32_t>(NRF_ERROR_CONN_COUNT));
}

TEST_F(StackRules, CallsOnALinkThatIsNotThereAreRefused) {
    enable();
    const ble_gap_conn_params_t timing = link_timing;
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "never up" : "gone down");
        EXPECT_EQ(rules.check_disconnect(0, 0x13), unknown_link);
        EXPECT_EQ(rules.check_conn_param_update(0, &timing), unknown_link);
        EXPECT_EQ(rules.check_conn_param_update(0, nullptr), unknown_link);
        EXPECT_EQ(rules.check_rssi_start(0), unknown_link);
        EXPECT_EQ(rules.check_primary_services_discover(0, nullptr), unknown_link);
        const ble_gattc_handle_range_t range{1, 0xFFFF};
        EXPECT_EQ(rules.check_characteristics_discover(0, &range), unknown_link);
        EXPECT_EQ(rules.check_read(0, 3), unknown_link);
        EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_CMD), unknown_link);
        make_link(0, peer(1));
        rules.link_down(0);
    }
}

TEST_F(StackRules, OneGattProcedureAtATimeOnEachLink) {
    enable();
    make_link(0, peer(1));
    make_link(1, peer(2));
    rules.gattc_started(0);
    EXPECT_EQ(rules.check_read(0, 3), busy);
    EXPECT_EQ(rules.check_primary_services_discover(0, nullptr), busy);
    const ble_gattc_handle_range_t range{1, 0xFFFF};
    EXPECT_EQ(rules.check_characteristics_discover(0, &range), busy);
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_REQ), busy);
    // A write command is no procedure, and the other link is free.
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_CMD), ok);
    EXPECT_EQ(rules.check_read(1, 3), ok);
    rules.gattc_completed(0);
    EXPECT_EQ(rules.check_read(0, 3), ok);
}

TEST_F(StackRules, AGattTimeOutEndsGattOnThatLinkUntilItIsMadeAgain) {
    enable();
    make_link(0, peer(1));
    make_link(1, peer(2));
    rules.gattc_started(0);
    rules.gattc_timed_out(0);
    const uint32_t timed_out = NRF_ERROR_TIMEOUT;
    EXPECT_FALSE(rules.gattc_running(0));
    EXPECT_EQ(rules.check_read(0, 3), timed_out);
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_CMD), timed_out);
    EXPECT_EQ(rules.check_primary_services_discover(0, nullptr), timed_out);
    EXPECT_EQ(rules.check_read(1, 3), ok);
    // The link itself still takes GAP calls.
    EXPECT_EQ(rules.check_disconnect(0, 0x13), ok);
    rules.link_down(0);
    make_link(0, peer(1));
    EXPECT_EQ(rules.check_read(0, 3), ok);
}

TEST_F(StackRules, AWriteCommandWaitsAloneForItsConnectionEvent) {
    enable();
    make_link(0, peer(1));
    rules.write_cmd_queued(0);
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_CMD), static_cast<uint32_t>(NRF_ERROR_RESOURCES));
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_REQ), ok);
    rules.write_cmd_sent(0);
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_CMD), ok);
    rules.write_cmd_sent(0);  // nothing was queued: the count does not go below zero
    rules.write_cmd_queued(0);
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_CMD), static_cast<uint32_t>(NRF_ERROR_RESOURCES));
}

TEST_F(StackRules, GattRequestsTheStackCannotSend) {
    enable();
    make_link(0, peer(1));
    EXPECT_EQ(rules.check_read(0, 0), static_cast<uint32_t>(BLE_ERROR_INVALID_ATTR_HANDLE));
    const ble_uuid_t vendor{0x1234, BLE_UUID_TYPE_VENDOR_BEGIN};
    EXPECT_EQ(rules.check_primary_services_discover(0, &vendor),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    EXPECT_EQ(rules.check_characteristics_discover(0, nullptr),
              static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    EXPECT_EQ(rules.check_write(0, nullptr), static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    const ble_gattc_write_params_t no_value{BLE_GATT_OP_WRITE_REQ, 0, 0x0011, 0, 2, nullptr};
    EXPECT_EQ(rules.check_write(0, &no_value), static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    EXPECT_EQ(write(0, BLE_GATT_OP_PREP_WRITE_REQ), static_cast<uint32_t>(NRF_ERROR_NOT_SUPPORTED));
    EXPECT_EQ(write(0, BLE_GATT_OP_INVALID), static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_REQ, 20), ok);
    EXPECT_EQ(write(0, BLE_GATT_OP_WRITE_REQ, 21), static_cast<uint32_t>(NRF_ERROR_DATA_SIZE));
    const ble_gattc_write_params_t to_nothing{BLE_GATT_OP_WRITE_CMD, 0, 0, 0, 2, value};
    EXPECT_EQ(rules.check_write(0, &to_nothing),
              static_cast<uint32_t>(BLE_ERROR_INVALID_ATTR_HANDLE));
}

TEST_F(StackRules, ALinkBeingEndedTakesNoSecondDisconnectionAndNoUpdate) {
    enable();
    make_link(0, peer(1));
    EXPECT_EQ(rules.check_disconnect(0, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION), ok);
    EXPECT_EQ(rules.check_disconnect(0, BLE_HCI_CONN_INTERVAL_UNACCEPTABLE), ok);
    EXPECT_EQ(rules.check_disconnect(0, BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    rules.disconnecting(0);
    EXPECT_EQ(rules.check_disconnect(0, 0x13), invalid_state);
    EXPECT_EQ(rules.check_conn_param_update(0, &link_timing), busy);
    // Turning the peer's request down is still taken.
    EXPECT_EQ(rules.check_conn_param_update(0, nullptr), ok);
    // GATT is not stopped by the ending link: what is under way ends with the link.
    EXPECT_EQ(rules.check_read(0, 3), ok);
}

TEST_F(StackRules, OneParameterUpdateAtATimeAndRssiStartedOnce) {
    enable();
    make_link(0, peer(1));
    const ble_gap_conn_params_t too_short{6, 40, 0, 10};
    EXPECT_EQ(rules.check_conn_param_update(0, &too_short),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    ASSERT_EQ(rules.check_conn_param_update(0, &link_timing), ok);
    rules.conn_param_update_started(0);
    EXPECT_EQ(rules.check_conn_param_update(0, &link_timing), busy);
    rules.conn_param_update_done(0);
    EXPECT_EQ(rules.check_conn_param_update(0, &link_timing), ok);

    ASSERT_EQ(rules.check_rssi_start(0), ok);
    rules.rssi_started(0);
    EXPECT_EQ(rules.check_rssi_start(0), invalid_state);
    rules.link_down(0);
    make_link(0, peer(1));
    EXPECT_EQ(rules.check_rssi_start(0), ok);
}

TEST_F(StackRules, TheOneAdvertisingSetFollowsItsStates) {
    enable();
    uint8_t data[] = {0x02, 0x01, 0x06};
    const ble_gap_adv_data_t adv{{data, sizeof data}, {nullptr, 0}};
    ble_gap_adv_params_t params{};
    params.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
    params.interval = 160;
    uint8_t handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
    const uint32_t bad_handle = BLE_ERROR_INVALID_ADV_HANDLE;

    EXPECT_EQ(rules.check_adv_start(0, 1), bad_handle);
    EXPECT_EQ(rules.check_adv_set_configure(nullptr, &adv, &params),
              static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    EXPECT_EQ(rules.check_adv_set_configure(&handle, &adv, nullptr),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));  // a new set needs parameters
    uint8_t zero = 0;
    EXPECT_EQ(rules.check_adv_set_configure(&zero, &adv, &params), bad_handle);
    ASSERT_EQ(rules.check_adv_set_configure(&handle, &adv, &params), ok);
    rules.adv_set_configured(&params);
    EXPECT_EQ(rules.check_adv_set_configure(&handle, &adv, &params),
              static_cast<uint32_t>(NRF_ERROR_NO_MEM));
    EXPECT_EQ(rules.check_adv_stop(0), invalid_state);
    ASSERT_EQ(rules.check_adv_start(0, 1), ok);
    rules.adv_started();
    EXPECT_EQ(rules.check_adv_start(0, 1), invalid_state);
    EXPECT_EQ(rules.check_adv_set_configure(&zero, &adv, &params), invalid_state);
    EXPECT_EQ(rules.check_adv_set_configure(&zero, &adv, nullptr), ok);  // data alone may change
    EXPECT_EQ(rules.check_adv_stop(1), bad_handle);
    ASSERT_EQ(rules.check_adv_stop(0), ok);
    rules.adv_stopped();
    EXPECT_FALSE(rules.advertising());
}

TEST_F(StackRules, ConnectableAdvertisingNeedsAKnownTagAndAPeripheralRole) {
    ble_cfg_t cfg{};
    cfg.gap_cfg.role_count_cfg.adv_set_count = 1;
    cfg.gap_cfg.role_count_cfg.central_role_count = 2;  // no peripheral role
    rules.configured(BLE_GAP_CFG_ROLE_COUNT, cfg);
    rules.enabled();
    ble_gap_adv_params_t params{};
    params.properties.type = BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED;
    params.interval = 160;
    rules.adv_set_configured(&params);
    EXPECT_EQ(rules.check_adv_start(0, 5), static_cast<uint32_t>(NRF_ERROR_NOT_FOUND));
    EXPECT_EQ(rules.check_adv_start(0, 0), static_cast<uint32_t>(NRF_ERROR_CONN_COUNT));
    params.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED;
    rules.adv_set_configured(&params);
    EXPECT_EQ(rules.check_adv_start(0, 5), ok);
}

TEST(StackDiscoveryAnswer, ADiscoveryFromHandleZeroIsAnsweredInvalidHandleWithNoEntries) {
    using driver::stack::discovery;
    for (const discovery what :
         {discovery::services, discovery::characteristics, discovery::descriptors}) {
        const auto answer = driver::stack::discovery_answered_by_stack(what, 3, 0);
        ASSERT_TRUE(answer.has_value());
        const ble_evt_t& e = *answer->get();
        const ble_gattc_evt_t& g = e.evt.gattc_evt;
        EXPECT_EQ(g.conn_handle, 3);
        EXPECT_EQ(g.gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
        EXPECT_EQ(g.error_handle, 0);
        switch (what) {
            case discovery::services:
                EXPECT_EQ(e.header.evt_id, BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP);
                EXPECT_EQ(g.params.prim_srvc_disc_rsp.count, 0);
                break;
            case discovery::characteristics:
                EXPECT_EQ(e.header.evt_id, BLE_GATTC_EVT_CHAR_DISC_RSP);
                EXPECT_EQ(g.params.char_disc_rsp.count, 0);
                break;
            case discovery::descriptors:
                EXPECT_EQ(e.header.evt_id, BLE_GATTC_EVT_DESC_DISC_RSP);
                EXPECT_EQ(g.params.desc_disc_rsp.count, 0);
                break;
        }
    }
    // Every other start handle is the phone's to answer, the last one included.
    for (const uint16_t start : {uint16_t{1}, uint16_t{0xFFFF}}) {
        EXPECT_FALSE(driver::stack::discovery_answered_by_stack(discovery::services, 3, start));
        EXPECT_FALSE(
            driver::stack::discovery_answered_by_stack(discovery::characteristics, 3, start));
    }
}

TEST_F(StackRules, DescriptorDiscoveryIsOneOfTheLinksGattProcedures) {
    enable();
    make_link(0, peer(1));
    const ble_gattc_handle_range_t range{0x0015, 0x0016};
    EXPECT_EQ(rules.check_descriptors_discover(0, &range), ok);
    EXPECT_EQ(rules.check_descriptors_discover(0, nullptr),
              static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
    EXPECT_EQ(rules.check_descriptors_discover(1, &range), unknown_link);
    rules.gattc_started(0);
    EXPECT_EQ(rules.check_descriptors_discover(0, &range), busy);
}

TEST_F(StackRules, AResetForgetsEverythingTheStackWasDoing) {
    enable(1);
    make_link(0, peer(1));
    rules.gattc_started(0);
    rules.scan_started();
    rules.reset();
    EXPECT_FALSE(rules.is_enabled());
    EXPECT_FALSE(rules.has_link(0));
    EXPECT_FALSE(rules.scanner_on());
    EXPECT_FALSE(rules.initiating());
    // The configuration is the stack's own again: three central links.
    ASSERT_EQ(rules.check_enable(), ok);
    rules.enabled();
    EXPECT_EQ(rules.central_links(), 3);
    EXPECT_EQ(connect(peer(1), 1), static_cast<uint32_t>(NRF_ERROR_NOT_FOUND));
    EXPECT_EQ(connect(peer(1), 0), ok);
}

}  // namespace
