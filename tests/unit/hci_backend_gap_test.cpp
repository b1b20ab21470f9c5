// The HCI backend's GAP side on a scripted controller, through the driver calls the program
// makes: opening, scanning with its pause, connecting and cancelling, disconnecting, the
// phone's parameter requests, RSSI, a controller that goes away, and the close.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "driver/ble_hci.h"
#include "hci/hci_commands.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/hci_peer_pdus.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::command_reply;
using testing_support::hci_seen_event;
using testing_support::hci_session;
using namespace std::chrono_literals;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};

std::vector<uint16_t> opcodes(const testing_support::scripted_controller& c) {
    std::vector<uint16_t> out;
    for (const auto& command : c.commands()) out.push_back(command.opcode);
    return out;
}

bool logged(const hci_session& s, const std::string& part) {
    const auto lines = s.logs();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

TEST(HciBackendOpen, ResetsAndReadsTheControllerThenReportsTheLinkActive) {
    hci_session s;
    // Line noise ahead of the first answer.
    s.controller().deliver(std::vector<uint8_t>{0x00, 0xFF, 0x17, 0x3E});
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    using namespace hci::opcode;
    EXPECT_EQ(opcodes(s.controller()),
              (std::vector<uint16_t>{reset, read_local_version_information, read_bd_addr,
                                     le_read_buffer_size, le_read_local_supported_features,
                                     set_event_mask, le_set_event_mask}));
    ASSERT_TRUE(s.wait_until([&] { return s.statuses().size() >= 2 && !s.logs().empty(); }, 2000));
    const auto statuses = s.statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].first, RESET_PERFORMED);
    EXPECT_EQ(statuses[1].first, CONNECTION_ACTIVE);
    EXPECT_TRUE(logged(s, "HCI version 11 (5.2), manufacturer 0x05F1"));
    EXPECT_TRUE(s.controller().violations().empty());
    EXPECT_EQ(s.controller().max_commands_in_flight(), 1u);
}

TEST(HciBackendOpen, SharedBuffersAreReadWhenTheLeOnesAreZero) {
    hci_session s;
    s.controller().set_le_buffer(0, 0);
    s.controller().set_acl_buffer(27, 2);
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    EXPECT_EQ(s.controller().count_commands(hci::opcode::read_buffer_size), 1u);
    ASSERT_TRUE(s.wait_until([&] { return !s.logs().empty(); }, 2000));
    EXPECT_TRUE(logged(s, "2 ACL buffers of 27 bytes"));
}

TEST(HciBackendOpen, AControllerThatNeverAnswersFailsTheOpenWithOneLineAndNoHang) {
    platform::set_time_scale(20);
    hci_session s;
    s.controller().script(hci::opcode::reset, command_reply::silent());
    EXPECT_EQ(s.open(), NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE);
    EXPECT_EQ(s.controller().count_commands(hci::opcode::reset), 3u);
    const auto lines = s.logs();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("no answer to HCI Reset (3 tries of 2000 ms)"), std::string::npos)
        << lines[0];
    EXPECT_TRUE(s.statuses().empty());

    hci_session refused;
    refused.controller().script(hci::opcode::le_read_buffer_size, command_reply::failing(0x01));
    EXPECT_NE(refused.open(), NRF_SUCCESS);
    EXPECT_TRUE(logged(refused, "LE Read Buffer Size failed with status 0x01"));

    hci_session busy;
    busy.controller().script(hci::opcode::reset, command_reply::failing(0x0C));
    EXPECT_NE(busy.open(), NRF_SUCCESS);
    EXPECT_TRUE(logged(busy, "HCI Reset failed with status 0x0C"));
}

