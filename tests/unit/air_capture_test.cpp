// The pieces of the capture of the simulated air against byte tables: the CRC (vectors
// that tshark's own CRC check accepts, and rejects with one bit changed), channel numbers,
// the link-type-256 pseudo-header, LL and ATT PDUs, and the link layer's sequence numbers
// in a capture written end to end.
#include "sim/air_capture/air_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "driver/ble_gatt.h"
#include "sim/air_capture/att_pdu.h"
#include "sim/air_capture/crc24.h"
#include "sim/air_capture/le_packet.h"
#include "sim/air_capture/ll_pdu.h"
#include "sim/air_capture/rf_channel.h"

using namespace sim::air;
using bytes = std::vector<uint8_t>;

namespace {

std::array<uint8_t, 3> crc_on_air(uint32_t init, const bytes& pdu) {
    return crc24_bytes(crc24(init, pdu.data(), pdu.size()));
}

bytes read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t le32(const bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
           (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The records of a pcap file, each without its record header.
std::vector<bytes> records_of(const bytes& file) {
    std::vector<bytes> out;
    size_t at = 24;
    while (at + 16 <= file.size()) {
        const uint32_t length = le32(file, at + 8);
        at += 16;
        if (at + length > file.size()) break;
        out.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at),
                         file.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return out;
}

std::string temp_path(const std::string& name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

}  // namespace

TEST(AirCaptureCrc, MatchesVectorsThatTsharkChecks) {
    // An ADV_IND (random address 01:02:03:04:05:C6 written backwards, flags 06) and an
    // ADV_NONCONN_IND with manufacturer data: tshark reports the first CRC as 0x3ee9d7 and
    // flags either one as incorrect when any bit of the three bytes changes.
    const bytes adv_ind{0x40, 0x09, 0x01, 0x02, 0x03, 0x04, 0x05, 0xC6, 0x02, 0x01, 0x06};
    EXPECT_EQ(crc24(advertising_crc_init, adv_ind.data(), adv_ind.size()), 0x3EE9D7u);
    EXPECT_EQ(crc_on_air(advertising_crc_init, adv_ind),
              (std::array<uint8_t, 3>{0x7C, 0x97, 0xEB}));
    const bytes nonconn{0x42, 0x0C, 0x4D, 0x51, 0x00, 0xEE, 0xFF,
                        0xC0, 0x05, 0xFF, 0xFF, 0xFF, 0x01, 0x02};
    EXPECT_EQ(crc_on_air(advertising_crc_init, nonconn),
              (std::array<uint8_t, 3>{0x48, 0x33, 0xB3}));
    // The init value takes part bit for bit: another init gives another CRC.
    EXPECT_NE(crc24(0x123456, adv_ind.data(), adv_ind.size()), 0x3EE9D7u);
}

TEST(AirCaptureChannels, AdvertisingChannelsSitBetweenDataChannelsInRfNumbering) {
    EXPECT_EQ(rf_channel(37), 0);
    EXPECT_EQ(rf_channel(38), 12);
    EXPECT_EQ(rf_channel(39), 39);
    EXPECT_EQ(rf_channel(0), 1);
    EXPECT_EQ(rf_channel(10), 11);
    EXPECT_EQ(rf_channel(11), 13);
    EXPECT_EQ(rf_channel(36), 38);
    // Channel selection #1 over all 37 channels: the hop once per event from channel 0.
    EXPECT_EQ(hopped_channel(0, 7), 7);
    EXPECT_EQ(hopped_channel(1, 7), 14);
    EXPECT_EQ(hopped_channel(5, 7), 5);  // 42 mod 37
    EXPECT_EQ(hopped_channel(36, 16), 0);
    for (int64_t k = 0; k < 100; ++k) EXPECT_LT(hopped_channel(k, 16), data_channels);
}

TEST(AirCapturePacket, PseudoHeaderThenAccessAddressPduAndCrc) {
    le_packet p;
    p.rf_channel = 12;
    p.signal = -60;
    p.access_address = advertising_access_address;
    p.crc_init = advertising_crc_init;
    p.pdu = {0x40, 0x09, 0x01, 0x02, 0x03, 0x04, 0x05, 0xC6, 0x02, 0x01, 0x06};
    const bytes expected{12,   0xC4, 0,    0,     // channel, signal, noise, offenses
                         0xD6, 0xBE, 0x89, 0x8E,  // reference access address
                         0x13, 0x0C,              // flags
                         0xD6, 0xBE, 0x89, 0x8E,  // access address
                         0x40, 0x09, 0x01, 0x02, 0x03, 0x04, 0x05,
                         0xC6, 0x02, 0x01, 0x06, 0x7C, 0x97, 0xEB};
    EXPECT_EQ(le_packet_bytes(p), expected);

    // Data PDUs carry their direction in bits 7-9; no signal from the dongle's own side.
    p.signal.reset();
    p.direction = pdu_direction::central_to_peripheral;
    bytes b = le_packet_bytes(p);
    EXPECT_EQ(b[8] | (b[9] << 8), 0x0C11 | (2 << 7));
    p.signal = -40;
    p.direction = pdu_direction::peripheral_to_central;
    b = le_packet_bytes(p);
    EXPECT_EQ(b[8] | (b[9] << 8), 0x0C13 | (3 << 7));
    EXPECT_EQ(static_cast<int8_t>(b[1]), -40);
}

TEST(AirCapturePdus, ConnectIndAndControlPdusByteForByte) {
    connect_request r;
    r.initiator = dongle_address;
    r.advertiser = {0x01, 0x3C, 0x91, 0x0A, 0x4F, 0xD2};
    r.access_address = 0x50654B3A;
    r.crc_init = 0x123456;
    r.win_size = 1;
    r.win_offset = 3;
    r.interval = 24;
    r.latency = 0;
    r.timeout = 400;
    r.hop = 9;
    r.sca = 5;
    const bytes payload = connect_ind_payload(r);
    const bytes expected{0x4D, 0x51, 0x00, 0xEE, 0xFF, 0xC0, 0x01, 0x3C, 0x91, 0x0A, 0x4F, 0xD2,
                         0x3A, 0x4B, 0x65, 0x50, 0x56, 0x34, 0x12, 0x01, 0x03, 0x00, 0x18, 0x00,
                         0x00, 0x00, 0x90, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F, 0xA9};
    EXPECT_EQ(payload, expected);
    const bytes pdu = advertising_pdu(adv_pdu_type::connect_ind, true, true, payload);
    EXPECT_EQ(pdu[0], 0xC5);
    EXPECT_EQ(pdu[1], 34);

    connection_update u;
    u.interval = 40;
    u.timeout = 400;
    u.instant = 0x1234;
    EXPECT_EQ(ll_connection_update_ind(u),
              (bytes{0x00, 0x01, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x90, 0x01, 0x34, 0x12}));
    EXPECT_EQ(ll_terminate_ind(0x13), (bytes{0x02, 0x13}));

    data_header h;
    h.llid = llid::start;
    h.sn = true;
    h.md = true;
    EXPECT_EQ(data_pdu(h, {0xAA}), (bytes{0x1A, 0x01, 0xAA}));
    h = data_header{};
    h.llid = llid::control;
    h.nesn = true;
    EXPECT_EQ(data_pdu(h, {}), (bytes{0x07, 0x00}));
}

TEST(AirCaptureAtt, FindInformationCarriesTheRangeAndTheTypesInTheirFormat) {
    sim::gatt_request find;
    find.procedure = sim::gatt_procedure::descriptors;
    find.handle = 0x0011;
    find.end_handle = 0x0013;
    EXPECT_EQ(att_request(find), (bytes{0x04, 0x11, 0x00, 0x13, 0x00}));

    sim::descriptors_response found;
    found.descs.push_back({0x0012, {0x2901, BLE_UUID_TYPE_BLE}});
    found.descs.push_back({0x0013, {0x2902, BLE_UUID_TYPE_BLE}});
    EXPECT_EQ(att_answer(find, found, {}),
              (bytes{0x05, 0x01, 0x12, 0x00, 0x01, 0x29, 0x13, 0x00, 0x02, 0x29}));

    // A 128-bit type comes from the database, in format 2.
    sim::gatt_service_def service;
    sim::gatt_characteristic_def value;
    value.value_handle = 0x0011;
    value.uuid.is_128 = true;
    for (uint8_t i = 0; i < 16; ++i) value.uuid.bytes[i] = i;
    service.characteristics.push_back(value);
    sim::descriptors_response long_type;
    long_type.descs.push_back({0x0011, {0, BLE_UUID_TYPE_UNKNOWN}});
    bytes expected{0x05, 0x02, 0x11, 0x00};
    for (uint8_t i = 0; i < 16; ++i) expected.push_back(i);
    EXPECT_EQ(att_answer(find, long_type, {service}), expected);

    sim::descriptors_response none;
    none.status = BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND;
    none.error_handle = 0x0011;
    EXPECT_EQ(att_answer(find, none, {}), (bytes{0x01, 0x04, 0x11, 0x00, 0x0A}));
}

TEST(AirCaptureAtt, RequestsAndAnswersCarryTheRightOpcodesHandlesAndValues) {
    sim::gatt_request services;
    services.procedure = sim::gatt_procedure::services;
    services.handle = 1;
    EXPECT_EQ(att_request(services), (bytes{0x10, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28}));
    sim::gatt_request by_uuid = services;
    by_uuid.service_uuid = 0x180D;
    EXPECT_EQ(att_request(by_uuid), (bytes{0x06, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28, 0x0D, 0x18}));

    sim::gatt_request chars;
    chars.procedure = sim::gatt_procedure::characteristics;
    chars.handle = 10;
    chars.end_handle = 0x14;
    EXPECT_EQ(att_request(chars), (bytes{0x08, 0x0A, 0x00, 0x14, 0x00, 0x03, 0x28}));

    sim::gatt_request read;
    read.procedure = sim::gatt_procedure::read;
    read.handle = 0x0C;
    EXPECT_EQ(att_request(read), (bytes{0x0A, 0x0C, 0x00}));
    read.offset = 22;
    EXPECT_EQ(att_request(read), (bytes{0x0C, 0x0C, 0x00, 0x16, 0x00}));

    sim::gatt_request write;
    write.procedure = sim::gatt_procedure::write;
    write.handle = 0x0F;
    write.write_op = BLE_GATT_OP_WRITE_REQ;
    write.value = {0x01, 0x00};
    EXPECT_EQ(att_request(write), (bytes{0x12, 0x0F, 0x00, 0x01, 0x00}));
    write.write_op = BLE_GATT_OP_WRITE_CMD;
    EXPECT_EQ(att_request(write), (bytes{0x52, 0x0F, 0x00, 0x01, 0x00}));
    sim::write_response written;
    EXPECT_FALSE(att_answer(write, written, {}).has_value());  // a command is never answered
    write.write_op = BLE_GATT_OP_WRITE_REQ;
    EXPECT_EQ(att_answer(write, written, {}), (bytes{0x13}));

    // Services: 16-bit UUIDs as reported; a 128-bit one from the phone's database.
    sim::services_response found;
    found.services.push_back({{0x1800, BLE_UUID_TYPE_BLE}, {1, 5}});
    found.services.push_back({{0x1801, BLE_UUID_TYPE_BLE}, {6, 9}});
    EXPECT_EQ(att_answer(services, found, {}), (bytes{0x11, 0x06, 0x01, 0x00, 0x05, 0x00, 0x00,
                                                      0x18, 0x06, 0x00, 0x09, 0x00, 0x01, 0x18}));
    sim::gatt_service_def vendor;
    vendor.start_handle = 10;
    vendor.end_handle = 20;
    ASSERT_TRUE(sim::gatt_uuid::parse128("00112233445566778899aabbccddeeff", vendor.uuid));
    sim::services_response vendor_found;
    vendor_found.services.push_back({{0xCCDD, BLE_UUID_TYPE_VENDOR_BEGIN}, {10, 20}});
    const auto vendor_answer = att_answer(services, vendor_found, {vendor});
    ASSERT_TRUE(vendor_answer.has_value());
    ASSERT_EQ(vendor_answer->size(), 2u + 4u + 16u);
    EXPECT_EQ((*vendor_answer)[1], 20);
    EXPECT_EQ((*vendor_answer)[6], 0xFF);  // least significant byte first
    EXPECT_EQ((*vendor_answer)[21], 0x00);

    // Failures become an Error Response naming the request, the handle and the ATT code.
    sim::services_response done;
    done.status = BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND;
    done.error_handle = 21;
    EXPECT_EQ(att_answer(services, done, {}), (bytes{0x01, 0x10, 0x15, 0x00, 0x0A}));
    sim::read_response refused;
    refused.status = BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED;
    refused.error_handle = 0x0C;
    EXPECT_EQ(att_answer(read, refused, {}), (bytes{0x01, 0x0C, 0x0C, 0x00, 0x02}));

    sim::characteristics_response chars_found;
    ble_gattc_char_t c{};
    c.uuid = {0x2A00, BLE_UUID_TYPE_BLE};
    c.char_props.read = 1;
    c.char_props.notify = 1;
    c.handle_decl = 2;
    c.handle_value = 3;
    chars_found.chars.push_back(c);
    EXPECT_EQ(att_answer(chars, chars_found, {}),
              (bytes{0x09, 0x07, 0x02, 0x00, 0x12, 0x03, 0x00, 0x00, 0x2A}));

    EXPECT_EQ(att_notification({0x0E, {0xAB, 0xCD}}), (bytes{0x1B, 0x0E, 0x00, 0xAB, 0xCD}));
    EXPECT_EQ(l2cap_att_frame({0x0A, 0x03, 0x00}),
              (bytes{0x03, 0x00, 0x04, 0x00, 0x0A, 0x03, 0x00}));
}

TEST(AirCaptureFile, PacketsInTimeOrderWithSequenceNumbersOfEveryExchange) {
    const std::string path = temp_path("orvette_air_capture_unit.pcap");
    std::string error;
    auto capture = air_capture::open(path, false, 7, 1'000'000'000'000, error);
    ASSERT_NE(capture, nullptr) << error;
    const device_address phone{0x01, 0x3C, 0x91, 0x0A, 0x4F, 0xD2};
    capture->advertisement(1000, 38, true, phone, true, {0x02, 0x01, 0x06}, -55);
    sim::air::new_link link;
    link.link = 1;
    link.peer = phone;
    link.params = {24, 24, 0, 400};
    link.hop = 7;
    link.first_event = 1000 + 1250 + 2000;
    capture->connection(1000, 38, link);
    const auto event = [&](int64_t k) {
        return link_event{1, k, link.first_event + k * 30000, -55};
    };
    sim::gatt_request read;
    read.procedure = sim::gatt_procedure::read;
    read.handle = 3;
    sim::read_response value;
    value.data = {0x42};
    // Reported out of order: the answer is planned before the notification of an earlier
    // event is sent.
    capture->request(event(3), read);
    capture->answer(event(5), read, value, {});
    capture->notification(event(4), {0x0E, {0x01}});
    capture->terminate(event(6), true, 0x13);
    capture->link_end(event(7));
    capture->close();

    const bytes file = read_all(path);
    std::remove(path.c_str());
    ASSERT_GE(file.size(), 24u);
    EXPECT_EQ(le32(file, 0), 0xA1B2C3D4u);
    EXPECT_EQ(le32(file, 20), 256u);
    const auto records = records_of(file);
    ASSERT_EQ(records.size(), 6u);
    // ADV_IND, then the CONNECT_IND on the same RF channel (38 is RF 12).
    EXPECT_EQ(records[0][0], 12);
    EXPECT_EQ(records[0][14] & 0x0F, adv_pdu_type::adv_ind);
    EXPECT_EQ(records[1][0], 12);
    EXPECT_EQ(records[1][14] & 0x0F, adv_pdu_type::connect_ind);
    // Timestamps: epoch plus simulated time.
    const size_t first_record = 24;
    EXPECT_EQ(le32(file, first_record), 1'000'000u);
    EXPECT_EQ(le32(file, first_record + 4), 1000u);

    // Then one PDU per event, in event order; with an empty PDU each way in every other
    // event, exchange n has SN = NESN = n mod 2 from the central and NESN = SN + 1 from the
    // peripheral.
    struct expected_pdu {
        int type_bits;  // 2 central to peripheral, 3 the other way
        int llid;
        bool sn;
        bool nesn;
        uint8_t first_payload_byte;
        int64_t event;
    };
    const std::vector<expected_pdu> wanted = {
        {2, llid::start, true, true, 0x03, 3},      // Read Request in L2CAP (length 3)
        {3, llid::start, false, true, 0x04, 4},     // notification
        {3, llid::start, true, false, 0x02, 5},     // Read Response
        {2, llid::control, false, false, 0x02, 6},  // LL_TERMINATE_IND
    };
    for (size_t i = 0; i < wanted.size(); ++i) {
        SCOPED_TRACE(i);
        const bytes& r = records[2 + i];
        const uint16_t flags = static_cast<uint16_t>(r[8] | (r[9] << 8));
        EXPECT_EQ((flags >> 7) & 0x7, wanted[i].type_bits);
        EXPECT_EQ(le32(r, 10), le32(records[1], 14 + 2 + 12));  // the CONNECT_IND's address
        const uint8_t header = r[14];
        EXPECT_EQ(header & 0x03, wanted[i].llid);
        EXPECT_EQ((header & 0x08) != 0, wanted[i].sn);
        EXPECT_EQ((header & 0x04) != 0, wanted[i].nesn);
        EXPECT_EQ(header & 0x10, 0);  // nothing more in these events
        EXPECT_EQ(r[16], wanted[i].first_payload_byte);
        EXPECT_EQ(r[0], rf_channel(hopped_channel(wanted[i].event, 7)));
    }
    EXPECT_EQ(records[5][17], 0x13);  // the terminate's reason
}

TEST(AirCaptureFile, EmptyPdusFillEveryEventWhenAskedFor) {
    const std::string path = temp_path("orvette_air_capture_empty.pcap");
    std::string error;
    auto capture = air_capture::open(path, true, 7, 0, error);
    ASSERT_NE(capture, nullptr) << error;
    sim::air::new_link link;
    link.link = 4;
    link.params = {6, 6, 0, 100};
    link.first_event = 5000;
    capture->connection(2000, 37, link);
    // Two requests and a notification in event 2, then the end after event 4.
    const link_event e2{4, 2, 5000 + 2 * 7500, -70};
    sim::gatt_request read;
    read.procedure = sim::gatt_procedure::read;
    read.handle = 3;
    capture->request(e2, read);
    capture->notification(e2, {0x0E, {0x01}});
    capture->request(e2, read);
    capture->link_end({4, 4, 5000 + 4 * 7500, -70});
    capture->close();
    const auto records = records_of(read_all(path));
    std::remove(path.c_str());
    // CONNECT_IND; events 0 and 1 empty both ways; event 2: request, notification,
    // request, empty answer; events 3 and 4 empty both ways.
    ASSERT_EQ(records.size(), 1u + 4u + 4u + 4u);
    const bytes& first_request = records[5];
    EXPECT_EQ(first_request[14] & 0x10, 0x10);  // more data follows in the event
    const bytes& last_empty = records[8];
    EXPECT_EQ(last_empty[15], 0);  // empty
    EXPECT_EQ((last_empty[8] | (last_empty[9] << 8)) >> 7 & 0x7, 3);
}

TEST(AirCaptureFile, AFileThatCannotBeWrittenSaysWhich) {
    std::string error;
    EXPECT_EQ(air_capture::open("/nonexistent/orvette/air.pcap", false, 1, 0, error), nullptr);
    EXPECT_NE(error.find("/nonexistent/orvette/air.pcap"), std::string::npos) << error;
}
