// The simulated phone's GATT server against the client procedures the program runs.
#include "sim/phone/phone_gatt.h"

#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "driver/ble_gatt.h"
#include "driver/ble_types.h"
#include "driver/wire/uuid_text.h"

namespace {

const std::string phone_uuid = "11223344556677889900AABBCCDDEEFF";

// The UUID text the program builds from 16 little-endian bytes.
std::string uuid_text(const std::vector<uint8_t>& bytes, size_t first) {
    return wire::uuid128_text(bytes.data() + first);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ends_discovery(uint16_t status) {
    return status == BLE_GATT_STATUS_ATTERR_INVALID_HANDLE ||
           status == BLE_GATT_STATUS_ATTERR_INVALID_PDU ||
           status == BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND;
}

struct walked_char {
    uint16_t decl;
    uint16_t value;
    std::string uuid;  // from the declaration read, empty for 16-bit
};

struct walk_result {
    std::vector<ble_gattc_service_t> services;
    std::vector<std::string> service_uuids;  // read for 128-bit services
    std::vector<walked_char> chars;
    int service_requests = 0;
    int char_requests = 0;
};

// Discovery the way the program does it: services from handle 1 continued after the last
// end handle, characteristics over [first service start, 0xFFFF] continued after the last
// declaration, then a declaration read for each 128-bit service and every characteristic.
walk_result walk(sim::phone_gatt& phone) {
    walk_result out;
    uint32_t start = 1;
    for (;;) {
        sim::services_response rsp = phone.discover_primary_services(static_cast<uint16_t>(start));
        ++out.service_requests;
        if (ends_discovery(rsp.status) || out.service_requests > 50) break;
        EXPECT_EQ(rsp.status, 0);
        EXPECT_FALSE(rsp.services.empty());
        for (const auto& s : rsp.services) out.services.push_back(s);
        start = (rsp.services.back().handle_range.end_handle + 1u) & 0xFFFF;
    }
    if (out.services.empty()) return out;
    start = out.services.front().handle_range.start_handle;
    for (;;) {
        sim::characteristics_response rsp =
            phone.discover_characteristics(static_cast<uint16_t>(start), 0xFFFF);
        ++out.char_requests;
        if (rsp.status != 0 || out.char_requests > 50) {
            EXPECT_EQ(rsp.status, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
            break;
        }
        for (const auto& c : rsp.chars) out.chars.push_back({c.handle_decl, c.handle_value, ""});
        start = (rsp.chars.back().handle_decl + 1u) & 0xFFFF;
    }
    for (const auto& s : out.services) {
        if (s.uuid.type != BLE_UUID_TYPE_UNKNOWN) continue;
        sim::read_response rsp = phone.read(s.handle_range.start_handle, 0);
        EXPECT_EQ(rsp.status, 0);
        EXPECT_EQ(rsp.data.size(), 16u);
        if (rsp.data.size() == 16) out.service_uuids.push_back(uuid_text(rsp.data, 0));
    }
    for (auto& c : out.chars) {
        sim::read_response rsp = phone.read(c.decl, 0);
        EXPECT_EQ(rsp.status, 0);
        EXPECT_EQ(rsp.handle, c.decl);
        if (rsp.data.size() == 19) {
            EXPECT_EQ(rsp.data[1] | (rsp.data[2] << 8), c.value);
            c.uuid = uuid_text(rsp.data, 3);
        } else {
            EXPECT_EQ(rsp.data.size(), 5u);
        }
    }
    return out;
}

uint16_t value_handle_of(const walk_result& walked, const char* uuid) {
    for (const auto& c : walked.chars) {
        if (c.uuid == lower(uuid)) return c.value;
    }
    return 0;
}

TEST(PhoneGattStandardProfile, DiscoveryWalkFindsTheAuthenticationService) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile(phone_uuid);
    walk_result walked = walk(phone);

    // 16-bit services share one response; the 128-bit one needs its own; then not found.
    ASSERT_EQ(walked.services.size(), 3u);
    EXPECT_EQ(walked.service_requests, 3);
    EXPECT_EQ(walked.services[0].uuid.type, BLE_UUID_TYPE_BLE);
    EXPECT_EQ(walked.services[0].uuid.uuid, 0x1800);
    EXPECT_EQ(walked.services[1].uuid.uuid, 0x1801);
    EXPECT_EQ(walked.services[2].uuid.type, BLE_UUID_TYPE_UNKNOWN);
    EXPECT_EQ(walked.services[2].uuid.uuid, 0);
    ASSERT_EQ(walked.service_uuids.size(), 1u);
    EXPECT_EQ(walked.service_uuids[0], lower(phone_uuid));

    // Three 16-bit declarations in one response, then one 128-bit per response.
    ASSERT_EQ(walked.chars.size(), 6u);
    EXPECT_EQ(walked.char_requests, 5);
    for (size_t i = 0; i + 1 < walked.chars.size(); ++i) {
        EXPECT_LT(walked.chars[i].decl, walked.chars[i + 1].decl);
    }

    // Every characteristic lies inside exactly one service range, so none is UNFOUND.
    for (const auto& c : walked.chars) {
        int holders = 0;
        for (const auto& s : walked.services) {
            holders +=
                s.handle_range.start_handle <= c.decl && c.value <= s.handle_range.end_handle;
        }
        EXPECT_EQ(holders, 1) << "characteristic at " << c.decl;
    }

    const uint16_t feature = value_handle_of(walked, sim::feature_uuid_text);
    const uint16_t challenge = value_handle_of(walked, sim::challenge_uuid_text);
    const uint16_t response = value_handle_of(walked, sim::response_uuid_text);
    ASSERT_NE(feature, 0);
    ASSERT_NE(challenge, 0);
    ASSERT_NE(response, 0);

    sim::read_response value = phone.read(feature, 0);
    EXPECT_EQ(value.status, 0);
    EXPECT_EQ(value.data.size(), 1u);
    // The program takes the CCCD to sit right after the 'response' value.
    EXPECT_EQ(phone.cccd_value(response + 1), 0);
    EXPECT_EQ(phone.read(response + 1, 0).data, (std::vector<uint8_t>{0, 0}));
}

TEST(PhoneGattStandardProfile, ChallengeIsAnsweredOnlyWhileNotificationsAreOn) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile(phone_uuid);
    walk_result walked = walk(phone);
    const uint16_t challenge = value_handle_of(walked, sim::challenge_uuid_text);
    const uint16_t response = value_handle_of(walked, sim::response_uuid_text);
    const std::vector<uint8_t> zeros(19, 0);
    std::vector<sim::notification> out;

    // Notifications off: the write takes effect but nothing comes back.
    sim::write_response w = phone.write(BLE_GATT_OP_WRITE_CMD, challenge, 0, zeros, out);
    EXPECT_EQ(w.status, 0);
    EXPECT_TRUE(out.empty());

    w = phone.write(BLE_GATT_OP_WRITE_REQ, response + 1, 0, {0x01, 0x00}, out);
    EXPECT_EQ(w.status, 0);
    EXPECT_FALSE(w.silent);
    EXPECT_EQ(w.handle, response + 1);
    EXPECT_EQ(w.write_op, BLE_GATT_OP_WRITE_REQ);
    EXPECT_EQ(phone.cccd_value(response + 1), 0x0001);
    EXPECT_TRUE(out.empty());

    phone.write(BLE_GATT_OP_WRITE_CMD, challenge, 0, zeros, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].handle, response);
    EXPECT_EQ(out[0].data.size(), 20u);
    // Deterministic: the same challenge gets the same answer; another challenge another.
    phone.write(BLE_GATT_OP_WRITE_REQ, challenge, 0, zeros, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].data, out[0].data);
    phone.write(BLE_GATT_OP_WRITE_CMD, challenge, 0, std::vector<uint8_t>(19, 7), out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_NE(out[2].data, out[0].data);

    out.clear();
    phone.write(BLE_GATT_OP_WRITE_REQ, response + 1, 0, {0x00, 0x00}, out);
    phone.write(BLE_GATT_OP_WRITE_CMD, challenge, 0, zeros, out);
    EXPECT_TRUE(out.empty());
}

