// 128-bit UUIDs: the 16 bytes the air carries, least significant first, and the text the
// program prints and takes on its command line, most significant first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace wire {

constexpr size_t uuid128_length = 16;
using uuid128_bytes = std::array<uint8_t, uuid128_length>;  // air order: least significant first

// 32 lower-case hex digits, most significant byte first, from 16 bytes in air order.
std::string uuid128_text(const uint8_t* air_bytes);

// The air-order bytes of 32 hex digits of either case, most significant first, or of the
// same with dashes in the 8-4-4-4-12 places (36 characters, no dash elsewhere). Callers that
// want no dashes check for 32 characters first. Leaves `out` alone on failure.
bool parse_uuid128(const std::string& text, uuid128_bytes& out);

// Compares two UUID texts ignoring letter case: discovered UUIDs are lower case while the
// well-known characteristic UUIDs are written in upper case.
bool uuid_equal_ignoring_case(const std::string& a, const std::string& b);

}  // namespace wire