TEST(HciBackendScan, OneReportAtATimeUntilTheResumeAndTypesAsTheProgramKnowsThem) {
    hci_session s;
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    // Refusals come from the stack rules, before anything reaches the controller.
    EXPECT_EQ(s.start_scan(), BLE_ERROR_NOT_ENABLED);
    ASSERT_EQ(s.enable(), NRF_SUCCESS);
    ASSERT_EQ(s.start_scan(160, 80), NRF_SUCCESS);
    const auto params = s.controller().wait_for_command(hci::opcode::le_set_scan_parameters, 1s);
    ASSERT_TRUE(params);
    // Passive, interval 160 and window 80 (0.625 ms), public address, accept all.
    EXPECT_EQ(params->parameters, (std::vector<uint8_t>{0x00, 0xA0, 0x00, 0x50, 0x00, 0, 0}));
    ASSERT_TRUE(s.controller().wait_for_command(hci::opcode::le_set_scan_enable, 1s));
    EXPECT_EQ(s.start_scan(), NRF_ERROR_INVALID_STATE);

    testing_support::advertising_report_fields nonconn;
    nonconn.event_type = 0x03;
    nonconn.address_type = 1;
    nonconn.address = {1, 2, 3, 4, 5, 0xC7};  // random static
    nonconn.data = {0x02, 0x01, 0x06};
    testing_support::advertising_report_fields second = nonconn;
    second.event_type = 0x00;
    // Two reports in one event: the scanner pauses after the first.
    s.controller().deliver(testing_support::advertising_report_event({nonconn, second}));
    ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_ADV_REPORT, 2000), 0);
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    s.controller().deliver(testing_support::advertising_report_event({second}));
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    EXPECT_EQ(s.count(BLE_GAP_EVT_ADV_REPORT), 1u);
    {
        const hci_seen_event e = s.events()[0];
        const ble_gap_evt_adv_report_t& r = e.evt().evt.gap_evt.params.adv_report;
        EXPECT_EQ(r.type.type, 0);  // neither connectable nor scannable
        EXPECT_EQ(r.peer_addr.addr_type, BLE_GAP_ADDR_TYPE_RANDOM_STATIC);
        EXPECT_EQ(r.rssi, -60);
        EXPECT_EQ(e.report_data, nonconn.data);
    }
    ASSERT_EQ(s.resume_scan(), NRF_SUCCESS);
    EXPECT_EQ(s.resume_scan(), NRF_ERROR_INVALID_STATE);  // only a paused scanner resumes
    s.controller().deliver(testing_support::advertising_report_event({second}));
    ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_ADV_REPORT, 2000, 1), 1);
    const auto r = s.events()[1].evt().evt.gap_evt.params.adv_report;
    EXPECT_EQ(r.type.type, BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE | BLE_GAP_ADV_REPORT_TYPE_SCANNABLE);
    ASSERT_EQ(sd_ble_gap_scan_stop(s.adapter()), NRF_SUCCESS);
    EXPECT_EQ(s.controller().count_commands(hci::opcode::le_set_scan_enable), 2u);
    EXPECT_EQ(sd_ble_gap_scan_stop(s.adapter()), NRF_ERROR_INVALID_STATE);
}

TEST(HciBackendConnect, ConnectedWithTheStacksOwnHandleAfterTheScannerStopped) {
    hci_session s;
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    ASSERT_EQ(s.enable(), NRF_SUCCESS);
    ASSERT_EQ(s.start_scan(), NRF_SUCCESS);
    const uint16_t handle = s.connect_phone(phone, 0x0040);
    ASSERT_EQ(handle, 0);
    const auto cmds = opcodes(s.controller());
    const auto create = std::find(cmds.begin(), cmds.end(), hci::opcode::le_create_connection);
    ASSERT_NE(create, cmds.end());
    // The scanner is switched off before the controller initiates.
    EXPECT_EQ(*(create - 1), hci::opcode::le_set_scan_enable);
    const auto sent = s.controller().wait_for_command(hci::opcode::le_create_connection, 1s);
    ASSERT_TRUE(sent);
    // Scan interval 96, window 48, no filter, public peer, its address, own public, then
    // interval 24..40, latency 0, supervision 400, CE lengths 0.
    EXPECT_EQ(sent->parameters,
              (std::vector<uint8_t>{0x60, 0x00, 0x30, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03,
                                    0x04, 0x05, 0xC6, 0x00, 0x18, 0x00, 0x28, 0x00, 0x00,
                                    0x00, 0x90, 0x01, 0x00, 0x00, 0x00, 0x00}));
    const auto e = s.events()[static_cast<size_t>(s.wait_for_id(BLE_GAP_EVT_CONNECTED, 100))];
    EXPECT_EQ(e.evt().evt.gap_evt.params.connected.role, BLE_GAP_ROLE_CENTRAL);
    EXPECT_EQ(e.evt().evt.gap_evt.params.connected.conn_params.min_conn_interval, 0x28);
    // The next link gets the next free handle of the stack, whatever the controller's.
    const uint16_t second = s.connect_phone({9, 9, 9, 9, 9, 0xC9}, 0x0007);
    EXPECT_EQ(second, 1);
}