TEST(PhoneGattStandardProfile, DisconnectClearsCccds) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile(phone_uuid);
    walk_result walked = walk(phone);
    const uint16_t challenge = value_handle_of(walked, sim::challenge_uuid_text);
    const uint16_t response = value_handle_of(walked, sim::response_uuid_text);
    std::vector<sim::notification> out;
    phone.write(BLE_GATT_OP_WRITE_REQ, response + 1, 0, {0x01, 0x00}, out);
    phone.on_disconnect();
    EXPECT_EQ(phone.cccd_value(response + 1), 0);
    phone.write(BLE_GATT_OP_WRITE_CMD, challenge, 0, std::vector<uint8_t>(19, 0), out);
    EXPECT_TRUE(out.empty());
    // A new connection discovers the same database.
    walk_result again = walk(phone);
    EXPECT_EQ(again.chars.size(), walked.chars.size());
}

TEST(PhoneGattStandardProfile, HandleErrors) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile(phone_uuid);
    std::vector<sim::notification> out;

    sim::services_response s = phone.discover_primary_services(0);
    EXPECT_EQ(s.status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_TRUE(s.services.empty());
    s = phone.discover_primary_services(0x0012);
    EXPECT_EQ(s.status, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(s.error_handle, 0x0012);
    // From the middle of a service: only services that start at or after it.
    s = phone.discover_primary_services(0x0002);
    ASSERT_EQ(s.services.size(), 1u);
    EXPECT_EQ(s.services[0].uuid.uuid, 0x1801);

    sim::characteristics_response c = phone.discover_characteristics(0, 0xFFFF);
    EXPECT_EQ(c.status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    c = phone.discover_characteristics(9, 8);
    EXPECT_EQ(c.status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_EQ(c.error_handle, 9);
    c = phone.discover_characteristics(0xFFFF, 0xFFFF);
    EXPECT_EQ(c.status, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(c.error_handle, 0xFFFF);
    // The range end is honoured: declarations past it are not listed.
    c = phone.discover_characteristics(1, 3);
    ASSERT_EQ(c.chars.size(), 1u);
    EXPECT_EQ(c.chars[0].handle_decl, 2);

    EXPECT_EQ(phone.read(0, 0).status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    sim::read_response r = phone.read(0x0100, 0);
    EXPECT_EQ(r.status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_EQ(r.error_handle, 0x0100);
    EXPECT_TRUE(r.data.empty());

    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, 0x0100, 0, {1, 0}, out).status,
              BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, 0, 0, {1, 0}, out).status,
              BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
}

TEST(PhoneGattStandardProfile, ReadsHonourPermissionsOffsetsAndMtu) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile(phone_uuid);
    walk_result walked = walk(phone);
    const uint16_t challenge = value_handle_of(walked, sim::challenge_uuid_text);
    const uint16_t response = value_handle_of(walked, sim::response_uuid_text);
    std::vector<sim::notification> out;

    // Write-only and notify-only values cannot be read; their declarations can.
    EXPECT_EQ(phone.read(challenge, 0).status, BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED);
    EXPECT_EQ(phone.read(response, 0).status, BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED);
    EXPECT_EQ(phone.read(challenge - 1, 0).data.size(), 19u);

    // A 128-bit service declaration read from the middle: the rest, then empty, then error.
    const uint16_t auth = walked.services[2].handle_range.start_handle;
    EXPECT_EQ(phone.read(auth, 10).data.size(), 6u);
    EXPECT_EQ(phone.read(auth, 16).status, 0);
    EXPECT_TRUE(phone.read(auth, 16).data.empty());
    sim::read_response r = phone.read(auth, 17);
    EXPECT_EQ(r.status, BLE_GATT_STATUS_ATTERR_INVALID_OFFSET);
    EXPECT_EQ(r.error_handle, auth);
    EXPECT_EQ(phone.read(auth, 0xFFFF).status, BLE_GATT_STATUS_ATTERR_INVALID_OFFSET);

    // Declarations are not writable; neither is a read-only value.
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, auth, 0, {1}, out).status,
              BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
    const uint16_t feature = value_handle_of(walked, sim::feature_uuid_text);
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, feature, 0, {9}, out).status,
              BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
    EXPECT_EQ(phone.read(feature, 0).data, (std::vector<uint8_t>{0x01}));
}

TEST(PhoneGattStandardProfile, MalformedCccdWritesAreRefused) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile(phone_uuid);
    const uint16_t cccd = 0x0011;
    std::vector<sim::notification> out;
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, cccd, 0, {0x01}, out).status,
              BLE_GATT_STATUS_ATTERR_INVALID_ATT_VAL_LENGTH);
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, cccd, 0, {0x01, 0x00, 0x00}, out).status,
              BLE_GATT_STATUS_ATTERR_INVALID_ATT_VAL_LENGTH);
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, cccd, 1, {0x01, 0x00}, out).status,
              BLE_GATT_STATUS_ATTERR_INVALID_OFFSET);
    EXPECT_EQ(phone.cccd_value(cccd), 0);
    // A value longer than one write PDU carries.
    EXPECT_EQ(
        phone.write(BLE_GATT_OP_WRITE_CMD, 0x000E, 0, std::vector<uint8_t>(21, 0), out).status,
        BLE_GATT_STATUS_ATTERR_INVALID_ATT_VAL_LENGTH);
    EXPECT_EQ(phone.write(0x04, 0x000E, 0, {1}, out).status,
              BLE_GATT_STATUS_ATTERR_REQUEST_NOT_SUPPORTED);
    EXPECT_TRUE(out.empty());
}

