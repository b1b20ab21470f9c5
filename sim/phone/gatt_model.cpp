#include "sim/phone/gatt_model.h"

namespace sim {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

gatt_uuid gatt_uuid::from16(uint16_t value) {
    gatt_uuid uuid;
    uuid.short_uuid = value;
    return uuid;
}

bool gatt_uuid::parse128(const std::string& text, gatt_uuid& out) {
    if (text.size() != 32) return false;
    gatt_uuid uuid;
    uuid.is_128 = true;
    for (size_t i = 0; i < 16; ++i) {
        int high = hex_digit(text[2 * i]);
        int low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        // Text is most significant first; the air order is the reverse.
        uuid.bytes[15 - i] = static_cast<uint8_t>(high * 16 + low);
    }
    out = uuid;
    return true;
}

std::vector<uint8_t> gatt_uuid::air_bytes() const {
    if (is_128) return std::vector<uint8_t>(bytes.begin(), bytes.end());
    return {static_cast<uint8_t>(short_uuid & 0xFF), static_cast<uint8_t>(short_uuid >> 8)};
}

uint16_t gatt_uuid::octets_12_13() const {
    return static_cast<uint16_t>(bytes[12] | (bytes[13] << 8));
}

bool gatt_uuid::operator==(const gatt_uuid& other) const {
    if (is_128 != other.is_128) return false;
    return is_128 ? bytes == other.bytes : short_uuid == other.short_uuid;
}

}  // namespace sim