TEST(HciBackendConnect, CancelEndsQuietlyFailuresEndAsTimeoutsAndACrossingConnectionIsKept) {
    hci_session s;
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    ASSERT_EQ(s.enable(), NRF_SUCCESS);
    ble_gap_scan_params_t scan{};
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 96;
    scan.window = 48;
    ble_gap_conn_params_t conn{24, 40, 0, 400};
    const ble_gap_addr_t peer = testing_support::gap_address(phone, BLE_GAP_ADDR_TYPE_PUBLIC);

    // A cancel that works: the controller's report of the cancelled attempt ends quietly.
    ASSERT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &scan, &conn, 1), NRF_SUCCESS);
    EXPECT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &scan, &conn, 1), NRF_ERROR_INVALID_STATE);
    ASSERT_EQ(sd_ble_gap_connect_cancel(s.adapter()), NRF_SUCCESS);
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    EXPECT_EQ(sd_ble_gap_connect_cancel(s.adapter()), NRF_ERROR_INVALID_STATE);

    // An attempt the controller gives up on ends as the program knows an attempt to end.
    ASSERT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &scan, &conn, 1), NRF_SUCCESS);
    hci::connection_complete failed = testing_support::connected(0, phone);
    failed.status = 0x3E;
    s.controller().deliver(testing_support::connection_complete_event(failed));
    const int timeout = s.wait_for_id(BLE_GAP_EVT_TIMEOUT, 2000);
    ASSERT_GE(timeout, 0);
    EXPECT_EQ(s.events()[static_cast<size_t>(timeout)].evt().evt.gap_evt.params.timeout.src,
              BLE_GAP_TIMEOUT_SRC_CONN);
    EXPECT_EQ(s.count(BLE_GAP_EVT_TIMEOUT), 1u);

    // The phone takes the attempt up just as the cancel goes out: the controller refuses
    // the cancel, and the link is reported.
    ASSERT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &scan, &conn, 1), NRF_SUCCESS);
    s.controller().script(hci::opcode::le_create_connection_cancel, command_reply::failing(0x0C),
                          1);
    EXPECT_EQ(sd_ble_gap_connect_cancel(s.adapter()), NRF_ERROR_INVALID_STATE);
    s.controller().deliver(
        testing_support::connection_complete_event(testing_support::connected(0x21, phone)));
    int connected = s.wait_for_id(BLE_GAP_EVT_CONNECTED, 2000);
    EXPECT_GE(connected, 0);
    EXPECT_EQ(s.count(BLE_GAP_EVT_TIMEOUT), 1u);

    // The same crossing as a controller reports it when the link is up before the cancel
    // is even looked at: the link's event first, then the refusal.
    const wire::address_bytes second{4, 4, 4, 4, 4, 0xC4};
    const ble_gap_addr_t second_peer =
        testing_support::gap_address(second, BLE_GAP_ADDR_TYPE_PUBLIC);
    ASSERT_EQ(sd_ble_gap_connect(s.adapter(), &second_peer, &scan, &conn, 1), NRF_SUCCESS);
    s.controller().script(hci::opcode::le_create_connection_cancel, command_reply::silent(), 1);
    std::thread controller_side([&] {
        if (!s.controller().wait_for_command(hci::opcode::le_create_connection_cancel, 2s)) return;
        s.controller().deliver(
            testing_support::connection_complete_event(testing_support::connected(0x22, second)));
        const uint8_t disallowed = 0x0C;
        s.controller().deliver(testing_support::command_complete_event(
            hci::opcode::le_create_connection_cancel, hci::bytes_view(&disallowed, 1)));
    });
    EXPECT_EQ(sd_ble_gap_connect_cancel(s.adapter()), NRF_ERROR_INVALID_STATE);
    controller_side.join();
    connected = s.wait_for_id(BLE_GAP_EVT_CONNECTED, 2000, static_cast<size_t>(connected) + 1);
    ASSERT_GE(connected, 0);
    EXPECT_EQ(s.events()[static_cast<size_t>(connected)].evt().evt.gap_evt.conn_handle, 1);
    // Not ended as unwanted, and no time-out follows.
    EXPECT_EQ(s.controller().count_commands(hci::opcode::disconnect), 0u);
    EXPECT_EQ(s.count(BLE_GAP_EVT_TIMEOUT), 1u);
}

