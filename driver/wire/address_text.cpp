#include "driver/wire/address_text.h"

#include <cstdio>

#include "driver/wire/hex_text.h"

namespace wire {

std::string address_text(const uint8_t* air_bytes) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", air_bytes[5], air_bytes[4],
                  air_bytes[3], air_bytes[2], air_bytes[1], air_bytes[0]);
    return text;
}

bool parse_address(const std::string& text, address_bytes& out) {
    if (text.size() != 17) return false;
    address_bytes parsed{};
    for (size_t b = 0; b < 6; ++b) {
        const size_t at = b * 3;
        if (b < 5 && text[at + 2] != ':') return false;
        const int high = hex_digit_value(text[at]);
        const int low = hex_digit_value(text[at + 1]);
        if (high < 0 || low < 0) return false;
        parsed[5 - b] = static_cast<uint8_t>(high * 16 + low);
    }
    out = parsed;
    return true;
}

}  // namespace wire
