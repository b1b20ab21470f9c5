// Scenario "gatt" values: databases, scripted misbehaviour and the errors for bad input.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/ble_gatt.h"
#include "driver/ble_types.h"
#include "sim/phone/phone_gatt.h"

namespace {

using nlohmann::json;

const std::string phone_uuid = "0123456789ABCDEF0123456789ABCDEF";

sim::phone_gatt parse(const json& value) {
    sim::phone_gatt phone;
    std::string error;
    EXPECT_TRUE(sim::phone_gatt::from_json(value, phone_uuid, phone, error)) << error;
    return phone;
}

std::string parse_error(const json& value) {
    sim::phone_gatt phone = sim::phone_gatt::standard_profile(phone_uuid);
    std::string error;
    EXPECT_FALSE(sim::phone_gatt::from_json(value, phone_uuid, phone, error)) << value.dump();
    // A failed parse leaves the target as it was.
    EXPECT_EQ(phone.services().size(), 3u);
    return error;
}

json authentication_service() {
    return json::parse(R"({"uuid": "phone", "characteristics": [
        {"uuid": "feature", "properties": ["read"], "value": "05"},
        {"uuid": "challenge", "properties": ["write_without_response"]},
        {"uuid": "response", "properties": ["notify"], "cccd": true}]})");
}

TEST(GattJson, NullOrEmptyObjectIsTheStandardProfile) {
    for (const json& value : {json(), json::object()}) {
        sim::phone_gatt phone = parse(value);
        ASSERT_EQ(phone.services().size(), 3u);
        EXPECT_EQ(phone.services()[2].start_handle, 0x000A);
        EXPECT_EQ(phone.services()[2].uuid.bytes[15], 0x01);  // phone UUID, most significant
    }
}

