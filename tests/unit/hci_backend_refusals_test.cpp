// The HCI backend when something is turned down, on a scripted controller: a phone's request
// for other connection parameters that the program's call cannot grant is still answered, a
// controller's stray report of a link does not cost the live one, and a command the
// controller does not know leaves its feature off for the run with one warning.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hci/hci_commands.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/hci_peer_pdus.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::command_reply;
using testing_support::hci_session;
using namespace std::chrono_literals;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr uint16_t link = 0x0040;
constexpr uint16_t signalling = 0x0005;

size_t lines_with(const hci_session& s, const std::string& part) {
    const auto lines = s.logs();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(part) != std::string::npos;
    }));
}

// The Connection Parameter Update Response the host sent for `identifier`, if any.
std::vector<uint8_t> update_response(uint8_t identifier, uint16_t result) {
    return {0x13, identifier, 2, 0, static_cast<uint8_t>(result), 0};
}

// Asks by L2CAP signalling and waits for the program's event.
void phone_asks(hci_session& s, uint8_t identifier, uint16_t min, uint16_t max, uint16_t latency,
                uint16_t timeout) {
    const size_t from = s.events().size();
    s.controller().deliver_l2cap(link, signalling,
                                 testing_support::connection_parameter_update_request(
                                     identifier, min, max, latency, timeout));
    ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST, 2000, from), 0);
}

uint32_t program_grants(hci_session& s, uint16_t min, uint16_t max, uint16_t latency,
                        uint16_t timeout) {
    ble_gap_conn_params_t wanted{min, max, latency, timeout};
    return sd_ble_gap_conn_param_update(s.adapter(), 0, &wanted);
}

TEST(HciParameterRequests, ARequestTheRulesRefuseIsStillAnsweredRejected) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    // The phone's own values are impossible (max below min, an interval of 0, a latency of
    // 65535): the program passes them on, the rules refuse, the phone hears no.
    const ble_gap_conn_params_t impossible[] = {
        {56, 40, 0, 500}, {0, 0, 0, 500}, {40, 56, 65535, 500}};
    uint8_t id = 3;
    for (const ble_gap_conn_params_t& p : impossible) {
        phone_asks(s, id, p.min_conn_interval, p.max_conn_interval, p.slave_latency,
                   p.conn_sup_timeout);
        EXPECT_EQ(sd_ble_gap_conn_param_update(s.adapter(), 0, &p), NRF_ERROR_INVALID_PARAM);
        const auto answer = s.controller().wait_for_l2cap(link, signalling, 1s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->payload, update_response(id++, 1));
    }
    EXPECT_EQ(s.controller().count_commands(hci::opcode::le_connection_update), 0u);

    // An update of the program's own is still under way (its completion never comes): the
    // next request is refused busy, and answered.
    s.controller().script(hci::opcode::le_connection_update, command_reply::without_follow_ups(),
                          1);
    ASSERT_EQ(program_grants(s, 24, 40, 0, 400), NRF_SUCCESS);
    phone_asks(s, id, 40, 56, 0, 500);
    EXPECT_EQ(program_grants(s, 40, 56, 0, 500), NRF_ERROR_BUSY);
    const auto answer = s.controller().wait_for_l2cap(link, signalling, 1s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, update_response(id, 1));

    // By the link layer: turned down with Unacceptable Connection Parameters.
    s.controller().deliver(testing_support::remote_connection_parameter_request_event(
        hci::remote_connection_parameter_request{link, 0, 0, 0, 100}));
    ASSERT_TRUE(
        s.wait_until([&] { return s.count(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST) == 5; }, 2000));
    EXPECT_EQ(program_grants(s, 0, 0, 0, 100), NRF_ERROR_INVALID_PARAM);
    const auto negative = s.controller().wait_for_command(
        hci::opcode::le_remote_connection_parameter_request_negative_reply, 1s);
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->parameters, (std::vector<uint8_t>{0x40, 0x00, 0x3B}));
    EXPECT_TRUE(s.controller().violations().empty());
}

