#include "sim/ad_data.h"

#include <cstdio>

namespace sim {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_structure(std::vector<uint8_t>& out, uint8_t type,
                      const std::vector<uint8_t>& payload) {
    out.push_back(static_cast<uint8_t>(payload.size() + 1));
    out.push_back(type);
    out.insert(out.end(), payload.begin(), payload.end());
}

}  // namespace

std::vector<uint8_t> build_ad(const ad_fields& fields) {
    std::vector<uint8_t> out;
    if (fields.flags) append_structure(out, 0x01, {*fields.flags});
    if (!fields.uuid16.empty()) {
        std::vector<uint8_t> payload;
        for (uint16_t u : fields.uuid16) {
            payload.push_back(static_cast<uint8_t>(u & 0xFF));
            payload.push_back(static_cast<uint8_t>(u >> 8));
        }
        append_structure(out, 0x03, payload);
    }
    auto list128 = [&](uint8_t type, const std::vector<uuid128_bytes>& list) {
        if (list.empty()) return;
        std::vector<uint8_t> payload;
        for (const auto& u : list) payload.insert(payload.end(), u.begin(), u.end());
        append_structure(out, type, payload);
    };
    list128(0x06, fields.uuid128_incomplete);
    list128(0x07, fields.uuid128);
    if (fields.tx_power) append_structure(out, 0x0A, {static_cast<uint8_t>(*fields.tx_power)});
    if (!fields.name.empty()) {
        append_structure(out, 0x09, std::vector<uint8_t>(fields.name.begin(), fields.name.end()));
    }
    if (!fields.manufacturer.empty()) append_structure(out, 0xFF, fields.manufacturer);
    return out;
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
        const int high = hex_digit(text[i]);
        const int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        i += 2;
    }
    out = std::move(bytes);
    return true;
}

bool parse_uuid128(const std::string& text, uuid128_bytes& out) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '-' && (i == 8 || i == 13 || i == 18 || i == 23) && text.size() == 36) continue;
        if (hex_digit(c) < 0) return false;
        digits.push_back(c);
    }
    if (digits.size() != 32) return false;
    for (size_t b = 0; b < 16; ++b) {
        // Text is most significant first; the air carries the least significant first.
        out[15 - b] =
            static_cast<uint8_t>(hex_digit(digits[2 * b]) * 16 + hex_digit(digits[2 * b + 1]));
    }
    return true;
}

bool parse_address(const std::string& text, address_bytes& out) {
    if (text.size() != 17) return false;
    address_bytes parsed{};
    for (size_t b = 0; b < 6; ++b) {
        const size_t at = b * 3;
        if (b < 5 && text[at + 2] != ':') return false;
        const int high = hex_digit(text[at]);
        const int low = hex_digit(text[at + 1]);
        if (high < 0 || low < 0) return false;
        parsed[5 - b] = static_cast<uint8_t>(high * 16 + low);
    }
    out = parsed;
    return true;
}

std::string address_text(const address_bytes& address) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", address[5], address[4],
                  address[3], address[2], address[1], address[0]);
    return text;
}

std::string hex_text(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    return text;
}

}  // namespace sim