TEST(GattJson, AutomaticAndExplicitHandles) {
    json value = {
        {"services",
         json::array({{{"uuid", "180A"}, {"start", "0x0010"}},
                      authentication_service(),
                      {{"uuid", "180F"},
                       {"start", 0x40},
                       {"end", 0x50},
                       {"characteristics",
                        json::array({{{"uuid", "2A19"},
                                      {"handle", 0x45},
                                      {"descriptors", json::array({{{"uuid", "2904"},
                                                                    {"value", "04 00"}}})}}})}}})}};
    sim::phone_gatt phone = parse(value);
    const auto& s = phone.services();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].start_handle, 0x10);
    EXPECT_EQ(s[0].end_handle, 0x10);
    EXPECT_EQ(s[1].start_handle, 0x11);
    ASSERT_EQ(s[1].characteristics.size(), 3u);
    EXPECT_EQ(s[1].characteristics[0].decl_handle, 0x12);
    EXPECT_EQ(s[1].characteristics[0].value_handle, 0x13);
    EXPECT_EQ(s[1].characteristics[2].value_handle, 0x17);
    ASSERT_EQ(s[1].characteristics[2].descriptors.size(), 1u);
    EXPECT_EQ(s[1].characteristics[2].descriptors[0].handle, 0x18);
    EXPECT_EQ(s[1].end_handle, 0x18);
    EXPECT_EQ(s[2].characteristics[0].decl_handle, 0x45);
    EXPECT_EQ(s[2].characteristics[0].descriptors[0].handle, 0x47);
    EXPECT_EQ(s[2].end_handle, 0x50);

    EXPECT_EQ(phone.read(0x47, 0).data, (std::vector<uint8_t>{0x04, 0x00}));
    std::vector<sim::notification> out;
    EXPECT_EQ(phone.write(BLE_GATT_OP_WRITE_REQ, 0x47, 0, {1}, out).status,
              BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
    // Nothing lives in the gap between services.
    EXPECT_EQ(phone.read(0x30, 0).status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
}

TEST(GattJson, ServiceResponsesHoldOneUuidSizeEach) {
    json value = {{"services", json::array({{{"uuid", "1800"}},
                                            {{"uuid", "1801"}},
                                            authentication_service(),
                                            {{"uuid", "180A"}},
                                            {{"uuid", "180D"}},
                                            {{"uuid", "180F"}},
                                            {{"uuid", "1810"}}})}};
    sim::phone_gatt phone = parse(value);
    std::vector<size_t> sizes;
    uint32_t start = 1;
    for (int i = 0; i < 10; ++i) {
        sim::services_response rsp = phone.discover_primary_services(static_cast<uint16_t>(start));
        if (rsp.status != 0) break;
        sizes.push_back(rsp.services.size());
        start = rsp.services.back().handle_range.end_handle + 1u;
    }
    // Two 16-bit, the 128-bit alone, then at most three 16-bit per response.
    EXPECT_EQ(sizes, (std::vector<size_t>{2, 1, 3, 1}));
}

TEST(GattJson, BrokenDeclarationsAndReportedTypes) {
    json value = {
        {"services",
         json::array({{{"uuid", "phone"},
                       {"reported_type", 2},
                       {"declaration", "0102"},
                       {"characteristics",
                        json::array({{{"uuid", "feature"}, {"declared_value_handle", "0x0099"}},
                                     {{"uuid", "challenge"},
                                      {"reported_type", 7},
                                      {"declaration", "02 05 00"}}})}}})}};
    sim::phone_gatt phone = parse(value);
    sim::services_response s = phone.discover_primary_services(1);
    ASSERT_EQ(s.services.size(), 1u);
    EXPECT_EQ(s.services[0].uuid.type, 2);
    // With a vendor type the stack shows octets 12 and 13 of the UUID.
    EXPECT_EQ(s.services[0].uuid.uuid, 0x4567);
    EXPECT_EQ(phone.read(1, 0).data, (std::vector<uint8_t>{0x01, 0x02}));

    // Discovery keeps the true value handle; only the declaration read disagrees.
    sim::characteristics_response c = phone.discover_characteristics(1, 0xFFFF);
    ASSERT_EQ(c.chars.size(), 1u);
    EXPECT_EQ(c.chars[0].handle_value, 3);
    std::vector<uint8_t> decl = phone.read(2, 0).data;
    ASSERT_EQ(decl.size(), 19u);
    EXPECT_EQ(decl[1] | (decl[2] << 8), 0x99);
    c = phone.discover_characteristics(3, 0xFFFF);
    ASSERT_EQ(c.chars.size(), 1u);
    EXPECT_EQ(c.chars[0].uuid.type, 7);
    EXPECT_EQ(phone.read(4, 0).data.size(), 3u);
}

TEST(GattJson, OverridesByRequestConnectionAndHandle) {
    json value = json::parse(R"({"overrides": [
        {"procedure": "services", "request": 2, "connection": 1, "status": "0x0102"},
        {"procedure": "services", "request": 1, "connection": 2, "services": [
            {"type": 7, "uuid": "0x1234", "start": 5, "end": 9},
            {"type": 0, "start": 3, "end": 3},
            {"start": 3, "end": 3}]},
        {"procedure": "characteristics", "handle": 6, "characteristics": [
            {"handle": 7, "value_handle": 8, "properties": 2}]},
        {"procedure": "read", "handle": "0x000C", "request": 3, "silent": true},
        {"procedure": "read", "handle": 12, "data": "09"},
        {"procedure": "write", "handle": 17, "status": 1, "error_handle": 0}]})");
    sim::phone_gatt phone = parse(value);
    EXPECT_EQ(phone.discover_primary_services(1).services.size(), 2u);
    sim::services_response s = phone.discover_primary_services(6);
    EXPECT_EQ(s.status, 0x0102);
    EXPECT_EQ(s.error_handle, 6);
    EXPECT_TRUE(s.services.empty());

    sim::characteristics_response c = phone.discover_characteristics(6, 0xFFFF);
    ASSERT_EQ(c.chars.size(), 1u);
    EXPECT_EQ(c.chars[0].handle_decl, 7);
    EXPECT_EQ(c.chars[0].uuid.type, BLE_UUID_TYPE_BLE);
    EXPECT_TRUE(c.chars[0].char_props.read);
    EXPECT_FALSE(c.chars[0].char_props.notify);

    EXPECT_EQ(phone.read(12, 0).data, (std::vector<uint8_t>{0x09}));
    EXPECT_EQ(phone.read(12, 0).data, (std::vector<uint8_t>{0x09}));
    EXPECT_TRUE(phone.read(12, 0).silent);

    // An overridden write does not take effect.
    std::vector<sim::notification> out;
    sim::write_response w = phone.write(BLE_GATT_OP_WRITE_REQ, 17, 0, {1, 0}, out);
    EXPECT_EQ(w.status, 1);
    EXPECT_EQ(w.error_handle, 0);
    EXPECT_EQ(phone.cccd_value(17), 0);

    // Second connection: counters start again and connection-2 rules apply.
    phone.on_disconnect();
    s = phone.discover_primary_services(1);
    ASSERT_EQ(s.services.size(), 3u);
    EXPECT_EQ(s.services[0].uuid.type, 7);
    EXPECT_EQ(s.services[0].uuid.uuid, 0x1234);
    EXPECT_EQ(s.services[1].handle_range.start_handle, 3);
    EXPECT_EQ(s.services[2].handle_range.start_handle, 3);
    EXPECT_EQ(phone.discover_primary_services(6).status, 0);
}

