// The HCI backend's GATT client at the edges of the handle space and on descriptors: a
// discovery from handle 0 answered by the host itself, and Find Information in both formats,
// with a phone's errors and malformed answers as statuses.
#include <gtest/gtest.h>

#include <algorithm>

#include "hci/att.h"
#include "tests/support/att_server.h"
#include "tests/support/hci_peer_pdus.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::att_characteristic;
using testing_support::att_server;
using testing_support::hci_seen_event;
using testing_support::hci_session;
using testing_support::uuid16;
using namespace std::chrono_literals;
namespace prop = testing_support::att_property;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr uint16_t link = 0x0040;

std::vector<uint8_t> uuid128(uint8_t first) {
    std::vector<uint8_t> u(16, 0x22);
    u[0] = first;
    return u;
}

// Service 0x0001; 'feature' 0x0002/0x0003; a notifying characteristic 0x0004/0x0005 with a
// User Description at 0x0006 and its CCCD at 0x0007.
att_server described_phone() {
    att_characteristic notifying{uuid128(0xB1), prop::notify, {}, {uuid16(0x2901)}};
    return att_server({{uuid128(0xA0), {{uuid128(0xB0), prop::read, {1}}, notifying}}});
}

const ble_gattc_evt_t& gattc(const hci_seen_event& e) {
    return e.evt().evt.gattc_evt;
}

size_t pdus_with_opcode(hci_session& s, uint8_t opcode) {
    const auto pdus = s.controller().l2cap_pdus();
    return static_cast<size_t>(std::count_if(pdus.begin(), pdus.end(), [&](const auto& p) {
        return p.channel == 4 && !p.payload.empty() && p.payload[0] == opcode;
    }));
}

TEST(HciBackendGattRanges, ADiscoveryFromHandleZeroIsAnsweredByTheHostAndNeverGoesOnTheAir) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, link);
    s.controller().serve_att(link, described_phone());

    // What the program asks after a last service or declaration at 0xFFFF.
    ASSERT_EQ(sd_ble_gattc_primary_services_discover(s.adapter(), handle, 0, nullptr), NRF_SUCCESS);
    int at = s.wait_for_id(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, 2000);
    ASSERT_GE(at, 0);
    {
        const ble_gattc_evt_t& e = gattc(s.events()[static_cast<size_t>(at)]);
        EXPECT_EQ(e.conn_handle, handle);
        EXPECT_EQ(e.gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
        EXPECT_EQ(e.error_handle, 0);
        EXPECT_EQ(e.params.prim_srvc_disc_rsp.count, 0);
    }
    // The procedure is over as soon as its answer is queued: the next one is not busy.
    const ble_gattc_handle_range_t from_zero{0, 0xFFFF};
    ASSERT_EQ(sd_ble_gattc_characteristics_discover(s.adapter(), handle, &from_zero), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_CHAR_DISC_RSP, 2000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status,
              BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).params.char_disc_rsp.count, 0);
    ASSERT_EQ(sd_ble_gattc_descriptors_discover(s.adapter(), handle, &from_zero), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_DESC_DISC_RSP, 2000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status,
              BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);

    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_SUCCESS);
    ASSERT_GE(s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000), 0);
    // The read went out after the three: none of them did.
    EXPECT_EQ(pdus_with_opcode(s, hci::att_opcode::read_by_group_type_request), 0u);
    EXPECT_EQ(pdus_with_opcode(s, hci::att_opcode::read_by_type_request), 0u);
    EXPECT_EQ(pdus_with_opcode(s, hci::att_opcode::find_information_request), 0u);
    EXPECT_EQ(pdus_with_opcode(s, hci::att_opcode::read_request), 1u);
    EXPECT_TRUE(s.controller().violations().empty());
}

