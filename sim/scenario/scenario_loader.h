// Scenario files to worlds. A scenario that cannot be used is refused whole, with one
// line naming the file, the key and the problem; nothing of it is kept.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/scenario/scenario.h"

namespace sim {

// `source` names the scenario in messages (the file path, or "default world").
bool load_scenario_file(const std::string& path, scenario& out, std::string& error);
bool load_scenario_text(const std::string& text, const std::string& source, scenario& out,
                        std::string& error);
bool load_scenario_json(const nlohmann::json& document, const std::string& source, scenario& out,
                        std::string& error);

// The driver calls a scenario may name in a call_result fault.
const std::vector<std::string>& driver_call_names();

}  // namespace sim