TEST(HciBackendLinks, DisconnectionsCarryTheReasonTheProgramExpects) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, 0x0040);
    ASSERT_EQ(handle, 0);
    EXPECT_EQ(sd_ble_gap_disconnect(s.adapter(), handle, 0x05), NRF_ERROR_INVALID_PARAM);
    // The controller reports its own idea of the reason; the program is told 0x16.
    s.controller().script(hci::opcode::disconnect, command_reply::without_follow_ups(), 1);
    ASSERT_EQ(sd_ble_gap_disconnect(s.adapter(), handle, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION),
              NRF_SUCCESS);
    EXPECT_EQ(sd_ble_gap_disconnect(s.adapter(), handle, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION),
              NRF_ERROR_INVALID_STATE);
    const auto sent = s.controller().wait_for_command(hci::opcode::disconnect, 1s);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->parameters, (std::vector<uint8_t>{0x40, 0x00, 0x13}));
    s.controller().deliver(testing_support::disconnection_complete_event(0x0040, 0x13));
    int at = s.wait_for_id(BLE_GAP_EVT_DISCONNECTED, 2000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(s.events()[static_cast<size_t>(at)].evt().evt.gap_evt.params.disconnected.reason,
              BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION);

    // The phone hangs up: its reason goes through, and the handle is free again.
    const uint16_t again = s.connect_phone(phone, 0x0041);
    ASSERT_EQ(again, 0);
    s.controller().deliver(testing_support::disconnection_complete_event(0x0041, 0x08));
    at = s.wait_for_id(BLE_GAP_EVT_DISCONNECTED, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    EXPECT_EQ(s.events()[static_cast<size_t>(at)].evt().evt.gap_evt.params.disconnected.reason,
              0x08);
    EXPECT_EQ(sd_ble_gap_disconnect(s.adapter(), 0, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION),
              BLE_ERROR_INVALID_CONN_HANDLE);
}

TEST(HciBackendLinks, APhonesParameterRequestsReachTheProgramAndItsAnswerTheController) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, 0x0040);
    ASSERT_EQ(handle, 0);
    // By L2CAP signalling.
    s.controller().deliver_l2cap(
        0x0040, 0x0005, testing_support::connection_parameter_update_request(7, 40, 56, 0, 500));
    int at = s.wait_for_id(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST, 2000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(s.events()[static_cast<size_t>(at)]
                  .evt()
                  .evt.gap_evt.params.conn_param_update_request.conn_params.max_conn_interval,
              56);
    ble_gap_conn_params_t wanted{40, 56, 0, 500};
    ASSERT_EQ(sd_ble_gap_conn_param_update(s.adapter(), handle, &wanted), NRF_SUCCESS);
    const auto response = s.controller().wait_for_l2cap(0x0040, 0x0005, 1s);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->payload, (std::vector<uint8_t>{0x13, 7, 2, 0, 0, 0}));  // accepted
    ASSERT_TRUE(s.controller().wait_for_command(hci::opcode::le_connection_update, 1s));
    at = s.wait_for_id(BLE_GAP_EVT_CONN_PARAM_UPDATE, 2000);
    ASSERT_GE(at, 0);

    // By the link layer, turned down by the program.
    hci::remote_connection_parameter_request ll{0x0040, 6, 8, 0, 100};
    s.controller().deliver(testing_support::remote_connection_parameter_request_event(ll));
    ASSERT_GE(
        s.wait_for_id(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST, 2000, static_cast<size_t>(at) + 1), 0);
    ASSERT_EQ(sd_ble_gap_conn_param_update(s.adapter(), handle, nullptr), NRF_SUCCESS);
    const auto negative = s.controller().wait_for_command(
        hci::opcode::le_remote_connection_parameter_request_negative_reply, 1s);
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->parameters, (std::vector<uint8_t>{0x40, 0x00, 0x3B}));

    // Unknown signalling gets a command reject; pairing is turned down.
    s.controller().deliver_l2cap(0x0040, 0x0005, testing_support::unknown_signalling_command(9));
    const auto reject = s.controller().wait_for_l2cap(0x0040, 0x0005, 1s);
    ASSERT_TRUE(reject);
    EXPECT_EQ(reject->payload, (std::vector<uint8_t>{0x01, 9, 2, 0, 0, 0}));
    s.controller().deliver_l2cap(0x0040, 0x0006, testing_support::smp_pairing_request());
    const auto failed = s.controller().wait_for_l2cap(0x0040, 0x0006, 1s);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->payload, (std::vector<uint8_t>{0x05, 0x05}));
    EXPECT_TRUE(s.controller().violations().empty());
}