TEST(GattJson, PhonesThatRefuseIgnoreOrNeverAnswer) {
    const std::vector<uint8_t> challenge(19, 0);
    std::vector<sim::notification> out;

    sim::phone_gatt refusing = parse({{"cccd_writes", "refuse"}});
    EXPECT_EQ(refusing.write(BLE_GATT_OP_WRITE_REQ, 0x11, 0, {1, 0}, out).status,
              BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
    refusing.write(BLE_GATT_OP_WRITE_CMD, 0x0E, 0, challenge, out);
    EXPECT_TRUE(out.empty());

    sim::phone_gatt ignoring = parse({{"cccd_writes", "ignore"}});
    EXPECT_TRUE(ignoring.write(BLE_GATT_OP_WRITE_REQ, 0x11, 0, {1, 0}, out).silent);
    EXPECT_EQ(ignoring.cccd_value(0x11), 0);

    sim::phone_gatt mute = parse({{"challenge_answer", "never"}});
    EXPECT_EQ(mute.write(BLE_GATT_OP_WRITE_REQ, 0x11, 0, {1, 0}, out).status, 0);
    mute.write(BLE_GATT_OP_WRITE_CMD, 0x0E, 0, challenge, out);
    EXPECT_TRUE(out.empty());

    sim::phone_gatt fixed = parse({{"challenge_answer", "de ad"}});
    fixed.write(BLE_GATT_OP_WRITE_REQ, 0x11, 0, {1, 0}, out);
    fixed.write(BLE_GATT_OP_WRITE_CMD, 0x0E, 0, challenge, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].handle, 0x10);
    EXPECT_EQ(out[0].data, (std::vector<uint8_t>{0xDE, 0xAD}));
}

