// Readers for the scalar values of a scenario's "gatt" object. Each returns false and
// sets `error` to "<path>: <problem>" when the value is not acceptable; `out` is then
// unchanged.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/phone/gatt_model.h"

namespace sim::gatt_json {

// `value` must be an object whose keys are all among `allowed`.
bool check_object(const nlohmann::json& value, const std::string& path,
                  std::initializer_list<const char*> allowed, std::string& error);
// `value` must be an array.
bool check_array(const nlohmann::json& value, const std::string& path, std::string& error);

// A non-negative integer, or a string "0x" followed by 1 to 8 hex digits, in [min, max].
bool read_number(const nlohmann::json& value, const std::string& path, uint32_t min, uint32_t max,
                 uint32_t& out, std::string& error);
bool read_u16(const nlohmann::json& value, const std::string& path, uint16_t& out,
              std::string& error);
bool read_bool(const nlohmann::json& value, const std::string& path, bool& out, std::string& error);
// Hex bytes, two digits each, blanks allowed between bytes; at most `max_length` bytes.
bool read_bytes(const nlohmann::json& value, const std::string& path, size_t max_length,
                std::vector<uint8_t>& out, std::string& error);
// Characteristic properties: an integer 0..255 or a list of property names.
bool read_properties(const nlohmann::json& value, const std::string& path, uint8_t& out,
                     std::string& error);
// 4 hex digits (16-bit), 32 hex digits (128-bit, most significant first), or one of the
// names "phone", "feature", "challenge", "response".
bool read_uuid(const nlohmann::json& value, const std::string& path, const gatt_uuid& phone,
               gatt_uuid& out, std::string& error);

}  // namespace sim::gatt_json
