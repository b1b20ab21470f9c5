#include "sim/scenario/scenario_reader.h"

#include <cmath>
#include <cstdio>

#include "driver/wire/hex_text.h"

namespace sim {
namespace {

constexpr double two_to_the_63 = 9223372036854775808.0;
constexpr double two_to_the_64 = 18446744073709551616.0;

const char* type_name(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::null:
            return "null";
        case nlohmann::json::value_t::object:
            return "an object";
        case nlohmann::json::value_t::array:
            return "a list";
        case nlohmann::json::value_t::string:
            return "a string";
        case nlohmann::json::value_t::boolean:
            return "true/false";
        case nlohmann::json::value_t::number_float:
            return "a number with a fraction";
        default:
            return "a number";
    }
}

std::string shown(double value) {
    if (std::floor(value) == value && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    char text[40];
    // A whole number too large for 64 bits is shown in full as far as a double holds it.
    std::snprintf(text, sizeof text,
                  std::floor(value) == value && std::fabs(value) < 1e21 ? "%.0f" : "%g", value);
    return text;
}

}  // namespace

std::string key_path(const std::string& parent, const std::string& key) {
    return parent.empty() ? key : parent + "." + key;
}

std::string index_path(const std::string& parent, size_t index) {
    return parent + "[" + std::to_string(index) + "]";
}

bool scenario_reader::fail(const std::string& path, const std::string& problem) {
    if (error_.empty()) error_ = (path.empty() ? std::string("top level") : path) + ": " + problem;
    return false;
}

bool scenario_reader::fail_raw(const std::string& line) {
    if (error_.empty()) error_ = line;
    return false;
}

bool scenario_reader::object(const json& value, const std::string& path,
                             std::initializer_list<const char*> allowed) {
    if (!value.is_object()) {
        return fail(path, std::string("must be an object, not ") + type_name(value));
    }
    for (auto it = value.begin(); it != value.end(); ++it) {
        bool known = false;
        for (const char* key : allowed) known = known || it.key() == key;
        if (!known) {
            std::string list;
            for (const char* key : allowed) list += (list.empty() ? "" : ", ") + std::string(key);
            return fail(key_path(path, it.key()), "unknown key (known here: " + list + ")");
        }
    }
    return true;
}

bool scenario_reader::array(const json& value, const std::string& path) {
    if (!value.is_array())
        return fail(path, std::string("must be a list, not ") + type_name(value));
    return true;
}

bool scenario_reader::text(const json& value, const std::string& path, std::string& out) {
    if (!value.is_string())
        return fail(path, std::string("must be a string, not ") + type_name(value));
    out = value.get<std::string>();
    return true;
}

bool scenario_reader::boolean(const json& value, const std::string& path, bool& out) {
    if (!value.is_boolean())
        return fail(path, std::string("must be true or false, not ") + type_name(value));
    out = value.get<bool>();
    return true;
}

bool scenario_reader::whole(const json& value, const std::string& path, whole_number& out) {
    out = whole_number{};
    if (value.is_number_unsigned()) {
        out.magnitude = value.get<uint64_t>();
    } else if (value.is_number_integer()) {
        const int64_t v = value.get<int64_t>();
        out.negative = v < 0;
        out.magnitude = out.negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    } else if (value.is_number_float()) {
        // The parser gives a double for a whole number beyond 64 bits: that is a number out
        // of range, not one with a fraction. Within 64 bits a double was written with a
        // fraction or an exponent.
        const double v = value.get<double>();
        if (!std::isfinite(v) || std::floor(v) != v || (v < two_to_the_64 && v > -two_to_the_63)) {
            return fail(path, std::string("must be a whole number, not ") + type_name(value));
        }
        out.beyond_64_bits = true;
        out.shown = shown(v);
    } else if (value.is_string()) {
        const std::string written = value.get<std::string>();
        if (written.size() < 3 || written.size() > 18 || written[0] != '0' ||
            (written[1] != 'x' && written[1] != 'X')) {
            return fail(path,
                        "must be a whole number or \"0x\" and hex digits, not \"" + written + "\"");
        }
        for (size_t i = 2; i < written.size(); ++i) {
            const int d = wire::hex_digit_value(written[i]);
            if (d < 0) return fail(path, "\"" + written + "\" is not a hex number");
            out.magnitude = out.magnitude * 16 + static_cast<uint64_t>(d);
        }
    } else {
        return fail(path, std::string("must be a whole number, not ") + type_name(value));
    }
    if (!out.beyond_64_bits) {
        out.shown = (out.negative ? "-" : "") + std::to_string(out.magnitude);
    }
    return true;
}

bool scenario_reader::integer(const json& value, const std::string& path, int64_t min, int64_t max,
                              int64_t& out) {
    whole_number w;
    if (!whole(value, path, w)) return false;
    const auto limit = static_cast<uint64_t>(INT64_MAX);
    const bool fits =
        !w.beyond_64_bits && (w.negative ? w.magnitude <= limit + 1 : w.magnitude <= limit);
    const int64_t parsed = !fits        ? 0
                           : w.negative ? static_cast<int64_t>(0 - w.magnitude)
                                        : static_cast<int64_t>(w.magnitude);
    if (!fits || parsed < min || parsed > max) {
        return fail(path, "must be between " + std::to_string(min) + " and " + std::to_string(max) +
                              ", not " + w.shown);
    }
    out = parsed;
    return true;
}

bool scenario_reader::unsigned_integer(const json& value, const std::string& path, uint64_t& out) {
    whole_number w;
    if (!whole(value, path, w)) return false;
    if (w.beyond_64_bits || (w.negative && w.magnitude != 0)) {
        return fail(path,
                    "must be between 0 and " + std::to_string(UINT64_MAX) + ", not " + w.shown);
    }
    out = w.magnitude;
    return true;
}

bool scenario_reader::number(const json& value, const std::string& path, double min, double max,
                             double& out) {
    if (!value.is_number())
        return fail(path, std::string("must be a number, not ") + type_name(value));
    const double v = value.get<double>();
    if (!std::isfinite(v) || v < min || v > max) {
        return fail(path,
                    "must be between " + shown(min) + " and " + shown(max) + ", not " + shown(v));
    }
    out = v;
    return true;
}

bool scenario_reader::time_ms(const json& value, const std::string& path, double min_ms,
                              double max_ms, sim_us& out) {
    double v = 0;
    if (!number(value, path, min_ms, max_ms, v)) return false;
    out = static_cast<sim_us>(std::llround(v * 1000.0));
    return true;
}

bool scenario_reader::code(const json& value, const std::string& path, const code_kind& kind,
                           int64_t& out) {
    if (value.is_string()) {
        const std::string name = value.get<std::string>();
        if (!kind.hex_text_is_number || name.rfind("0x", 0) != 0) {
            const std::optional<int64_t> named = kind.by_name(name);
            if (!named) {
                return fail(path,
                            std::string("unknown ") + kind.what + " \"" + name + "\"" + kind.hint);
            }
            // A name stands for its number, which must be one this key takes.
            if (*named < kind.min || *named > kind.max) {
                return fail(path, "must be between " + std::to_string(kind.min) + " and " +
                                      std::to_string(kind.max) + ", not " + name + " (" +
                                      std::to_string(*named) + ")");
            }
            out = *named;
            return true;
        }
    }
    return integer(value, path, kind.min, kind.max, out);
}

bool scenario_reader::optional_count(const json& object, const char* key, const std::string& path,
                                     int64_t min, std::optional<uint32_t>& out) {
    if (!object.contains(key)) return true;
    int64_t n = 0;
    if (!integer(object[key], key_path(path, key), min, UINT32_MAX, n)) return false;
    out = static_cast<uint32_t>(n);
    return true;
}

bool scenario_reader::optional_time(const json& object, const char* key, const std::string& path,
                                    std::optional<sim_us>& out) {
    if (!object.contains(key)) return true;
    sim_us t = 0;
    if (!time_ms(object[key], key_path(path, key), 0, max_time_ms, t)) return false;
    out = t;
    return true;
}

bool scenario_reader::one_of(const json& object, const std::string& path,
                             std::initializer_list<const char*> keys, bool required) {
    std::string found;
    std::string list;
    for (const char* key : keys) {
        list += (list.empty() ? "" : ", ") + std::string(key);
        if (!object.contains(key)) continue;
        if (!found.empty()) {
            return fail(key_path(path, key), "cannot be given together with " + found);
        }
        found = key;
    }
    if (required && found.empty()) return fail(path, "needs one of: " + list);
    return true;
}

}  // namespace sim