TEST(HciBackendGattRanges, FindInformationListsTheDescriptorsOfARangeInEitherFormat) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, link);
    s.controller().serve_att(link, described_phone());

    const ble_gattc_handle_range_t after_value{0x0006, 0x0007};
    ASSERT_EQ(sd_ble_gattc_descriptors_discover(s.adapter(), handle, &after_value), NRF_SUCCESS);
    const auto request =
        s.controller().wait_for_att_pdu(link, hci::att_opcode::find_information_request, 2s);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->payload, (std::vector<uint8_t>{0x04, 0x06, 0x00, 0x07, 0x00}));
    int at = s.wait_for_id(BLE_GATTC_EVT_DESC_DISC_RSP, 2000);
    ASSERT_GE(at, 0);
    {
        const ble_gattc_evt_t& e = gattc(s.events()[static_cast<size_t>(at)]);
        EXPECT_EQ(e.gatt_status, BLE_GATT_STATUS_SUCCESS);
        ASSERT_EQ(e.params.desc_disc_rsp.count, 2);
        EXPECT_EQ(e.params.desc_disc_rsp.descs[0].handle, 0x0006);
        EXPECT_EQ(e.params.desc_disc_rsp.descs[0].uuid.type, BLE_UUID_TYPE_BLE);
        EXPECT_EQ(e.params.desc_disc_rsp.descs[0].uuid.uuid, 0x2901);
        EXPECT_EQ(e.params.desc_disc_rsp.descs[1].handle, 0x0007);
        EXPECT_EQ(e.params.desc_disc_rsp.descs[1].uuid.uuid, 0x2902);
    }

    // A 128-bit type comes in format 2, one to a response at the default MTU; the stack
    // knows no vendor base, so it is reported as unknown.
    const ble_gattc_handle_range_t value_only{0x0005, 0x0007};
    ASSERT_EQ(sd_ble_gattc_descriptors_discover(s.adapter(), handle, &value_only), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_DESC_DISC_RSP, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    {
        const ble_gattc_evt_t& e = gattc(s.events()[static_cast<size_t>(at)]);
        EXPECT_EQ(e.gatt_status, BLE_GATT_STATUS_SUCCESS);
        ASSERT_EQ(e.params.desc_disc_rsp.count, 1);
        EXPECT_EQ(e.params.desc_disc_rsp.descs[0].handle, 0x0005);
        EXPECT_EQ(e.params.desc_disc_rsp.descs[0].uuid.type, BLE_UUID_TYPE_UNKNOWN);
    }

    // Past the last attribute: the phone's error, as the program's status.
    const ble_gattc_handle_range_t beyond{0x0008, 0xFFFF};
    ASSERT_EQ(sd_ble_gattc_descriptors_discover(s.adapter(), handle, &beyond), NRF_SUCCESS);
    at = s.wait_for_id(BLE_GATTC_EVT_DESC_DISC_RSP, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status,
              BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).error_handle, 0x0008);
    const ble_gattc_handle_range_t backwards{0x0007, 0x0006};
    EXPECT_EQ(sd_ble_gattc_descriptors_discover(s.adapter(), handle, &backwards),
              NRF_ERROR_INVALID_PARAM);
    EXPECT_TRUE(s.controller().violations().empty());
}

TEST(HciBackendGattRanges, AMalformedFindInformationResponseEndsTheProcedureAsAnInvalidPdu) {
    const std::vector<std::vector<uint8_t>> malformed = {
        {0x05, 0x03, 0x06, 0x00, 0x01, 0x29},  // no such format
        {0x05, 0x01, 0x06, 0x00, 0x01},        // an entry cut short
        {0x05, 0x02, 0x06, 0x00, 0x01, 0x29},  // format 2 with a 16-bit type
        {0x05, 0x01},                          // no entries at all
    };
    for (const std::vector<uint8_t>& answer : malformed) {
        hci_session s;
        const uint16_t handle = s.connect_phone(phone, link);
        const ble_gattc_handle_range_t range{0x0006, 0x0007};
        ASSERT_EQ(sd_ble_gattc_descriptors_discover(s.adapter(), handle, &range), NRF_SUCCESS);
        ASSERT_TRUE(
            s.controller().wait_for_att_pdu(link, hci::att_opcode::find_information_request, 2s));
        s.controller().deliver_att(link, answer);
        const int at = s.wait_for_id(BLE_GATTC_EVT_DESC_DISC_RSP, 2000);
        ASSERT_GE(at, 0);
        const ble_gattc_evt_t& e = gattc(s.events()[static_cast<size_t>(at)]);
        EXPECT_EQ(e.gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_PDU);
        EXPECT_EQ(e.params.desc_disc_rsp.count, 0);
        // Over, so the link takes the next procedure.
        EXPECT_EQ(sd_ble_gattc_descriptors_discover(s.adapter(), handle, &range), NRF_SUCCESS);
    }
}

}  // namespace
