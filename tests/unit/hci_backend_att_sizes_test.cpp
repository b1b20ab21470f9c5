// ATT PDUs longer than the ATT MTU in force on the link, on a scripted controller: no server
// may send them, so they are malformed. An answer to the program's request ends it with an
// invalid-PDU status, a notification or indication is dropped with a warning (an indication
// still confirmed), and nothing reaches the program cut short as a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hci/att.h"
#include "hci/host/gattc_procedure.h"
#include "tests/support/hci_peer_pdus.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::hci_seen_event;
using testing_support::hci_session;
using namespace std::chrono_literals;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr uint16_t link = 0x0040;

size_t lines_with(const hci_session& s, const std::string& part) {
    const auto lines = s.logs();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(part) != std::string::npos;
    }));
}

const ble_gattc_evt_t& gattc(const hci_seen_event& e) {
    return e.evt().evt.gattc_evt;
}

// A value that makes an ATT PDU of `pdu_size` bytes with a handle in front (notification).
std::vector<uint8_t> value_for_notification(size_t pdu_size) {
    return std::vector<uint8_t>(pdu_size - 3, 0x5A);
}

// The phone raises the MTU: ours is 150, so that is what holds.
void exchange_mtu(hci_session& s) {
    s.controller().deliver_att(link, testing_support::att_exchange_mtu_request(517));
    ASSERT_TRUE(s.controller().wait_for_att_pdu(link, hci::att_opcode::exchange_mtu_response, 1s));
}

TEST(HciAttSizes, ANotificationLongerThanTheMtuIsDroppedWithAWarning) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    // Before any exchange the MTU is 23: 23 bytes pass, 24 do not.
    s.controller().deliver_att(link,
                               testing_support::att_notification(3, value_for_notification(24)));
    s.controller().deliver_att(link,
                               testing_support::att_notification(3, value_for_notification(23)));
    int at = s.wait_for_id(BLE_GATTC_EVT_HVX, 2000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).params.hvx.len, 20);
    EXPECT_EQ(s.count(BLE_GATTC_EVT_HVX), 1u);

    exchange_mtu(s);
    for (const size_t size : {size_t{151}, size_t{293}, size_t{500}, size_t{600}}) {
        s.controller().deliver_att(
            link, testing_support::att_notification(3, value_for_notification(size)));
    }
    s.controller().deliver_att(link,
                               testing_support::att_notification(3, value_for_notification(150)));
    at = s.wait_for_id(BLE_GATTC_EVT_HVX, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).params.hvx.len, 147);
    EXPECT_EQ(s.count(BLE_GATTC_EVT_HVX), 2u);
    // Five dropped on the link: a line for the first only.
    ASSERT_TRUE(s.wait_until([&] { return lines_with(s, "is dropped") >= 1; }, 2000));
    EXPECT_EQ(lines_with(s,
                         "a notification of 24 bytes on conn_handle 0 is longer than the ATT "
                         "MTU of 23 in force and is dropped (1 so far on this link)"),
              1u);
    EXPECT_EQ(lines_with(s, "is dropped"), 1u);
}

TEST(HciAttSizes, AnIndicationLongerThanTheMtuIsDroppedButConfirmed) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, link), 0);
    std::vector<uint8_t> indication{0x1D, 0x03, 0x00};
    indication.resize(30, 0x66);
    s.controller().deliver_att(link, indication);
    EXPECT_TRUE(
        s.controller().wait_for_att_pdu(link, hci::att_opcode::handle_value_confirmation, 1s));
    ASSERT_TRUE(s.controller().wait_until_delivered(1s));
    ASSERT_TRUE(
        s.wait_until([&] { return lines_with(s, "an indication of 30 bytes") == 1; }, 2000));
    EXPECT_EQ(s.count(BLE_GATTC_EVT_HVX), 0u);
}

TEST(HciAttSizes, AReadAnswerLongerThanTheMtuEndsTheReadAsAnInvalidPdu) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, link);
    ASSERT_EQ(handle, 0);
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_SUCCESS);
    s.controller().deliver_att(link, testing_support::att_read_response(std::vector<uint8_t>(23)));
    int at = s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status,
              BLE_GATT_STATUS_ATTERR_INVALID_PDU);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).params.read_rsp.len, 0);

    exchange_mtu(s);
    for (const size_t size : {size_t{150}, size_t{600}}) {
        ASSERT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_SUCCESS);
        s.controller().deliver_att(link,
                                   testing_support::att_read_response(std::vector<uint8_t>(size)));
        at = s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000, static_cast<size_t>(at) + 1);
        ASSERT_GE(at, 0);
        EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status,
                  BLE_GATT_STATUS_ATTERR_INVALID_PDU)
            << size;
    }
    // The procedure ended: the next read goes out, and a value that fits is a success.
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_SUCCESS);
    s.controller().deliver_att(link, testing_support::att_read_response(std::vector<uint8_t>(149)));
    at = s.wait_for_id(BLE_GATTC_EVT_READ_RSP, 2000, static_cast<size_t>(at) + 1);
    ASSERT_GE(at, 0);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).gatt_status, BLE_GATT_STATUS_SUCCESS);
    EXPECT_EQ(gattc(s.events()[static_cast<size_t>(at)]).params.read_rsp.len, 149);
}

TEST(HciAttSizes, NoValueLongerThanAnAttributeCanBeIsReportedCutShort) {
    hci::gattc_procedure read;
    read.what = hci::gattc_procedure::kind::read;
    read.handle = 3;
    // Within an MTU large enough for it, a value of 513 bytes is still more than any
    // attribute holds.
    std::vector<uint8_t> pdu(1 + 513, 0x11);
    pdu[0] = hci::att_opcode::read_response;
    auto answer = hci::answer_for(1, read, hci::bytes_view(pdu.data(), pdu.size()), 600);
    ASSERT_TRUE(answer.is_answer);
    ASSERT_TRUE(answer.event);
    EXPECT_EQ(answer.event->gattc().gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_PDU);
    pdu.resize(1 + 512);
    answer = hci::answer_for(1, read, hci::bytes_view(pdu.data(), pdu.size()), 600);
    ASSERT_TRUE(answer.event);
    EXPECT_EQ(answer.event->gattc().gatt_status, BLE_GATT_STATUS_SUCCESS);
    EXPECT_EQ(answer.event->gattc().params.read_rsp.len, 512);
    // Discovery answers are held to the MTU too.
    hci::gattc_procedure services;
    services.what = hci::gattc_procedure::kind::services;
    services.start_handle = 1;
    std::vector<uint8_t> list{0x11, 0x06};
    for (uint16_t h = 1; list.size() + 6 <= 30; h += 2) {
        list.insert(list.end(),
                    {static_cast<uint8_t>(h), 0, static_cast<uint8_t>(h + 1), 0, 0x0F, 0x18});
    }
    answer = hci::answer_for(1, services, hci::bytes_view(list.data(), list.size()), 23);
    ASSERT_TRUE(answer.event);
    EXPECT_EQ(answer.event->gattc().gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_PDU);
}

}  // namespace
