#include "gatt/gatt_text.h"

#include <cctype>
#include <cstdio>

std::string uuid128_text(const uint8_t* air_bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (int i = 15; i >= 0; --i) {
        text.push_back(digits[air_bytes[i] >> 4]);
        text.push_back(digits[air_bytes[i] & 0x0F]);
    }
    return text;
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
