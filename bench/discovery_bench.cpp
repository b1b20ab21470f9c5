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
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/discovery_model.h"
#include "tests/support/process_runner.h"

namespace {

using namespace discovery_bench;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// False when the trace holds no complete discovery of this database.
bool report(const database_spec& db, const std::vector<setup_sample>& samples) {
    const transaction_count minimum = minimum_transactions(db);
    std::printf("  %s (%zu services, %zu characteristics):\n", db.name.c_str(), db.services.size(),
                characteristic_count(db));
    if (samples.empty()) {
        std::printf("    no complete discovery in the trace\n");
        return false;
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
    return true;
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

    std::ifstream trace(trace_path);
    const trace_summary summary = read_setups(trace);
    std::printf(
        "Discovery, simulated time from BLE_GAP_EVT_CONNECTED to the end of discovery (the RSSI "
        "start), real-time run:\n");
    bool measured_all = true;
    for (const auto& db : databases) {
        std::vector<setup_sample> mine;
        for (const auto& s : summary.complete) {
            if (s.phone == db.name) mine.push_back(s);
        }
        measured_all = report(db, mine) && measured_all;
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
    return measured_all ? 0 : 1;
}