TEST(PhoneGattStandardProfile, BadPhoneUuidStillGivesA128BitService) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile("not a uuid");
    ASSERT_EQ(phone.services().size(), 3u);
    EXPECT_TRUE(phone.services()[2].uuid.is_128);
    EXPECT_EQ(phone.att_mtu(), 23);
}

TEST(PhoneGattEmpty, EveryProcedureEndsAtOnce) {
    sim::phone_gatt phone;
    std::vector<sim::notification> out;
    EXPECT_EQ(phone.discover_primary_services(1).status,
              BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(phone.discover_characteristics(1, 0xFFFF).status,
              BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(phone.read(1, 0).status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, 1, 0, {}, out).status,
              BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
}

// The authentication service with a User Description between 'response' and its CCCD:
// service 0x0001, 'challenge' 0x0002/0x0003, 'response' 0x0004/0x0005, 0x2901 at 0x0006 and
// the CCCD at 0x0007.
sim::phone_gatt described_response_phone() {
    const auto gatt = nlohmann::json::parse(R"({"services": [{"uuid": "phone",
        "characteristics": [
          {"uuid": "challenge", "properties": ["write_without_response"]},
          {"uuid": "response", "properties": ["notify"],
           "descriptors": [{"uuid": "2901", "value": "41"}, {"uuid": "2902"}]}]}]})");
    sim::phone_gatt phone;
    std::string error;
    EXPECT_TRUE(sim::phone_gatt::from_json(gatt, phone_uuid, phone, error)) << error;
    return phone;
}

