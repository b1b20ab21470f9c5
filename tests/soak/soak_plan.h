// The soak run's world: the committed room of phones and bystanders, with rounds of faults
// added for as long as the run lasts, and the stretches of time during which a fault keeps a
// phone from being connected and discovered.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace soak {

struct phone_info {
    std::string name;
    std::string uuid;
};

struct unavailable_window {
    std::string phone;
    double from_ms = 0;
    double until_ms = 0;
    // A connection that is up at any moment of the window may never be discovered (the phone
    // stopped answering it): it owes nothing, and the phone owes a discovered connection
    // only after that one has ended.
    bool spoils_connection = false;
    std::string why;
};

struct soak_plan {
    nlohmann::json scenario;  // ready to be written as the scenario file
    std::vector<phone_info> phones;
    std::vector<unavailable_window> windows;
    int rounds = 0;            // rounds of faults scheduled
    int hang_ups_planned = 0;  // hang-ups in the middle of discovery, by connection number
};

// Simulated time between two rounds of faults. Each round strikes one phone with one kind
// of fault; phones and kinds take turns, so that every phone meets every kind.
constexpr double round_period_ms = 240000;
constexpr int fault_kinds = 7;

// `world` is the committed scenario without the soak's faults. The plan keeps its faults,
// sets the clock's speed and the trace file, and adds the rounds.
soak_plan make_plan(const nlohmann::json& world, double duration_ms, double time_scale,
                    const std::string& trace_path);

}  // namespace soak
