// Advertising data as it travels on the air (AD structures: length, type, payload) and the
// text forms a scenario uses for the things in it: hex bytes, UUIDs and device addresses.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using uuid128_bytes = std::array<uint8_t, 16>;  // least significant byte first, as on air
using address_bytes = std::array<uint8_t, 6>;   // least significant byte first, as on air

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

// "02 01 06" or "020106": pairs of hex digits, blanks allowed between pairs.
bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>& out);
// 32 hex digits, most significant first (dashes allowed in the 8-4-4-4-12 places).
bool parse_uuid128(const std::string& text, uuid128_bytes& out);
// "C0:11:22:33:44:55", most significant first.
bool parse_address(const std::string& text, address_bytes& out);
std::string address_text(const address_bytes& address);
std::string hex_text(const uint8_t* data, size_t length);

}  // namespace sim
