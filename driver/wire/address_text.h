// Device addresses: six bytes on the air, least significant first, and the text people
// read off a phone's settings screen, "C0:11:22:33:44:55", most significant first.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace wire {

using address_bytes = std::array<uint8_t, 6>;  // air order: least significant byte first

// Upper-case digits, most significant byte first, from 6 bytes in air order.
std::string address_text(const uint8_t* air_bytes);

// Six pairs of hex digits of either case joined by ':', most significant first, into air
// order. Leaves `out` alone on failure.
bool parse_address(const std::string& text, address_bytes& out);

}  // namespace wire
