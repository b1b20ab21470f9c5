// The entries of a scenario's "faults" list, one reader per fault type. A fault on what a
// phone does with the requests it receives goes to that phone; the others go to the
// world's fault list. An advertising storm is read by the loader, as the advertiser it is.
#pragma once

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "sim/scenario/scenario.h"
#include "sim/scenario/scenario_reader.h"

namespace sim {

class fault_readers {
  public:
    using json = nlohmann::json;
    using storm_reader = std::function<bool(const json& value, const std::string& path)>;

    // Faults go into `out`, whose phones must all be read already.
    fault_readers(scenario_reader& reader, scenario& out, storm_reader storm);

    // The entry at `path` ("faults[3]").
    bool read(const json& value, const std::string& path);

  private:
    using reader = bool (fault_readers::*)(const json& value, const std::string& path);
    static const std::map<std::string, reader>& by_type();

    bool call_result(const json& v, const std::string& path);
    bool dongle_gone(const json& v, const std::string& path);
    bool event(const json& v, const std::string& path);
    bool adv_storm(const json& v, const std::string& path);
    bool gatt_silent(const json& v, const std::string& path);
    bool cccd(const json& v, const std::string& path);
    bool challenge_silent(const json& v, const std::string& path);
    bool connect_never(const json& v, const std::string& path);
    bool connect_timeout(const json& v, const std::string& path);
    bool connect_fail(const json& v, const std::string& path);
    bool connect_late(const json& v, const std::string& path);
    bool disconnect(const json& v, const std::string& path);
    bool out_of_range(const json& v, const std::string& path);

    // The phone named by "phone", by its name or UUID.
    bool phone(const json& v, const std::string& path, int& device);
    // "from_ms" and "until_ms", the end later than the start.
    bool window(const json& v, const std::string& path, std::optional<sim_us>& from,
                std::optional<sim_us>& until);
    // "result", a driver result code; `out` keeps its value when it is optional and absent.
    bool result(const json& v, const std::string& path, bool required, uint32_t& out);
    // The keys every fault on a phone's GATT behaviour takes after its own: the phone, when
    // it strikes (a window or `count_key`) and on which connection. The fault then goes to
    // the phone.
    bool phone_gatt_fault(const json& v, const std::string& path, const char* count_key,
                          phone_fault f);
    // The keys every connection attempt fault takes after its own.
    bool attempt_fault(const json& v, const std::string& path, fault_config f);
    bool add(fault_config f);

    scenario_reader& r_;
    scenario& out_;
    storm_reader storm_;
};

}  // namespace sim
