// Bytes as hex text, the form every trace, log line and scenario file uses for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wire {

// 0 to 15 for a hex digit of either case, -1 for any other character.
int hex_digit_value(char c);

// Two lower-case digits per byte, in the order given, each pair followed by `after_each`
// ("" for "0a1b", " " for "0a 1b ").
std::string hex_text(const uint8_t* data, size_t length, const char* after_each = "");

// "02 01 06" or "020106": pairs of hex digits of either case, blanks allowed between pairs
// (not inside one). Leaves `out` alone on failure.
bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>& out);

}  // namespace wire