TEST(GattJson, ErrorsNameThePathAndTheProblem) {
    const std::string hex31(31, 'A');
    const std::vector<std::pair<json, std::string>> cases = {
        {5, "gatt: expected an object"},
        {{{"servces", json::array()}}, "gatt.servces: unknown key"},
        {{{"services", json::object()}}, "gatt.services: expected an array"},
        {{{"services", json::array({{{"start", 1}}})}}, "gatt.services[0].uuid: missing"},
        {{{"services", json::array({{{"uuid", "18000"}}})}},
         "gatt.services[0].uuid: expected 4 or 32 hex digits"},
        {{{"services", json::array({{{"uuid", hex31 + "G"}}})}},
         "gatt.services[0].uuid: expected 4 or 32"},
        {{{"services", json::array({{{"uuid", 0x1800}}})}}, "gatt.services[0].uuid: expected"},
        {{{"services", json::array({{{"uuid", "1800"}, {"start", 0}}})}},
         "gatt.services[0].start: value 0 is outside 1..65535"},
        {{{"services", json::array({{{"uuid", "1800"}, {"start", 70000}}})}},
         "gatt.services[0].start: value 70000 is outside"},
        {{{"services", json::array({{{"uuid", "1800"}, {"start", -1}}})}},
         "gatt.services[0].start: negative value"},
        {{{"services", json::array({{{"uuid", "1800"}, {"start", 1.5}}})}},
         "gatt.services[0].start: expected an integer"},
        {{{"services", json::array({{{"uuid", "1800"}, {"start", "12"}}})}},
         "gatt.services[0].start: expected an integer"},
        {{{"services", json::array({{{"uuid", "1800"}, {"start", "0xZZ"}}})}},
         "gatt.services[0].start: expected an integer"},
        {{{"services",
           json::array({{{"uuid", "1800"}, {"end", 9}}, {{"uuid", "1801"}, {"start", 5}}})}},
         "gatt.services[1].start: handle 0x0005 is out of order: it must come after 0x0009"},
        {{{"services", json::array({{{"uuid", "1800"},
                                     {"end", 2},
                                     {"characteristics",
                                      json::array({{{"uuid", "2A00"}}, {{"uuid", "2A01"}}})}}})}},
         "gatt.services[0].end: handle 0x0002 is before the service's last attribute 0x0005"},
        {{{"services",
           json::array(
               {{{"uuid", "1800"},
                 {"characteristics",
                  json::array({{{"uuid", "2A00"}, {"handle", 4}, {"value_handle", 4}}})}}})}},
         "gatt.services[0].characteristics[0].value_handle: handle 0x0004 is out of order"},
        {{{"services", json::array({{{"uuid", "1800"},
                                     {"start", 0xFFFF},
                                     {"characteristics", json::array({{{"uuid", "2A00"}}})}}})}},
         "gatt.services[0].characteristics[0]: no handle left after 0xFFFF"},
        {{{"services",
           json::array({{{"uuid", "1800"},
                         {"characteristics", json::array({{{"uuid", "2A00"}, {"colour", 1}}})}}})}},
         "gatt.services[0].characteristics[0].colour: unknown key"},
        {{{"services", json::array({{{"uuid", "1800"},
                                     {"characteristics",
                                      json::array({{{"uuid", "2A00"},
                                                    {"properties", json::array({"reed"})}}})}}})}},
         "gatt.services[0].characteristics[0].properties[0]: unknown property"},
        {{{"services", json::array({{{"uuid", "1800"},
                                     {"characteristics",
                                      json::array({{{"uuid", "2A00"}, {"value", "123"}}})}}})}},
         "gatt.services[0].characteristics[0].value: expected hex bytes"},
        {{{"services", json::array({{{"uuid", "1800"},
                                     {"characteristics",
                                      json::array({{{"uuid", "2A00"},
                                                    {"value", std::string(1026, '0')}}})}}})}},
         "gatt.services[0].characteristics[0].value: 513 bytes, at most 512 fit"},
        {{{"services",
           json::array(
               {{{"uuid", "1800"},
                 {"characteristics",
                  json::array({{{"uuid", "2A00"},
                                {"descriptors",
                                 json::array({{{"uuid", "2902"}, {"writable", "yes"}}})}}})}}})}},
         "gatt.services[0].characteristics[0].descriptors[0].writable: expected true or false"},
        {{{"cccd_writes", "maybe"}}, "gatt.cccd_writes: expected"},
        {{{"challenge_answer", std::string(42, 'a')}},
         "gatt.challenge_answer: 21 bytes, at most 20"},
        {{{"overrides", json::array({{{"procedure", "notify"}, {"silent", true}}})}},
         "gatt.overrides[0].procedure: expected"},
        {{{"overrides", json::array({{{"status", 1}}})}}, "gatt.overrides[0].procedure: missing"},
        {{{"overrides", json::array({{{"procedure", "read"}}})}},
         "gatt.overrides[0]: gives no answer"},
        {{{"overrides", json::array({{{"procedure", "read"}, {"silent", true}, {"status", 1}}})}},
         "gatt.overrides[0]: a silent phone"},
        {{{"overrides", json::array({{{"procedure", "services"}, {"data", "01"}}})}},
         "gatt.overrides[0].data: only allowed with procedure \"read\""},
        {{{"overrides", json::array({{{"procedure", "read"}, {"request", 0}, {"status", 1}}})}},
         "gatt.overrides[0].request: value 0 is outside"},
        {{{"overrides", json::array({{{"procedure", "read"}, {"data", std::string(46, '0')}}})}},
         "gatt.overrides[0].data: 23 bytes, at most 22"},
        {{{"overrides", json::array({{{"procedure", "services"},
                                      {"services", json::array({{{"start", 1}}})}}})}},
         "gatt.overrides[0].services[0].end: missing"},
        {{{"overrides", json::array({{{"procedure", "characteristics"},
                                      {"characteristics", json::array({{{"handle", 0xFFFF}}})}}})}},
         "gatt.overrides[0].characteristics[0]: a declaration at 0xFFFF needs an explicit "
         "value_handle"},
        {{{"overrides",
           json::array(
               {{{"procedure", "services"},
                 {"services", json::array({{{"type", 256}, {"start", 1}, {"end", 1}}})}}})}},
         "gatt.overrides[0].services[0].type: value 256 is outside 0..255"},
    };
    for (const auto& [value, expected] : cases) {
        const std::string error = parse_error(value);
        EXPECT_EQ(error.rfind(expected, 0), 0u) << "got: " << error << "\nexpected: " << expected;
    }
    json too_many = {
        {"overrides", json::array({{{"procedure", "services"}, {"services", json::array()}}})}};
    for (int i = 0; i < 33; ++i)
        too_many["overrides"][0]["services"].push_back({{"start", 1}, {"end", 1}});
    EXPECT_EQ(parse_error(too_many), "gatt.overrides[0].services: 33 entries, at most 32");
}