TEST(PhoneGattDescriptors, FindInformationListsWhatTheRangeHoldsInOneFormatPerAnswer) {
    sim::phone_gatt phone = described_response_phone();
    sim::descriptors_response after_value = phone.discover_descriptors(0x0006, 0x0007);
    EXPECT_EQ(after_value.status, 0);
    ASSERT_EQ(after_value.descs.size(), 2u);
    EXPECT_EQ(after_value.descs[0].handle, 0x0006);
    EXPECT_EQ(after_value.descs[0].uuid.type, BLE_UUID_TYPE_BLE);
    EXPECT_EQ(after_value.descs[0].uuid.uuid, 0x2901);
    EXPECT_EQ(after_value.descs[1].handle, 0x0007);
    EXPECT_EQ(after_value.descs[1].uuid.uuid, 0x2902);
    // The switch the program writes now lands on the CCCD, not the description.
    std::vector<sim::notification> out;
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, 0x0006, 0, {1, 0}, out).status,
              BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, 0x0007, 0, {1, 0}, out).status, 0);
    EXPECT_EQ(phone.cccd_value(0x0007), 1);

    // Declarations count too; a 128-bit value stops a list of 16-bit types and comes alone.
    sim::descriptors_response whole = phone.discover_descriptors(0x0001, 0xFFFF);
    ASSERT_EQ(whole.descs.size(), 2u);
    EXPECT_EQ(whole.descs[0].uuid.uuid, 0x2800);
    EXPECT_EQ(whole.descs[1].uuid.uuid, 0x2803);
    sim::descriptors_response value = phone.discover_descriptors(0x0005, 0xFFFF);
    ASSERT_EQ(value.descs.size(), 1u);
    EXPECT_EQ(value.descs[0].uuid.type, BLE_UUID_TYPE_UNKNOWN);

    EXPECT_EQ(phone.discover_descriptors(0x0008, 0xFFFF).status,
              BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(phone.discover_descriptors(0x0008, 0xFFFF).error_handle, 0x0008);
    EXPECT_EQ(phone.discover_descriptors(0, 0xFFFF).status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    EXPECT_EQ(phone.discover_descriptors(7, 6).status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
}

TEST(PhoneGattDescriptors, AtTheDefaultMtuFiveSixteenBitTypesFitInOneAnswer) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile(phone_uuid);
    // Generic Access and Generic Attribute: all 16-bit, nine attributes.
    sim::descriptors_response first = phone.discover_descriptors(0x0001, 0x0009);
    ASSERT_EQ(first.descs.size(), 5u);
    EXPECT_EQ(first.descs[4].handle, 0x0005);
}

}  // namespace
