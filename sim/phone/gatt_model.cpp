#include "sim/phone/gatt_model.h"

#include "driver/wire/uuid_text.h"

namespace sim {

gatt_uuid gatt_uuid::from16(uint16_t value) {
    gatt_uuid uuid;
    uuid.short_uuid = value;
    return uuid;
}

bool gatt_uuid::parse128(const std::string& text, gatt_uuid& out) {
    // The dashed form that advertising UUIDs accept stays an error in GATT texts.
    if (text.size() != 32) return false;
    gatt_uuid uuid;
    uuid.is_128 = true;
    if (!wire::parse_uuid128(text, uuid.bytes)) return false;
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
