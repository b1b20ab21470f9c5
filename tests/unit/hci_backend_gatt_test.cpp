// The HCI backend's GATT client on a scripted controller and a phone served by an ATT server:
// discovery, reads and writes as the program's events, one procedure per link, the ATT
// time-out, notifications and indications, what the host answers a phone on its own, and
// ACL flow control with a single buffer.
#include <gtest/gtest.h>

#include "hci/att.h"
#include "hci/hci_commands.h"
#include "tests/support/att_server.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/hci_peer_pdus.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::att_characteristic;
using testing_support::att_server;
using testing_support::att_service;
using testing_support::hci_seen_event;
using testing_support::hci_session;
using namespace std::chrono_literals;
namespace prop = testing_support::att_property;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr uint16_t link = 0x0040;

std::vector<uint8_t> uuid128(uint8_t first) {
    std::vector<uint8_t> u(16, 0x11);
    u[0] = first;
    return u;
}

att_server battery_and_feature_phone() {
    return att_server(
        {{testing_support::uuid16(0x180F),
          {{testing_support::uuid16(0x2A19), prop::read | prop::notify, {0x64}}}},
         {uuid128(0xA0),
          {{uuid128(0xB0), prop::read | prop::write | prop::write_without_response, {1, 2, 3}}}}});
}

const ble_gattc_evt_t& gattc(const hci_seen_event& e) {
    return e.evt().evt.gattc_evt;
}

TEST(HciBackendGatt, DiscoveryReadsAndWritesBecomeTheProgramsEvents) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, link);
    ASSERT_EQ(handle, 0);
    s.controller().serve_att(link, battery_and_feature_phone());

    ASSERT_EQ(sd_ble_gattc_primary_services_discover(s.adapter(), handle, 1, nullptr), NRF_SUCCESS);
    int at = s.wait_for_id(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, 2000);
    ASSERT_GE(at, 0);
    {
        const ble_gattc_evt_t& e = gattc(s.events()[static_cast<size_t>(at)]);
        EXPECT_EQ(e.gatt_status, BLE_GATT_STATUS_SUCCESS);
        ASSERT_EQ(e.params.prim_srvc_disc_rsp.count, 1);  // one UUID size per response
        EXPECT_EQ(e.params.prim_srvc_disc_rsp.services[0].uuid.uuid, 0x180F);
    }
    // The program goes on from the end of the last service it got, until Not Found.
    ASSERT_EQ(sd_ble_gattc_primary_services_discover(s.adapter(), handle, 5, nullptr), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    const ble_gattc_service_t service =
        gattc(s.events()[static_cast<size_t>(at)]).params.prim_srvc_disc_rsp.services[0];
    EXPECT_EQ(service.uuid.type, BLE_UUID_TYPE_UNKNOWN);
    ASSERT_EQ(sd_ble_gattc_primary_services_discover(s.adapter(), handle,
                                                     service.handle_range.end_handle + 1, nullptr),
              NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status,
              BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);

    ble_gattc_handle_range_t range{service.handle_range.start_handle,
                                   service.handle_range.end_handle};
    ASSERT_EQ(sd_ble_gattc_characteristics_discover(s.adapter(), handle, &range), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_CHAR_DISC_RSP, 2000);
    ASSERT_GE(at, 0);
    const ble_gattc_char_t ch =
        gattc(s.events()[static_cast<size_t>(at)]).params.char_disc_rsp.chars[0];
    EXPECT_EQ(ch.uuid.type, BLE_UUID_TYPE_UNKNOWN);
    EXPECT_TRUE(ch.char_props.write);
    EXPECT_TRUE(ch.char_props.write_wo_resp);

    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), handle, ch.handle_value, 0), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000);
    ASSERT_GE(at, 0);
    {
        const ble_gattc_evt_read_rsp_t& r =
            gattc(s.events()[static_cast<size_t>(at)]).params.read_rsp;
        ASSERT_EQ(r.len, 3);
        EXPECT_EQ(r.data[2], 3);
    }
    const uint8_t value[] = {9, 8};
    ble_gattc_write_params_t write{BLE_GATT_OP_WRITE_REQ, 0, ch.handle_value, 0, 2, value};
    ASSERT_EQ(sd_ble_gattc_write(s.adapter(), handle, &write), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_WRITE_RSP, 2000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status, BLE_GATT_STATUS_SUCCESS);
    // A write command is reported sent once the controller says the packet left.
    write.write_op = BLE_GATT_OP_WRITE_CMD;
    ASSERT_EQ(sd_ble_gattc_write(s.adapter(), handle, &write), NRF_SUCCESS);
    ASSERT_GE(s.wait_for_id(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE, 2000), 0);
    ASSERT_TRUE(s.controller().wait_for_att_pdu(link, hci::att_opcode::write_command, 1s));
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    const auto served = s.controller().phone(link);
    ASSERT_TRUE(served);
    ASSERT_EQ(served->writes().size(), 2u);
    EXPECT_FALSE(served->writes()[1].with_response);
    // Errors from the phone arrive as the program's GATT status.
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), handle, 0x0099, 0), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status,
              BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_TRUE(s.controller().violations().empty());
}