TEST(HciBackendLinks, RssiIsPolledAndReportedPastTheThresholdAndSkipCount) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, 0x0040);
    ASSERT_EQ(handle, 0);
    s.controller().set_rssi(0x0040, -50);
    platform::set_time_scale(20);
    ASSERT_EQ(sd_ble_gap_rssi_start(s.adapter(), handle, 5, 1), NRF_SUCCESS);
    EXPECT_EQ(sd_ble_gap_rssi_start(s.adapter(), handle, 5, 1), NRF_ERROR_INVALID_STATE);
    ASSERT_TRUE(s.controller().wait_for_command(hci::opcode::read_rssi, 2s));
    s.controller().set_rssi(0x0040, -70);
    const int at = s.wait_for_id(BLE_GAP_EVT_RSSI_CHANGED, 20000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(s.events()[static_cast<size_t>(at)].evt().evt.gap_evt.params.rssi_changed.rssi, -70);
    EXPECT_GE(s.controller().count_commands(hci::opcode::read_rssi), 3u);
}

TEST(HciBackendLost, AControllerThatGoesAwayIsReportedAndEveryCallFailsThen) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, 0x0040);
    ASSERT_EQ(handle, 0);
    // This controller will not come back, so the calls below meet it away.
    s.controller().script(hci::opcode::reset, command_reply::silent());
    s.controller().deliver(testing_support::hardware_error_event(0x2A));
    ASSERT_TRUE(s.wait_until([&] { return s.statuses().size() >= 3; }, 2000));
    const auto statuses = s.statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().first, IO_RESOURCES_UNAVAILABLE);
    EXPECT_NE(statuses.back().second.find("Hardware Error event, code 0x2A"), std::string::npos);
    EXPECT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE);
    // Starting the scanner only sets what the recovery restores: it is taken meanwhile.
    EXPECT_EQ(s.start_scan(), NRF_SUCCESS);
    EXPECT_EQ(s.close(), NRF_SUCCESS);

    // A command that gets no answer loses the controller too, and the call fails.
    platform::set_time_scale(20);
    hci_session silent;
    ASSERT_EQ(silent.open(), NRF_SUCCESS);
    ASSERT_EQ(silent.enable(), NRF_SUCCESS);
    silent.controller().script(hci::opcode::le_set_scan_parameters, command_reply::silent());
    EXPECT_EQ(silent.start_scan(), NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE);
    ASSERT_TRUE(silent.wait_until([&] { return silent.statuses().size() >= 3; }, 2000));
    ASSERT_FALSE(silent.statuses().empty());
    EXPECT_NE(silent.statuses().back().second.find("no answer to HCI command 0x200B"),
              std::string::npos);

    // The stream ends.
    platform::set_time_scale(1);
    hci_session gone;
    ASSERT_EQ(gone.open(), NRF_SUCCESS);
    gone.controller().lose("end of stream");
    ASSERT_TRUE(gone.wait_until([&] { return gone.statuses().size() >= 3; }, 2000));
    ASSERT_FALSE(gone.statuses().empty());
    EXPECT_NE(gone.statuses().back().second.find("lost: end of stream"), std::string::npos);
    EXPECT_EQ(gone.enable(), NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE);
}

TEST(HciBackendClose, QuietsTheControllerAndCallsNothingBackAfterwards) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, 0x0040);
    ASSERT_EQ(handle, 0);
    ASSERT_EQ(s.start_scan(), NRF_SUCCESS);
    ble_gap_adv_params_t adv{};
    adv.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
    adv.interval = 160;
    adv.primary_phy = BLE_GAP_PHY_AUTO;
    uint8_t data[] = {0x02, 0x01, 0x04};
    ble_gap_adv_data_t adv_data{};
    adv_data.adv_data = ble_data_t{data, sizeof data};
    uint8_t adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
    ASSERT_EQ(sd_ble_gap_adv_set_configure(s.adapter(), &adv_handle, &adv_data, &adv), NRF_SUCCESS);
    EXPECT_EQ(adv_handle, 0);
    ASSERT_EQ(sd_ble_gap_adv_start(s.adapter(), adv_handle, 0), NRF_SUCCESS);
    const auto params =
        s.controller().wait_for_command(hci::opcode::le_set_advertising_parameters, 1s);
    ASSERT_TRUE(params);
    EXPECT_EQ(params->parameters[4], 0x03);  // ADV_NONCONN_IND
    const size_t before = s.events().size();
    ASSERT_EQ(s.close(), NRF_SUCCESS);
    const auto cmds = opcodes(s.controller());
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), hci::opcode::disconnect), 1);
    EXPECT_EQ(cmds[cmds.size() - 1], hci::opcode::disconnect);
    // The close's own disconnection is not reported: nothing comes after close returns.
    s.controller().deliver(testing_support::advertising_report_event({{}}));
    s.wait_for_id(0xFFFF, 200);
    EXPECT_EQ(s.events().size(), before);
    EXPECT_EQ(s.start_scan(), NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE);
}

}  // namespace

