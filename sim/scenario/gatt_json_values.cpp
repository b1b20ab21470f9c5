#include "sim/scenario/gatt_json_values.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "driver/wire/hex_text.h"
#include "sim/phone/phone_gatt.h"

namespace sim::gatt_json {

namespace {

using nlohmann::json;

bool fail(std::string& error, const std::string& path, const std::string& problem) {
    error = path + ": " + problem;
    return false;
}

// JSON text of a value for messages, cut short so a huge value cannot flood the console.
std::string shown(const json& value) {
    std::string text = value.dump();
    if (text.size() > 40) text.replace(37, std::string::npos, "...");
    return text;
}

// The parser gives a double for a whole number too large for 64 bits (or below -2^63).
bool whole_beyond_64_bits(double value) {
    return std::isfinite(value) && std::floor(value) == value &&
           (value >= 18446744073709551616.0 || value <= -9223372036854775808.0);
}

struct property_name {
    const char* name;
    uint8_t bit;
};

const property_name property_names[] = {
    {"broadcast", gatt_prop_broadcast},
    {"read", gatt_prop_read},
    {"write_without_response", gatt_prop_write_without_response},
    {"write", gatt_prop_write},
    {"notify", gatt_prop_notify},
    {"indicate", gatt_prop_indicate},
    {"authenticated_signed_writes", gatt_prop_authenticated_signed_writes},
    {"extended_properties", gatt_prop_extended_properties},
};

}  // namespace

bool check_object(const json& value, const std::string& path,
                  std::initializer_list<const char*> allowed, std::string& error) {
    if (!value.is_object()) return fail(error, path, "expected an object, got " + shown(value));
    for (auto it = value.begin(); it != value.end(); ++it) {
        bool known = false;
        for (const char* key : allowed) known = known || it.key() == key;
        if (!known) return fail(error, path + "." + it.key(), "unknown key");
    }
    return true;
}

bool check_array(const json& value, const std::string& path, std::string& error) {
    if (!value.is_array()) return fail(error, path, "expected an array, got " + shown(value));
    return true;
}

bool read_number(const json& value, const std::string& path, uint32_t min, uint32_t max,
                 uint32_t& out, std::string& error) {
    const std::string expected = "expected an integer or a \"0x\" hex string";
    uint64_t number = 0;
    if (value.is_number_unsigned()) {
        number = value.get<uint64_t>();
    } else if (value.is_number_integer()) {
        // Integers built in code rather than parsed from text are signed even when positive.
        const int64_t signed_number = value.get<int64_t>();
        if (signed_number < 0) return fail(error, path, "negative value " + shown(value));
        number = static_cast<uint64_t>(signed_number);
    } else if (value.is_number_float() && whole_beyond_64_bits(value.get<double>())) {
        const double v = value.get<double>();
        char text[40];
        std::snprintf(text, sizeof text, std::fabs(v) < 1e21 ? "%.0f" : "%g", v);
        return fail(error, path,
                    "value " + std::string(text) + " is outside " + std::to_string(min) + ".." +
                        std::to_string(max));
    } else if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        if (text.size() < 3 || text.size() > 10 || text[0] != '0' ||
            (text[1] != 'x' && text[1] != 'X')) {
            return fail(error, path, expected + ", got " + shown(value));
        }
        for (size_t i = 2; i < text.size(); ++i) {
            const int digit = wire::hex_digit_value(text[i]);
            if (digit < 0) return fail(error, path, expected + ", got " + shown(value));
            number = number * 16 + static_cast<uint64_t>(digit);
        }
    } else {
        return fail(error, path, expected + ", got " + shown(value));
    }
    if (number < min || number > max) {
        return fail(error, path,
                    "value " + std::to_string(number) + " is outside " + std::to_string(min) +
                        ".." + std::to_string(max));
    }
    out = static_cast<uint32_t>(number);
    return true;
}

bool read_u16(const json& value, const std::string& path, uint16_t& out, std::string& error) {
    uint32_t number = 0;
    if (!read_number(value, path, 0, 0xFFFF, number, error)) return false;
    out = static_cast<uint16_t>(number);
    return true;
}

bool read_bool(const json& value, const std::string& path, bool& out, std::string& error) {
    if (!value.is_boolean())
        return fail(error, path, "expected true or false, got " + shown(value));
    out = value.get<bool>();
    return true;
}

bool read_bytes(const json& value, const std::string& path, size_t max_length,
                std::vector<uint8_t>& out, std::string& error) {
    if (!value.is_string()) return fail(error, path, "expected a hex string, got " + shown(value));
    const std::string& text = value.get_ref<const std::string&>();
    std::vector<uint8_t> bytes;
    if (!wire::parse_hex_bytes(text, bytes)) {
        return fail(error, path, "expected hex bytes of two digits each, got " + shown(value));
    }
    if (bytes.size() > max_length) {
        return fail(error, path,
                    std::to_string(bytes.size()) + " bytes, at most " + std::to_string(max_length) +
                        " fit");
    }
    out = std::move(bytes);
    return true;
}

bool read_properties(const json& value, const std::string& path, uint8_t& out, std::string& error) {
    if (!value.is_array()) {
        uint32_t number = 0;
        if (!read_number(value, path, 0, 0xFF, number, error)) {
            error += " or a list of property names";
            return false;
        }
        out = static_cast<uint8_t>(number);
        return true;
    }
    uint8_t bits = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        const std::string item_path = path + "[" + std::to_string(i) + "]";
        const json& item = value[i];
        bool known = false;
        if (item.is_string()) {
            for (const property_name& name : property_names) {
                if (item.get_ref<const std::string&>() == name.name) {
                    bits |= name.bit;
                    known = true;
                }
            }
        }
        if (!known) {
            return fail(error, item_path,
                        "unknown property " + shown(item) +
                            " (broadcast, read, write_without_response, write, notify, "
                            "indicate, authenticated_signed_writes, extended_properties)");
        }
    }
    out = bits;
    return true;
}

bool read_uuid(const json& value, const std::string& path, const gatt_uuid& phone, gatt_uuid& out,
               std::string& error) {
    const std::string expected =
        "expected 4 or 32 hex digits, or one of \"phone\", \"feature\", \"challenge\", "
        "\"response\"";
    if (!value.is_string()) return fail(error, path, expected + ", got " + shown(value));
    const std::string& text = value.get_ref<const std::string&>();
    if (text == "phone") {
        out = phone;
        return true;
    }
    const char* named = text == "feature"     ? feature_uuid_text
                        : text == "challenge" ? challenge_uuid_text
                        : text == "response"  ? response_uuid_text
                                              : nullptr;
    if (named) return gatt_uuid::parse128(named, out);
    if (text.size() == 4) {
        uint16_t number = 0;
        for (char c : text) {
            const int digit = wire::hex_digit_value(c);
            if (digit < 0) return fail(error, path, expected + ", got " + shown(value));
            number = static_cast<uint16_t>(number * 16 + digit);
        }
        out = gatt_uuid::from16(number);
        return true;
    }
    if (text.size() == 32 && gatt_uuid::parse128(text, out)) return true;
    return fail(error, path, expected + ", got " + shown(value));
}

}  // namespace sim::gatt_json
