#include "driver/wire/uuid_text.h"

#include <algorithm>
#include <cctype>

#include "driver/wire/hex_text.h"

namespace wire {

std::string uuid128_text(const uint8_t* air_bytes) {
    uuid128_bytes text_order;
    std::reverse_copy(air_bytes, air_bytes + text_order.size(), text_order.begin());
    return hex_text(text_order.data(), text_order.size());
}

bool parse_uuid128(const std::string& text, uuid128_bytes& out) {
    const bool dashed = text.size() == 36;
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (dashed && c == '-' && (i == 8 || i == 13 || i == 18 || i == 23)) continue;
        if (hex_digit_value(c) < 0) return false;
        digits.push_back(c);
    }
    if (digits.size() != 32) return false;
    for (size_t b = 0; b < 16; ++b) {
        out[15 - b] = static_cast<uint8_t>(hex_digit_value(digits[2 * b]) * 16 +
                                           hex_digit_value(digits[2 * b + 1]));
    }
    return true;
}

bool uuid_equal_ignoring_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

}  // namespace wire