TEST(GattJson, BadPhoneUuidIsReported) {
    sim::phone_gatt phone;
    std::string error;
    EXPECT_FALSE(sim::phone_gatt::from_json(json(), "1234", phone, error));
    EXPECT_EQ(error, "gatt: the phone's UUID \"1234\" is not 32 hex digits");
}

}  // namespace

namespace {

// Every complete example of the scenario document must be accepted, so the document
// cannot drift from what the loader takes.
TEST(GattJson, DocumentedExamplesParse) {
    std::ifstream file(std::string(ORVETTE_SOURCE_DIR) + "/docs/scenario-gatt.md");
    ASSERT_TRUE(file.good());
    std::stringstream text;
    text << file.rdbuf();
    const std::string doc = text.str();
    const std::string marker = "\"gatt\": ";
    int examples = 0;
    size_t block = doc.find("```json");
    while (block != std::string::npos) {
        const size_t block_end = doc.find("```", block + 7);
        ASSERT_NE(block_end, std::string::npos);
        const std::string body = doc.substr(block + 7, block_end - block - 7);
        // Outlines with comments are not examples.
        if (body.find("//") == std::string::npos) {
            size_t at = body.find(marker);
            while (at != std::string::npos) {
                const size_t next = body.find(marker, at + marker.size());
                const std::string value = body.substr(
                    at + marker.size(),
                    next == std::string::npos ? std::string::npos : next - at - marker.size());
                sim::phone_gatt phone;
                std::string error;
                EXPECT_TRUE(
                    sim::phone_gatt::from_json(json::parse(value), phone_uuid, phone, error))
                    << value << "\n"
                    << error;
                ++examples;
                at = next;
            }
        }
        block = doc.find("```json", block_end + 3);
    }
    EXPECT_GE(examples, 6);
}

}  // namespace
