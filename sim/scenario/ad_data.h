// Advertising data as a scenario describes it, built into the bytes the air carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/wire/address_text.h"
#include "driver/wire/uuid_text.h"

namespace sim {

using uuid128_bytes = wire::uuid128_bytes;
using address_bytes = wire::address_bytes;

// What a well-formed advertisement carries, in the order the builder writes it.
struct ad_fields {
    std::optional<uint8_t> flags = 0x06;  // LE General Discoverable, BR/EDR not supported
    std::vector<uint16_t> uuid16;         // complete list of 16-bit service UUIDs
    std::vector<uuid128_bytes> uuid128;   // complete list of 128-bit service UUIDs
    std::vector<uuid128_bytes> uuid128_incomplete;
    std::string name;                   // complete local name
    std::vector<uint8_t> manufacturer;  // manufacturer specific data, company ID first
    std::optional<int8_t> tx_power;
};

std::vector<uint8_t> build_ad(const ad_fields& fields);

}  // namespace sim