namespace {

TEST(HciBackendClose, ACallbackThatCallsInDuringTheCloseDoesNotHoldItUp) {
    hci_session s;
    std::atomic<bool> in_callback{false};
    std::atomic<bool> closing{false};
    std::atomic<uint32_t> resumed{0xFFFF};
    s.on_event = [&](const ble_evt_t& e) {
        if (e.header.evt_id != BLE_GAP_EVT_ADV_REPORT) return;
        in_callback = true;
        // The program is still reading the report when its other thread closes the adapter.
        for (int i = 0; i < 5000 && !closing; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        resumed = sd_ble_gap_scan_start(s.adapter(), nullptr, &s.report_descriptor);
    };
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    ASSERT_EQ(s.enable(), NRF_SUCCESS);
    ASSERT_EQ(s.start_scan(), NRF_SUCCESS);
    s.controller().deliver(testing_support::advertising_report_event({{}}));
    ASSERT_TRUE(s.wait_until([&] { return in_callback.load(); }, 5000));
    const auto started = std::chrono::steady_clock::now();
    closing = true;
    EXPECT_EQ(s.close(), NRF_SUCCESS);
    // Well below the close's 10 s of grace for a callback that never returns.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    // Taken, or refused as on a closed adapter: either way it returned.
    EXPECT_TRUE(resumed.load() == NRF_SUCCESS ||
                resumed.load() == NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE)
        << resumed.load();
}

}  // namespace

namespace {

void set_snoop_variable(const std::string& value) {
#if defined(_WIN32)
    _putenv_s("ORVETTE_HCI_SNOOP", value.c_str());
#else
    if (value.empty()) {
        unsetenv("ORVETTE_HCI_SNOOP");
    } else {
        setenv("ORVETTE_HCI_SNOOP", value.c_str(), 1);
    }
#endif
}

TEST(HciBackendTrace, EveryPacketBothWaysGoesToTheBtsnoopFileNamedByTheEnvironment) {
    const std::string path =
        (std::filesystem::temp_directory_path() / "orvette-hci-trace-test.btsnoop").string();
    std::filesystem::remove(path);
    set_snoop_variable(path);
    {
        hci_session s;
        ASSERT_EQ(s.open(), NRF_SUCCESS);
        set_snoop_variable("");
        ASSERT_EQ(s.enable(), NRF_SUCCESS);
        ASSERT_EQ(s.start_scan(), NRF_SUCCESS);
        ASSERT_EQ(s.close(), NRF_SUCCESS);
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    ASSERT_GE(file.size(), 16u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 8), std::string("btsnoop\0", 8));
    EXPECT_EQ(file[15], 0xEA);  // datalink 1002: H4
    // Records: 24-byte header (big-endian lengths and flags), then the H4 packet.
    size_t at = 16;
    size_t sent_commands = 0;
    size_t received_events = 0;
    while (at + 24 <= file.size()) {
        const uint32_t length = (uint32_t{file[at + 4]} << 24) | (uint32_t{file[at + 5]} << 16) |
                                (uint32_t{file[at + 6]} << 8) | file[at + 7];
        const uint8_t flags = file[at + 11];
        ASSERT_LE(at + 24 + length, file.size());
        const uint8_t indicator = file[at + 24];
        if (indicator == 0x01 && (flags & 1) == 0) ++sent_commands;
        if (indicator == 0x04 && (flags & 1) == 1) ++received_events;
        at += 24 + length;
    }
    EXPECT_EQ(at, file.size());
    // Seven to open, two to scan, one to stop scanning at the close; each answered.
    EXPECT_EQ(sent_commands, 10u);
    EXPECT_EQ(received_events, 10u);
    in.close();
    // Closed with the adapter: the file can go (Windows refuses to remove an open file).
    std::error_code removed;
    EXPECT_TRUE(std::filesystem::remove(path, removed)) << removed.message();
}

}  // namespace
