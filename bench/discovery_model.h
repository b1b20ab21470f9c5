// What the discovery benchmark measures against: the two databases it runs (as scenario
// JSON for the simulated phones), the fewest GATT transactions their discovery needs, and
// the reading of each connection's set-up out of the simulated dongle's trace.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>
#include <vector>

#include "driver/wire/hex_text.h"

namespace discovery_bench {

using json = nlohmann::json;

struct characteristic_spec {
    std::string uuid;  // 4 hex digits, 32 hex digits, or "feature"/"challenge"/"response"
    std::vector<std::string> properties;
    std::string value;
    bool cccd = false;
};

struct service_spec {
    std::string uuid;  // 4 hex digits, 32 hex digits or "phone"
    std::vector<characteristic_spec> characteristics;
};

struct database_spec {
    std::string name;
    std::string phone_uuid;
    std::vector<service_spec> services;
    bool scenario_default = false;  // the simulated phone's own standard profile
};

inline bool is_uuid16(const std::string& uuid) {
    return uuid.size() == 4;
}

inline std::string hex_byte(int value) {
    const auto byte = static_cast<uint8_t>(value);
    return wire::hex_text(&byte, 1);
}

inline characteristic_spec readable(const std::string& uuid, const std::string& value = "00") {
    return {uuid, {"read"}, value, false};
}

// The profile every simulated phone has unless its scenario gives another; described here
// to count its transactions (the scenario leaves it to the phone).
inline database_spec standard_profile() {
    database_spec db;
    db.name = "standard profile";
    db.phone_uuid = "a0a489971097bba1b343eddd8f50f6ac";
    db.scenario_default = true;
    db.services = {
        {"1800", {readable("2A00"), readable("2A01")}},
        {"1801", {{"2A05", {"indicate"}, "", true}}},
        {"phone",
         {readable("feature", "01"),
          {"challenge", {"write_without_response"}, "", false},
          {"response", {"notify"}, "", true}}},
    };
    return db;
}

// Ten services and forty characteristics: four 16-bit services with 16-bit characteristics,
// the phone's own service, and five vendor services with 128-bit characteristics.
inline database_spec large_database() {
    database_spec db;
    db.name = "large database";
    db.phone_uuid = "c0ffee00c0ffee00c0ffee00c0ffee00";
    db.services = {
        {"1800", {readable("2A00", "4c61726765"), readable("2A01", "4000")}},
        {"1801", {{"2A05", {"indicate"}, "", true}}},
        {"180A",
         {readable("2A29"), readable("2A24"), readable("2A25"), readable("2A27"), readable("2A26"),
          readable("2A28")}},
        {"180F", {{"2A19", {"read", "notify"}, "64", true}}},
        {"phone",
         {readable("feature", "01"),
          {"challenge", {"write_without_response"}, "", false},
          {"response", {"notify"}, "", true}}},
    };
    const int vendor_characteristics[] = {6, 6, 5, 5, 5};
    const std::string common_tail = "0b5a4c1d9e2f30a1b2c3d4e5";
    for (int s = 0; s < 5; ++s) {
        service_spec service{"6e4000" + hex_byte(s + 1) + common_tail, {}};
        for (int c = 0; c < vendor_characteristics[s]; ++c) {
            service.characteristics.push_back(
                readable("7f" + hex_byte(s + 1) + hex_byte(c + 1) + "00" + common_tail));
        }
        db.services.push_back(service);
    }
    return db;
}

inline size_t characteristic_count(const database_spec& db) {
    size_t count = 0;
    for (const auto& service : db.services) count += service.characteristics.size();
    return count;
}

// Discovery responses for entries in handle order. One response holds entries of one UUID
// size; at the default ATT MTU of 23 that is three 16-bit services (6 bytes each) or
// characteristic declarations (7 bytes each), or one 128-bit one (20 or 21 bytes).
inline size_t responses_for(const std::vector<bool>& entries_are_uuid16) {
    size_t responses = 0;
    size_t run = 0;  // consecutive 16-bit entries not yet counted
    for (const bool uuid16 : entries_are_uuid16) {
        if (uuid16) {
            ++run;
            continue;
        }
        responses += (run + 2) / 3 + 1;
        run = 0;
    }
    return responses + (run + 2) / 3;
}

struct transaction_count {
    size_t services = 0;
    size_t characteristics = 0;
    size_t reads = 0;
    size_t total() const { return services + characteristics + reads; }
};

// The fewest requests this discovery makes: full service responses plus the one that finds
// no more, the same for characteristic declarations, one read of each 128-bit service's
// declaration and one of each characteristic's declaration.
inline transaction_count minimum_transactions(const database_spec& db) {
    std::vector<bool> services;
    std::vector<bool> declarations;
    transaction_count count;
    for (const auto& service : db.services) {
        services.push_back(is_uuid16(service.uuid));
        if (!is_uuid16(service.uuid)) ++count.reads;
        for (const auto& characteristic : service.characteristics) {
            declarations.push_back(is_uuid16(characteristic.uuid));
            ++count.reads;
        }
    }
    count.services = responses_for(services) + 1;
    count.characteristics = responses_for(declarations) + 1;
    return count;
}

// The database as a scenario's "gatt" value.
inline json gatt_json(const database_spec& db) {
    json services = json::array();
    for (const auto& service : db.services) {
        json characteristics = json::array();
        for (const auto& characteristic : service.characteristics) {
            json made{{"uuid", characteristic.uuid}, {"properties", characteristic.properties}};
            if (!characteristic.value.empty()) made["value"] = characteristic.value;
            if (characteristic.cccd) made["cccd"] = true;
            characteristics.push_back(made);
        }
        services.push_back({{"uuid", service.uuid}, {"characteristics", characteristics}});
    }
    return json{{"services", services}};
}

// One phone per database, named after it, in real time.
inline json scenario_for(const std::vector<database_spec>& databases,
                         const std::string& trace_path) {
    json phones = json::array();
    for (const auto& db : databases) {
        // Answers come one connection event after the request and the phones never ask for
        // other connection parameters, so the interval stays the program's 7.5 ms.
        json phone{{"name", db.name},
                   {"uuid", db.phone_uuid},
                   {"adv_interval_ms", 100},
                   {"rssi", -55},
                   {"response_latency", 1}};
        if (!db.scenario_default) phone["gatt"] = gatt_json(db);
        phones.push_back(phone);
    }
    return json{
        {"name", "discovery benchmark"}, {"seed", 7}, {"trace", trace_path}, {"phones", phones}};
}

// One connection's set-up as the trace shows it.
struct setup_sample {
    std::string phone;
    double connected_ms = 0;
    double first_event_ms = 0;
    double interval_ms = 0;
    double ended_ms = 0;
    size_t transactions = 0;  // GATT requests the stack took on this connection
    size_t refused = 0;       // ... and those it refused
    int64_t last_answer_event = -1;
};

struct trace_summary {
    std::vector<setup_sample> complete;
    size_t cut_short = 0;  // set-ups a disconnection ended before discovery did
};

inline bool is_gatt_request(const std::string& call) {
    return call == "sd_ble_gattc_primary_services_discover" ||
           call == "sd_ble_gattc_characteristics_discover" ||
           call == "sd_ble_gattc_descriptors_discover" || call == "sd_ble_gattc_read" ||
           call == "sd_ble_gattc_write";
}

// A field of a trace line, or `fallback` when it is missing or of another type; a line cut
// short by a killed run must not stop the reading.
template <typename T>
T field(const json& object, const char* key, T fallback) {
    if (!object.is_object()) return fallback;
    const auto found = object.find(key);
    if (found == object.end()) return fallback;
    if constexpr (std::is_same_v<T, std::string>) {
        return found->is_string() ? found->template get<std::string>() : fallback;
    } else {
        return found->is_number() ? found->template get<T>() : fallback;
    }
}

// A set-up runs from BLE_GAP_EVT_CONNECTED to the RSSI start on that handle, which ends every
// successful discovery; a disconnection of the handle before it cuts the set-up short.
inline trace_summary read_setups(std::istream& in) {
    trace_summary summary;
    std::map<int, setup_sample> open;
    std::string text;
    while (std::getline(in, text)) {
        const json line = json::parse(text, nullptr, false);
        if (line.is_discarded() || !line.is_object()) continue;
        const int no_handle = -1;
        const std::string event = field<std::string>(line, "event", "");
        if (!event.empty()) {
            const int handle = field<int>(line, "conn_handle", no_handle);
            if (handle == no_handle) continue;
            if (event == "BLE_GAP_EVT_CONNECTED") {
                setup_sample sample;
                sample.phone = field<std::string>(line, "phone", "");
                sample.connected_ms = field<double>(line, "t", 0.0);
                sample.first_event_ms =
                    field<double>(line, "first_conn_event", sample.connected_ms);
                const json params = line.value("conn_params", json::object());
                sample.interval_ms = 1.25 * field<double>(params, "min_conn_interval", 0.0);
                open[handle] = sample;
            } else if (event == "BLE_GAP_EVT_DISCONNECTED") {
                if (open.erase(handle) > 0) ++summary.cut_short;
            } else if (open.count(handle) > 0) {
                const int64_t conn_event = field<int64_t>(line, "conn_event", -1);
                if (conn_event >= 0) open[handle].last_answer_event = conn_event;
            }
            continue;
        }
        const std::string call = field<std::string>(line, "call", "");
        const int handle = field<int>(line.value("args", json::object()), "conn_handle", no_handle);
        auto found = open.find(handle);
        if (call.empty() || found == open.end()) continue;
        if (is_gatt_request(call)) {
            if (field<int64_t>(line, "result", -1) == 0) {
                ++found->second.transactions;
            } else {
                ++found->second.refused;
            }
        } else if (call == "sd_ble_gap_rssi_start") {
            found->second.ended_ms = field<double>(line, "t", 0.0);
            summary.complete.push_back(found->second);
            open.erase(found);
        }
    }
    return summary;
}

}  // namespace discovery_bench
