// The database every simulated phone has unless its scenario gives another.
#include <cctype>

#include "driver/wire/hex_text.h"
#include "sim/phone/phone_gatt.h"

namespace sim {

namespace {

gatt_descriptor_def cccd(uint16_t handle) {
    gatt_descriptor_def desc;
    desc.handle = handle;
    desc.uuid = gatt_uuid::from16(gatt_uuid_cccd);
    desc.value = {0x00, 0x00};
    desc.writable = true;
    return desc;
}

gatt_characteristic_def characteristic(uint16_t decl_handle, const gatt_uuid& uuid,
                                       uint8_t properties, std::vector<uint8_t> value) {
    gatt_characteristic_def chr;
    chr.decl_handle = decl_handle;
    chr.value_handle = static_cast<uint16_t>(decl_handle + 1);
    chr.uuid = uuid;
    chr.properties = properties;
    chr.value = std::move(value);
    return chr;
}

gatt_uuid uuid128(const std::string& text) {
    gatt_uuid uuid;
    if (gatt_uuid::parse128(text, uuid)) return uuid;
    // Keep the well-formed digits and read the rest as 0, so that a bad phone UUID still
    // gives a 128-bit service rather than no service at all.
    std::string cleaned(32, '0');
    for (size_t i = 0; i < cleaned.size() && i < text.size(); ++i) {
        if (wire::hex_digit_value(text[i]) >= 0) cleaned[i] = text[i];
    }
    gatt_uuid::parse128(cleaned, uuid);
    return uuid;
}

}  // namespace

phone_gatt phone_gatt::standard_profile(const std::string& phone_uuid) {
    std::vector<gatt_service_def> services(3);

    gatt_service_def& access = services[0];
    access.start_handle = 0x0001;
    access.end_handle = 0x0005;
    access.uuid = gatt_uuid::from16(0x1800);
    const std::string name = "Test phone";
    access.characteristics.push_back(
        characteristic(0x0002, gatt_uuid::from16(0x2A00), gatt_prop_read,
                       std::vector<uint8_t>(name.begin(), name.end())));
    // Appearance: generic phone.
    access.characteristics.push_back(
        characteristic(0x0004, gatt_uuid::from16(0x2A01), gatt_prop_read, {0x40, 0x00}));

    gatt_service_def& attribute = services[1];
    attribute.start_handle = 0x0006;
    attribute.end_handle = 0x0009;
    attribute.uuid = gatt_uuid::from16(0x1801);
    // Service changed: the whole handle range, announced only by indication.
    attribute.characteristics.push_back(characteristic(
        0x0007, gatt_uuid::from16(0x2A05), gatt_prop_indicate, {0x01, 0x00, 0xFF, 0xFF}));
    attribute.characteristics.back().descriptors.push_back(cccd(0x0009));

    gatt_service_def& auth = services[2];
    auth.start_handle = 0x000A;
    auth.end_handle = 0x0011;
    auth.uuid = uuid128(phone_uuid);
    auth.characteristics.push_back(
        characteristic(0x000B, uuid128(feature_uuid_text), gatt_prop_read, {0x01}));
    auth.characteristics.push_back(
        characteristic(0x000D, uuid128(challenge_uuid_text), gatt_prop_write_without_response, {}));
    auth.characteristics.push_back(
        characteristic(0x000F, uuid128(response_uuid_text), gatt_prop_notify, {}));
    auth.characteristics.back().descriptors.push_back(cccd(0x0011));

    return phone_gatt(std::move(services), phone_behaviour{}, {});
}

}  // namespace sim
