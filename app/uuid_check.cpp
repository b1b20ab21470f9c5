#include "app/uuid_check.h"

#include <cstdio>

namespace {

constexpr size_t uuid_digits = 32;

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool is_upper_hex_letter(char c) {
    return c >= 'A' && c <= 'F';
}

}  // namespace

std::string why_uuid_never_matches(const std::string& uuid) {
    bool upper = false;
    for (const char c : uuid) {
        if (is_upper_hex_letter(c)) {
            upper = true;
        } else if (!is_lower_hex(c)) {
            return "it is not 32 hex digits";
        }
    }
    if (uuid.size() != uuid_digits) return "it is not 32 hex digits";
    if (upper) return "it has upper-case letters and phones' UUIDs arrive in lower case";
    return "";
}

std::string never_matching_uuid_warning(const std::string& uuid, const std::string& why) {
    // The value came from the command line: control characters are shown, not sent to the
    // terminal.
    std::string shown;
    for (const char c : uuid) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return "Warning: -u" + shown + " can never match a phone: " + why + "\n";
}
