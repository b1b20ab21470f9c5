// Events built as the driver delivers them: the tails past the declared one-element
// arrays, the length each buffer gets, and advertising data that travels with its report.
#include <gtest/gtest.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "driver/wire/event_builder.h"

namespace {

using bytes = std::vector<uint8_t>;

ble_gattc_service_t service(uint16_t uuid16, uint16_t start, uint16_t end) {
    ble_gattc_service_t s{};
    s.uuid.uuid = uuid16;
    s.uuid.type = BLE_UUID_TYPE_BLE;
    s.handle_range.start_handle = start;
    s.handle_range.end_handle = end;
    return s;
}

TEST(WireEventBuilder, AListTailHoldsEveryElementWhereTheDeclaredArrayStarts) {
    const std::vector<ble_gattc_service_t> services = {service(0x1800, 1, 5), service(0x1801, 6, 9),
                                                       service(0x180F, 10, 0xFFFF)};
    wire::event_buffer built = wire::build_services_response(7, 0, 0, services);
    const ble_gattc_evt_t& g = built.gattc();
    EXPECT_EQ(built.get()->header.evt_id, BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP);
    EXPECT_EQ(g.conn_handle, 7);
    ASSERT_EQ(g.params.prim_srvc_disc_rsp.count, 3);
    const ble_gattc_service_t* tail = g.params.prim_srvc_disc_rsp.services;
    EXPECT_EQ(tail[0].uuid.uuid, 0x1800);
    EXPECT_EQ(tail[1].handle_range.start_handle, 6);
    EXPECT_EQ(tail[2].uuid.uuid, 0x180F);
    EXPECT_EQ(tail[2].handle_range.end_handle, 0xFFFF);
}

TEST(WireEventBuilder, EventLengthCoversTheTailAndNeverLessThanARecordUnlessExact) {
    const size_t at = offsetof(ble_evt_t, evt.gattc_evt.params.read_rsp.data);
    const bytes small = {1, 2, 3};
    const wire::event_buffer whole = wire::build_read_response(1, 0, 0, 0x10, 0, small);
    EXPECT_EQ(whole.size(), sizeof(ble_evt_t));
    EXPECT_EQ(whole.get()->header.evt_len, sizeof(ble_evt_t));

    const wire::event_buffer exact =
        wire::build_read_response(1, 0, 0, 0x10, 0, small, wire::event_size::exact);
    EXPECT_EQ(exact.size(), at + small.size());
    EXPECT_EQ(exact.get()->header.evt_len, at + small.size());

    const bytes large(sizeof(ble_evt_t), 0xA5);
    const wire::event_buffer long_one = wire::build_read_response(1, 0, 0, 0x10, 0, large);
    EXPECT_EQ(long_one.size(), at + large.size());
}

TEST(WireEventBuilder, AnExactEmptyListEndsBeforeItsFirstElement) {
    const wire::event_buffer none = wire::build_descriptors_response(
        2, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND, 0x21, {}, wire::event_size::exact);
    EXPECT_EQ(none.size(), offsetof(ble_evt_t, evt.gattc_evt.params.desc_disc_rsp.descs));
    EXPECT_LT(none.size(), sizeof(ble_evt_t));
    EXPECT_EQ(none.get()->evt.gattc_evt.params.desc_disc_rsp.count, 0);
    EXPECT_EQ(none.get()->evt.gattc_evt.gatt_status, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(none.get()->evt.gattc_evt.error_handle, 0x21);
}

TEST(WireEventBuilder, ValueEventsCarryTheirBytesAndLength) {
    const bytes value = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    wire::event_buffer read = wire::build_read_response(3, 0, 0, 0x2A, 4, value);
    const ble_gattc_evt_read_rsp_t& r = read.gattc().params.read_rsp;
    EXPECT_EQ(r.handle, 0x2A);
    EXPECT_EQ(r.offset, 4);
    ASSERT_EQ(r.len, value.size());
    EXPECT_EQ(bytes(r.data, r.data + r.len), value);

    wire::event_buffer hvx = wire::build_hvx(3, 0x30, BLE_GATT_HVX_NOTIFICATION, value);
    const ble_gattc_evt_hvx_t& h = hvx.gattc().params.hvx;
    EXPECT_EQ(hvx.get()->header.evt_id, BLE_GATTC_EVT_HVX);
    EXPECT_EQ(h.type, BLE_GATT_HVX_NOTIFICATION);
    ASSERT_EQ(h.len, value.size());
    EXPECT_EQ(bytes(h.data, h.data + h.len), value);

    wire::event_buffer write = wire::build_write_response(3, 0, 0, 0x31, 1, 0, {});
    EXPECT_EQ(write.gattc().params.write_rsp.len, 0);
    EXPECT_EQ(write.gattc().params.write_rsp.handle, 0x31);
}

TEST(WireEventBuilder, AReportWithDataKeepsItAcrossMovesAndAfterTheSourceIsGone) {
    ble_gap_addr_t peer{};
    peer.addr[5] = 0xC0;
    wire::event_buffer moved = [&] {
        bytes data = {0x02, 0x01, 0x06};
        wire::event_buffer built = wire::build_adv_report_with_data(peer, 0, -61, 38, data);
        data.assign(3, 0);
        return built;
    }();
    wire::event_buffer report = std::move(moved);
    const ble_gap_evt_adv_report_t& r = report.gap().params.adv_report;
    EXPECT_EQ(report.gap().conn_handle, BLE_CONN_HANDLE_INVALID);
    EXPECT_EQ(r.rssi, -61);
    EXPECT_EQ(r.ch_index, 38);
    EXPECT_EQ(r.peer_addr.addr[5], 0xC0);
    ASSERT_EQ(r.data.len, 3);
    EXPECT_EQ(bytes(r.data.p_data, r.data.p_data + r.data.len), (bytes{0x02, 0x01, 0x06}));

    const wire::event_buffer empty = wire::build_adv_report_with_data(peer, 0, -61, 38, {});
    EXPECT_EQ(empty.get()->evt.gap_evt.params.adv_report.data.len, 0);
    EXPECT_NE(empty.get()->evt.gap_evt.params.adv_report.data.p_data, nullptr)
        << "the driver always points at its buffer";
}

TEST(WireEventBuilder, AReportPointsAtTheBufferItIsGivenWithoutCopying) {
    uint8_t scan_buffer[31] = {0x02, 0x01, 0x06};
    const wire::event_buffer report =
        wire::build_adv_report(ble_gap_addr_t{}, 0x13, -70, 37, ble_data_t{scan_buffer, 3});
    const ble_gap_evt_adv_report_t& r = report.get()->evt.gap_evt.params.adv_report;
    EXPECT_EQ(r.data.p_data, scan_buffer);
    EXPECT_EQ(report.size(), sizeof(ble_evt_t));
}

}  // namespace