TEST(HciParameterRequests, AnUpdateTheControllerRefusesIsNeverAnsweredAccepted) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    s.controller().script(hci::opcode::le_connection_update, command_reply::command_status(0x12),
                          1);
    phone_asks(s, 7, 40, 56, 0, 500);
    EXPECT_EQ(program_grants(s, 40, 56, 0, 500), NRF_ERROR_INVALID_PARAM);
    const auto answer = s.controller().wait_for_l2cap(link, signalling, 1s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, update_response(7, 1));
    // The refusal did not leave an update standing: the next one goes through, and is said yes.
    phone_asks(s, 8, 40, 56, 0, 500);
    EXPECT_EQ(program_grants(s, 40, 56, 0, 500), NRF_SUCCESS);
    const auto accepted = s.controller().wait_for_l2cap(link, signalling, 1s);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->payload, update_response(8, 0));
    EXPECT_FALSE(s.controller().wait_for_l2cap(link, signalling, 100ms));
}

TEST(HciParameterRequests, ARequestANewerOneReplacesIsAnsweredRejected) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    phone_asks(s, 1, 40, 56, 0, 500);
    phone_asks(s, 2, 24, 40, 0, 400);
    auto answer = s.controller().wait_for_l2cap(link, signalling, 1s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, update_response(1, 1));
    EXPECT_EQ(program_grants(s, 24, 40, 0, 400), NRF_SUCCESS);
    answer = s.controller().wait_for_l2cap(link, signalling, 1s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, update_response(2, 0));

    // A link-layer request that an L2CAP one replaces leaves the controller's procedure
    // open: it is turned down.
    s.controller().deliver(testing_support::remote_connection_parameter_request_event(
        hci::remote_connection_parameter_request{link, 6, 8, 0, 100}));
    phone_asks(s, 3, 40, 56, 0, 500);
    const auto negative = s.controller().wait_for_command(
        hci::opcode::le_remote_connection_parameter_request_negative_reply, 2s);
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->parameters, (std::vector<uint8_t>{0x40, 0x00, 0x3B}));
    EXPECT_EQ(program_grants(s, 40, 56, 0, 500), NRF_SUCCESS);
    answer = s.controller().wait_for_l2cap(link, signalling, 1s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, update_response(3, 0));
}

TEST(HciStrayEvents, AConnectionCompleteForALiveHandleIsIgnoredAndTheLinkStays) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    const size_t connected = s.count(BLE_GAP_EVT_CONNECTED);
    // Once while nothing is being connected, once during an attempt to another phone.
    s.controller().deliver(
        testing_support::connection_complete_event(testing_support::connected(link, phone)));
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    const wire::address_bytes other{7, 7, 7, 7, 7, 0xC7};
    const ble_gap_addr_t other_peer = testing_support::gap_address(other, BLE_GAP_ADDR_TYPE_PUBLIC);
    ble_gap_scan_params_t scan{};
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 96;
    scan.window = 48;
    ble_gap_conn_params_t conn{24, 40, 0, 400};
    s.controller().set_follow_up(hci::opcode::le_create_connection, {});
    ASSERT_EQ(sd_ble_gap_connect(s.adapter(), &other_peer, &scan, &conn, 1), NRF_SUCCESS);
    s.controller().deliver(
        testing_support::connection_complete_event(testing_support::connected(link, other)));
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    ASSERT_TRUE(
        s.wait_until([&] { return lines_with(s, "0x0040, which a live link") >= 2; }, 2000));

    EXPECT_EQ(s.controller().count_commands(hci::opcode::disconnect), 0u);
    EXPECT_EQ(s.count(BLE_GAP_EVT_CONNECTED), connected);
    EXPECT_EQ(s.count(BLE_GAP_EVT_DISCONNECTED), 0u);
    // The attempt is still under way, and the live link still carries GATT.
    EXPECT_EQ(sd_ble_gap_connect(s.adapter(), &other_peer, &scan, &conn, 1),
              NRF_ERROR_INVALID_STATE);
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), 0, 3, 0), NRF_SUCCESS);
    EXPECT_TRUE(s.controller().wait_for_att_pdu(link, 0x0A, 1s));
    s.controller().deliver(
        testing_support::connection_complete_event(testing_support::connected(0x0041, other)));
    EXPECT_GE(s.wait_for_id(BLE_GAP_EVT_CONNECTED, 2000, connected), 0);
}

