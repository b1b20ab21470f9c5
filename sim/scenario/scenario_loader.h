// Scenario files to worlds. A scenario that cannot be used is refused whole, with one
// line naming the file, the key and the problem; nothing of it is kept.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/scenario/scenario.h"

namespace sim {

// Larger scenario files are refused unread: no real world needs as much, and a file that
// never ends (a device) must not fill the memory.
constexpr size_t max_scenario_file_bytes = 16 * 1024 * 1024;

// `source` names the scenario in messages (the file path, or "default world"). Only a
// regular file is read; a directory, device, FIFO or socket is refused without blocking.
// With `unreadable`, tells whether the file itself could not be had (missing, not a regular
// file, too large, a read error) rather than read and found unusable.
bool load_scenario_file(const std::string& path, scenario& out, std::string& error,
                        bool* unreadable = nullptr);
bool load_scenario_text(const std::string& text, const std::string& source, scenario& out,
                        std::string& error);
bool load_scenario_json(const nlohmann::json& document, const std::string& source, scenario& out,
                        std::string& error);

// The driver calls a scenario may name in a call_result fault.
const std::vector<std::string>& driver_call_names();

}  // namespace sim
