// Checked reading of a scenario's JSON values. Every reader names the key path and the
// problem in one line when a value is missing, of the wrong type or out of range, and
// remembers only the first problem: the loader stops at it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "sim/world/sim_time.h"

namespace sim {

// The latest time a scenario may name, about 30 years: any real run is shorter.
constexpr double max_time_ms = 1e12;

// A kind of code that a scenario gives by name or by number (result codes, HCI reasons,
// event IDs, link status codes).
struct code_kind {
    const char* what;  // "result code": how a message names an unknown one
    std::optional<int64_t> (*by_name)(const std::string& name);
    int64_t min;
    int64_t max;
    // Whether a "0x..." string is a number; otherwise every string is a name.
    bool hex_text_is_number = true;
    const char* hint = "";  // follows the unknown name, e.g. " (give the number)"
};

class scenario_reader {
  public:
    using json = nlohmann::json;

    // Always returns false, so that a check can end with `return r.fail(...)`.
    bool fail(const std::string& path, const std::string& problem);
    // A problem whose text already names its path.
    bool fail_raw(const std::string& line);
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

    // `value` is an object whose keys are all in `allowed`.
    bool object(const json& value, const std::string& path,
                std::initializer_list<const char*> allowed);
    bool array(const json& value, const std::string& path);
    bool text(const json& value, const std::string& path, std::string& out);
    bool boolean(const json& value, const std::string& path, bool& out);
    // Whole numbers: JSON integers, or strings "0x" and 1 to 16 hex digits.
    bool integer(const json& value, const std::string& path, int64_t min, int64_t max,
                 int64_t& out);
    // The same from 0 to 2^64 - 1.
    bool unsigned_integer(const json& value, const std::string& path, uint64_t& out);
    bool number(const json& value, const std::string& path, double min, double max, double& out);
    // Milliseconds (fractions allowed, to the microsecond) in [min_ms, max_ms].
    bool time_ms(const json& value, const std::string& path, double min_ms, double max_ms,
                 sim_us& out);
    // A code by name or by number.
    bool code(const json& value, const std::string& path, const code_kind& kind, int64_t& out);

    // Keys an object may leave out: `object[key]` read when it is there, `out` left alone
    // when it is not. Counts are whole numbers from `min`; times are milliseconds from 0.
    bool optional_count(const json& object, const char* key, const std::string& path, int64_t min,
                        std::optional<uint32_t>& out);
    bool optional_time(const json& object, const char* key, const std::string& path,
                       std::optional<sim_us>& out);
    // At most one of `keys` is in `object`; with `required`, exactly one.
    bool one_of(const json& object, const std::string& path,
                std::initializer_list<const char*> keys, bool required);

  private:
    // A whole number as written, before its range is checked.
    struct whole_number {
        bool negative = false;
        uint64_t magnitude = 0;
        bool beyond_64_bits = false;  // then only `shown` tells what it was
        std::string shown;
    };
    bool whole(const json& value, const std::string& path, whole_number& out);

    std::string error_;
};

// "phones[2]" / "phones[2].uuid".
std::string key_path(const std::string& parent, const std::string& key);
std::string index_path(const std::string& parent, size_t index);

}  // namespace sim