TEST(HciUnknownCommands, ReadRssiUnknownStopsThePollsOnEveryLinkWithOneWarning) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    ASSERT_EQ(s.connect_phone({7, 7, 7, 7, 7, 0xC7}, 0x0041), 1);
    s.controller().script(hci::opcode::read_rssi, command_reply::failing(0x01));
    platform::set_time_scale(20);
    ASSERT_EQ(sd_ble_gap_rssi_start(s.adapter(), 0, 5, 0), NRF_SUCCESS);
    ASSERT_EQ(sd_ble_gap_rssi_start(s.adapter(), 1, 5, 0), NRF_SUCCESS);
    ASSERT_TRUE(s.controller().wait_for_command(hci::opcode::read_rssi, 2s));
    // Several poll periods (500 ms each) pass.
    s.wait_for_id(0xFFFF, 3000);
    platform::set_time_scale(1);
    EXPECT_EQ(s.controller().count_commands(hci::opcode::read_rssi), 1u);
    EXPECT_EQ(lines_with(s,
                         "does not know Read RSSI (Unknown HCI Command); no RSSI reports on "
                         "any link for this run"),
              1u);
    EXPECT_EQ(lines_with(s, "Read RSSI on conn_handle"), 0u);
    EXPECT_TRUE(s.statuses().size() == 2u) << "the controller is not lost";
}

TEST(HciUnknownCommands, ConnectionUpdateUnknownTurnsEveryRequestDownWithoutAsking) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    s.controller().script(hci::opcode::le_connection_update, command_reply::command_status(0x01));
    for (uint8_t id = 1; id <= 3; ++id) {
        phone_asks(s, id, 40, 56, 0, 500);
        EXPECT_EQ(program_grants(s, 40, 56, 0, 500), NRF_ERROR_NOT_SUPPORTED);
        const auto answer = s.controller().wait_for_l2cap(link, signalling, 1s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->payload, update_response(id, 1));
    }
    EXPECT_EQ(s.controller().count_commands(hci::opcode::le_connection_update), 1u);
    ASSERT_TRUE(s.wait_until([&] { return lines_with(s, "LE Connection Update") >= 1; }, 2000));
    EXPECT_EQ(lines_with(s, "does not know LE Connection Update (Unknown HCI Command)"), 1u);
    // Not lost: everything else goes on.
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), 0, 3, 0), NRF_SUCCESS);
    EXPECT_TRUE(s.controller().wait_for_att_pdu(link, 0x0A, 1s));
}

TEST(HciUnknownCommands, ALinkLayerReplyUnknownTurnsTheRequestsDownInstead) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    using hci::opcode::le_remote_connection_parameter_request_negative_reply;
    using hci::opcode::le_remote_connection_parameter_request_reply;
    s.controller().script(le_remote_connection_parameter_request_reply,
                          command_reply::failing(0x01));
    for (int i = 0; i < 2; ++i) {
        const size_t from = s.events().size();
        s.controller().deliver(testing_support::remote_connection_parameter_request_event(
            hci::remote_connection_parameter_request{link, 40, 56, 0, 500}));
        ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST, 2000, from), 0);
        EXPECT_EQ(program_grants(s, 40, 56, 0, 500), NRF_ERROR_NOT_SUPPORTED);
        EXPECT_TRUE(s.controller().wait_for_command(
            le_remote_connection_parameter_request_negative_reply, 1s));
    }
    EXPECT_EQ(s.controller().count_commands(le_remote_connection_parameter_request_reply), 1u);
    ASSERT_TRUE(s.wait_until(
        [&] {
            return lines_with(s, "does not know LE Remote Connection Parameter Request Reply") == 1;
        },
        2000));
}

}  // namespace
