#include "diag/code_names.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "diag/code_lists.h"

namespace {

using code_lists::named_code;

template <size_t N>
std::string name_code(uint32_t code, const named_code (&table)[N], const char* fallback) {
    // Only the low 16 bits identify a code; higher bits are not part of any name.
    const uint16_t value = static_cast<uint16_t>(code & 0xFFFF);
    const auto* found =
        std::find_if(std::begin(table), std::end(table),
                     [value](const named_code& entry) { return entry.value == value; });
    const char* name = found != std::end(table) ? found->name : fallback;
    char number[8];
    std::snprintf(number, sizeof number, "0x%04x", static_cast<unsigned>(value));
    return std::string(number) + " " + name;
}

}  // namespace

std::string error_code_name(uint32_t code) {
    return name_code(code, code_lists::result_codes, "(error not decoded yet)");
}

std::string hci_status_name(uint32_t code) {
    return name_code(code, code_lists::hci_codes, "(hci status not decoded)");
}
