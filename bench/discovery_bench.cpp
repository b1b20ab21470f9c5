// Discovery: simulated time from a phone's connection to the end of its GATT discovery, for
// the standard profile and for a large database, compared with the fewest GATT transactions
// that discovery needs times the connection interval.
//
// Runs the orvette program against the simulated dongle (real time, a scenario with a
// trace), disconnects every phone a few times so that each is connected and discovered
// afresh, and reads the trace: each connection's BLE_GAP_EVT_CONNECTED, the GATT requests on
// its handle, the connection event of each answer, and the RSSI start that ends the set-up.
//
//   discovery_bench [--cycles N] [--keep]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace {

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

bool is_uuid16(const std::string& uuid) {
    return uuid.size() == 4;
}

std::string hex_byte(int value) {
    static const char digits[] = "0123456789abcdef";
    return {digits[(value >> 4) & 0xF], digits[value & 0xF]};
}

characteristic_spec readable(const std::string& uuid, const std::string& value = "00") {
    return {uuid, {"read"}, value, false};
}

// The profile every simulated phone has unless its scenario gives another; described here
// only to count its transactions (the scenario leaves it to the phone).
database_spec standard_profile() {
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
database_spec large_database() {
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

size_t characteristic_count(const database_spec& db) {
    size_t count = 0;
    for (const auto& service : db.services) count += service.characteristics.size();
    return count;
}

// Entries of one UUID size that fit one discovery response at the default ATT MTU of 23:
// three 16-bit services (6 bytes each) or characteristic declarations (7 bytes each), or
// one 128-bit one (20 or 21 bytes).
size_t responses_for(const std::vector<bool>& entries_are_uuid16) {
    size_t responses = 0;
    size_t run = 0;
    for (size_t i = 0; i < entries_are_uuid16.size(); ++i) {
        if (!entries_are_uuid16[i]) {
            responses += run > 0 ? (run + 2) / 3 : 0;
            run = 0;
            ++responses;
            continue;
        }
        ++run;
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
transaction_count minimum_transactions(const database_spec& db) {
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

json gatt_json(const database_spec& db) {
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

json scenario_for(const std::vector<database_spec>& databases, const std::string& trace_path) {
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
    size_t transactions = 0;
    size_t refused = 0;
    int64_t last_answer_event = -1;
};

bool is_gatt_request(const std::string& call) {
    return call == "sd_ble_gattc_primary_services_discover" ||
           call == "sd_ble_gattc_characteristics_discover" || call == "sd_ble_gattc_read" ||
           call == "sd_ble_gattc_write";
}

struct trace_summary {
    std::vector<setup_sample> complete;
    size_t cut_short = 0;  // set-ups a disconnection ended before discovery did
};

trace_summary read_setups(const std::string& trace_path) {
    trace_summary summary;
    std::map<int, setup_sample> open;
    std::ifstream in(trace_path);
    std::string text;
    while (std::getline(in, text)) {
        const json line = json::parse(text, nullptr, false);
        if (line.is_discarded() || !line.is_object()) continue;
        if (line.contains("event")) {
            const std::string event = line["event"];
            if (!line.contains("conn_handle")) continue;
            const int handle = line["conn_handle"];
            if (event == "BLE_GAP_EVT_CONNECTED") {
                setup_sample sample;
                sample.phone = line.value("phone", "");
                sample.connected_ms = line["t"];
                sample.first_event_ms = line.value("first_conn_event", sample.connected_ms);
                sample.interval_ms = 1.25 * line["conn_params"]["min_conn_interval"].get<double>();
                open[handle] = sample;
            } else if (event == "BLE_GAP_EVT_DISCONNECTED") {
                if (open.erase(handle) > 0) ++summary.cut_short;
            } else if (line.contains("conn_event") && open.count(handle) > 0) {
                open[handle].last_answer_event = line["conn_event"];
            }
            continue;
        }
        if (!line.contains("call") || !line.contains("args")) continue;
        const json& args = line["args"];
        if (!args.is_object() || !args.contains("conn_handle")) continue;
        const int handle = args["conn_handle"];
        auto found = open.find(handle);
        if (found == open.end()) continue;
        const std::string call = line["call"];
        if (is_gatt_request(call)) {
            if (line["result"] == 0) {
                ++found->second.transactions;
            } else {
                ++found->second.refused;
            }
        } else if (call == "sd_ble_gap_rssi_start") {
            found->second.ended_ms = line["t"];
            summary.complete.push_back(found->second);
            open.erase(found);
        }
    }
    return summary;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

void report(const database_spec& db, const std::vector<setup_sample>& samples) {
    const transaction_count minimum = minimum_transactions(db);
    std::printf("  %s (%zu services, %zu characteristics):\n", db.name.c_str(), db.services.size(),
                characteristic_count(db));
    if (samples.empty()) {
        std::printf("    no complete discovery in the trace\n");
        return;
    }
    std::vector<double> durations;
    std::vector<double> events_used;
    size_t most_transactions = 0;
    size_t fewest_transactions = SIZE_MAX;
    size_t refused = 0;
    for (const auto& s : samples) {
        durations.push_back(s.ended_ms - s.connected_ms);
        events_used.push_back(static_cast<double>(s.last_answer_event + 1));
        most_transactions = std::max(most_transactions, s.transactions);
        fewest_transactions = std::min(fewest_transactions, s.transactions);
        refused += s.refused;
    }
    const double interval = samples.front().interval_ms;
    const size_t n = minimum.total();
    std::printf(
        "    connection to end of discovery: median %.1f ms (min %.1f, max %.1f; %zu "
        "connections)\n",
        median(durations), *std::min_element(durations.begin(), durations.end()),
        *std::max_element(durations.begin(), durations.end()), samples.size());
    std::printf("    GATT transactions: %zu", most_transactions);
    if (fewest_transactions != most_transactions) std::printf(" to %zu", fewest_transactions);
    std::printf(" (minimum %zu = %zu service + %zu characteristic discoveries + %zu reads)", n,
                minimum.services, minimum.characteristics, minimum.reads);
    if (refused > 0) std::printf(", %zu refused by the stack", refused);
    std::printf("\n");
    std::printf("    limit: %zu transactions x %.2f ms interval = %.1f ms\n", n, interval,
                static_cast<double>(n) * interval);
    const double events = median(events_used);
    std::printf(
        "    connection events from the first to the last answer: median %.0f; the simulated "
        "phone needs %zu (each request goes out in one event, its answer comes in the next): "
        "%.0f lost between answer and next request\n",
        events, 2 * n, std::max(0.0, events - static_cast<double>(2 * n)));
}

std::string make_work_dir() {
    std::random_device random;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("orvette-discovery-bench-" + std::to_string(random()));
    std::filesystem::create_directories(dir);
    return dir.string();
}

}  // namespace

int main(int argc, char** argv) {
    int cycles = 5;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cycles" && i + 1 < argc) {
            cycles = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: %s [--cycles N] [--keep]\n", argv[0]);
            return 2;
        }
    }

    const std::vector<database_spec> databases{standard_profile(), large_database()};
    const std::string dir = make_work_dir();
    const std::string scenario_path = dir + "/scenario.json";
    const std::string trace_path = dir + "/trace.jsonl";
    std::ofstream(scenario_path) << scenario_for(databases, trace_path).dump(2) << "\n";

    testing_support::process_options options;
    options.args = {"-csim:" + scenario_path, "-s", "-v0"};
    for (const auto& db : databases) options.args.push_back("-u" + db.phone_uuid);
    // Both phones are connected and discovered within a few seconds of a start or of a
    // disconnection; each cycle drops them and lets them come back.
    constexpr uint32_t cycle_ms = 6000;
    for (int c = 0; c < cycles; ++c) options.steps.push_back({"", cycle_ms, "d\n"});
    options.steps.push_back({"", cycle_ms, "q\n"});
    options.time_limit_ms = cycle_ms * static_cast<uint32_t>(cycles + 1) + 30000;

    const testing_support::process_result result =
        testing_support::run_process(ORVETTE_BINARY, options);
    if (!result.exited || result.exit_code != 0) {
        std::fprintf(stderr, "orvette did not end cleanly:\n%s\n",
                     testing_support::describe(result).c_str());
        return 1;
    }

    const trace_summary summary = read_setups(trace_path);
    std::printf(
        "Discovery, simulated time from BLE_GAP_EVT_CONNECTED to the end of discovery (the RSSI "
        "start), real-time run:\n");
    for (const auto& db : databases) {
        std::vector<setup_sample> mine;
        for (const auto& s : summary.complete) {
            if (s.phone == db.name) mine.push_back(s);
        }
        report(db, mine);
    }
    if (summary.cut_short > 0) {
        std::printf("  (%zu set-ups were cut short by a disconnection and are not counted)\n",
                    summary.cut_short);
    }
    if (keep) {
        std::printf("scenario and trace kept in %s\n", dir.c_str());
    } else {
        std::filesystem::remove_all(dir);
    }
    return 0;
}