TEST(HciBackendGatt, ASilentPhoneTimesOutAfterThirtySecondsAndGattEndsOnThatLinkAlone) {
    hci_session s;
    const uint16_t silent = s.connect_phone(phone, link);
    const uint16_t other = s.connect_phone({7, 7, 7, 7, 7, 0xC7}, 0x0041);
    ASSERT_EQ(silent, 0);
    ASSERT_EQ(other, 1);
    s.controller().serve_att(0x0041, battery_and_feature_phone());
    platform::set_time_scale(50);
    const uint64_t sent_at = platform::tick_count();
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), silent, 3, 0), NRF_SUCCESS);
    const int at = s.wait_for_id(BLE_GATTC_EVT_TIMEOUT, 40000);
    ASSERT_GE(at, 0);
    EXPECT_GE(platform::tick_count() - sent_at, 30000u);
    EXPECT_EQ(s.events()[static_cast<size_t>(at)].evt().evt.gattc_evt.conn_handle, silent);
    platform::set_time_scale(1);
    // A late answer changes nothing; GATT is over on that link until it reconnects.
    s.controller().deliver_att(link, testing_support::att_read_response(std::vector<uint8_t>{1}));
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    EXPECT_EQ(s.count(BLE_GATTC_EVT_READ_RSP), 0u);
    EXPECT_EQ(sd_ble_gattc_read(s.adapter(), silent, 3, 0), NRF_ERROR_TIMEOUT);
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), other, 3, 0), NRF_SUCCESS);
    EXPECT_GE(s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000), 0);
}

TEST(HciBackendGatt, NotificationsAndIndicationsReachTheProgramAndIndicationsAreConfirmed) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, link);
    ASSERT_EQ(handle, 0);
    s.controller().deliver_att(link,
                               testing_support::att_notification(3, std::vector<uint8_t>{0x55}));
    int at = s.wait_for_id(BLE_GATTC_EVT_HVX, 2000);
    ASSERT_GE(at, 0);
    {
        const ble_gattc_evt_hvx_t& h = gattc(s.events()[static_cast<size_t>(at)]).params.hvx;
        EXPECT_EQ(h.type, BLE_GATT_HVX_NOTIFICATION);
        EXPECT_EQ(h.handle, 3);
        ASSERT_EQ(h.len, 1);
        EXPECT_EQ(h.data[0], 0x55);
    }
    s.controller().deliver_att(link, std::vector<uint8_t>{0x1D, 0x03, 0x00, 0x66, 0x67});
    at = s.wait_for_id(BLE_GATTC_EVT_HVX, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).params.hvx.type, BLE_GATT_HVX_INDICATION);
    const auto confirmation = s.controller().wait_for_att_pdu(link, 0x1E, 1s);
    EXPECT_TRUE(confirmation);
}

TEST(HciBackendGatt, APhonesOwnRequestsAreAnsweredWhateverTheProgramIsDoing) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, link);
    ASSERT_EQ(handle, 0);
    // A read of ours is under way when the phone asks its own questions.
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_SUCCESS);
    // One procedure per link at a time.
    const uint8_t one = 1;
    ble_gattc_write_params_t write{BLE_GATT_OP_WRITE_REQ, 0, 3, 0, 1, &one};
    EXPECT_EQ(sd_ble_gattc_write(s.adapter(), handle, &write), NRF_ERROR_BUSY);
    s.controller().deliver_att(link, testing_support::att_exchange_mtu_request(247));
    const auto mtu =
        s.controller().wait_for_att_pdu(link, hci::att_opcode::exchange_mtu_response, 1s);
    ASSERT_TRUE(mtu);
    EXPECT_EQ(mtu->payload, (std::vector<uint8_t>{0x03, 150, 0}));  // the configured MTU
    s.controller().deliver_att(link, testing_support::att_read_by_type_request(1, 0xFFFF, 0x2A00));
    auto error = s.controller().wait_for_att_pdu(link, hci::att_opcode::error_response, 1s);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->payload, (std::vector<uint8_t>{0x01, 0x08, 0x01, 0x00, 0x0A}));
    s.controller().deliver_att(link, std::vector<uint8_t>{0x12, 0x05, 0x00, 0x01});
    error = s.controller().wait_for_att_pdu(link, hci::att_opcode::error_response, 1s);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->payload, (std::vector<uint8_t>{0x01, 0x12, 0x05, 0x00, 0x06}));
    // Our own read is still waiting for its answer, and gets it.
    s.controller().deliver_att(link, testing_support::att_read_response(std::vector<uint8_t>{7}));
    EXPECT_GE(s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000), 0);
}

