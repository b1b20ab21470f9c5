#include "driver/wire/hex_text.h"

#include <utility>

namespace wire {

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string hex_text(const uint8_t* data, size_t length, const char* after_each) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * (2 + std::char_traits<char>::length(after_each)));
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
        text += after_each;
    }
    return text;
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>& out) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) return false;
        const int high = hex_digit_value(text[i]);
        const int low = hex_digit_value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        i += 2;
    }
    out = std::move(bytes);
    return true;
}

}  // namespace wire