TEST(HciBackendGatt, WithOneControllerBufferPacketsWaitForTheirCompletion) {
    hci_session s;
    s.controller().set_le_buffer(27, 1);
    s.controller().set_auto_complete_packets(false);
    const uint16_t handle = s.connect_phone(phone, link);
    ASSERT_EQ(handle, 0);
    // A write of 20 bytes is 27 bytes of L2CAP: one fragment. Then an answer the phone wants.
    std::vector<uint8_t> value(20, 0xAB);
    ble_gattc_write_params_t cmd{
        BLE_GATT_OP_WRITE_CMD, 0, 0x0010, 0, static_cast<uint16_t>(value.size()), value.data()};
    ASSERT_EQ(sd_ble_gattc_write(s.adapter(), handle, &cmd), NRF_SUCCESS);
    EXPECT_EQ(sd_ble_gattc_write(s.adapter(), handle, &cmd), NRF_ERROR_RESOURCES);
    s.controller().deliver_att(link, testing_support::att_exchange_mtu_request(100));
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    ASSERT_TRUE(s.controller().wait_for_att_pdu(link, hci::att_opcode::write_command, 1s));
    // The MTU response waits for the buffer to come back.
    EXPECT_FALSE(
        s.controller().wait_for_att_pdu(link, hci::att_opcode::exchange_mtu_response, 100ms));
    EXPECT_EQ(s.controller().outstanding_acl_packets(), 1u);
    EXPECT_EQ(s.count(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE), 0u);
    s.controller().complete_packets(link, 1);
    ASSERT_GE(s.wait_for_id(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE, 2000), 0);
    ASSERT_TRUE(s.controller().wait_for_att_pdu(link, hci::att_opcode::exchange_mtu_response, 1s));
    EXPECT_EQ(sd_ble_gattc_write(s.adapter(), handle, &cmd), NRF_SUCCESS);
    // A link that ends gives its buffers back: the next link's packet goes out.
    s.controller().deliver(testing_support::disconnection_complete_event(link, 0x08));
    ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_DISCONNECTED, 2000), 0);
    const uint16_t next = s.connect_phone(phone, 0x0042);
    ASSERT_EQ(next, 0);
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), next, 3, 0), NRF_SUCCESS);
    EXPECT_TRUE(s.controller().wait_for_att_pdu(0x0042, hci::att_opcode::read_request, 1s));
    EXPECT_TRUE(s.controller().violations().empty());
}

TEST(HciBackendGatt, LongAnswersArriveInFragmentsAndGarbageOnALinkIsIgnored) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, link);
    ASSERT_EQ(handle, 0);
    // Data on a link the host does not know, a truncated L2CAP header, a continuation
    // without a start: all dropped, and the link goes on.
    s.controller().deliver(
        testing_support::acl_data_packet(0x0999, 2, std::vector<uint8_t>{1, 0, 4, 0, 0x0B}));
    s.controller().deliver(testing_support::acl_data_packet(link, 2, std::vector<uint8_t>{5, 0}));
    s.controller().deliver(
        testing_support::acl_data_packet(link, 1, std::vector<uint8_t>{1, 2, 3}));
    // The phone raises the ATT MTU to the 150 we allow, so that 100 bytes fit an answer.
    s.controller().deliver_att(link, testing_support::att_exchange_mtu_request(247));
    ASSERT_TRUE(s.controller().wait_for_att_pdu(link, hci::att_opcode::exchange_mtu_response, 1s));
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_SUCCESS);
    std::vector<uint8_t> long_value(100);
    for (size_t i = 0; i < long_value.size(); ++i) long_value[i] = static_cast<uint8_t>(i);
    s.controller().deliver_att(link, testing_support::att_read_response(long_value), 27);
    const int at = s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000);
    ASSERT_GE(at, 0);
    const ble_gattc_evt_read_rsp_t& r = gattc(s.events()[static_cast<size_t>(at)]).params.read_rsp;
    ASSERT_EQ(r.len, 100);
    EXPECT_EQ(r.data[99], 99);
}

}  // namespace
