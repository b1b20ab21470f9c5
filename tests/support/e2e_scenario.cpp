#include "tests/support/e2e_scenario.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <utility>

#include "tests/support/test_support.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

// Several test processes (ctest -j, repeats) may make directories at once: a random part
// keeps their names apart, the counter keeps one process's apart.
std::string make_temp_dir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ostringstream name;
        name << "orvette-e2e-" << std::hex << random() << "-" << counter++;
        const fs::path dir = base / name.str();
        std::error_code error;
        if (fs::create_directory(dir, error)) return dir.string();
    }
    ADD_FAILURE() << "cannot create a temporary directory under " << base;
    return base.string();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    out << text;
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

}  // namespace

e2e_scenario::e2e_scenario(nlohmann::json scenario) : dir_(make_temp_dir()) {
    scenario_path_ = (fs::path(dir_) / "scenario.json").string();
    trace_path_ = (fs::path(dir_) / "trace.jsonl").string();
    scenario["trace"] = trace_path_;
    write_file(scenario_path_, scenario.dump(2));
}

e2e_scenario e2e_scenario::from_file(const std::string& file_name,
                                     const nlohmann::json& overrides) {
    const std::string path = std::string(ORVETTE_SOURCE_DIR) + "/tests/e2e/scenarios/" + file_name;
    std::ifstream in(path);
    nlohmann::json scenario = nlohmann::json::object();
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
    } else {
        // Committed scenarios may carry // comments like any scenario file.
        scenario = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false,
                                         /*ignore_comments=*/true);
        if (scenario.is_discarded()) {
            ADD_FAILURE() << path << " is not valid JSON";
            scenario = nlohmann::json::object();
        }
    }
    for (const auto& item : overrides.items()) scenario[item.key()] = item.value();
    return e2e_scenario(std::move(scenario));
}

e2e_scenario::e2e_scenario(e2e_scenario&& other) noexcept
    : dir_(std::move(other.dir_)),
      scenario_path_(std::move(other.scenario_path_)),
      trace_path_(std::move(other.trace_path_)) {
    other.dir_.clear();
}

e2e_scenario::~e2e_scenario() {
    if (dir_.empty()) return;
    if (::testing::Test::HasFailure()) {
        std::printf("scenario and trace kept in %s\n", dir_.c_str());
        return;
    }
    std::error_code error;
    fs::remove_all(dir_, error);
}

std::string e2e_scenario::port_option() const {
    return "-csim:" + scenario_path_;
}

trace_lines e2e_scenario::read_trace() const {
    trace_lines lines;
    std::ifstream in(trace_path_);
    std::string text;
    while (std::getline(in, text)) {
        if (text.empty()) continue;
        trace_line line = nlohmann::json::parse(text, nullptr, false);
        if (line.is_discarded()) {
            ADD_FAILURE() << "trace line is not JSON: " << text;
            continue;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

process_result run_orvette_on(const e2e_scenario& scenario, const std::vector<std::string>& args,
                              const std::vector<stdin_step>& steps, uint32_t time_limit_ms,
                              bool close_stdin) {
    process_options options;
    options.args.push_back(scenario.port_option());
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.steps = steps;
    options.close_stdin = close_stdin;
    options.time_limit_ms = time_limit_ms;
    return run_process(ORVETTE_BINARY, options);
}

::testing::AssertionResult ended_cleanly(const process_result& result) {
    if (result.exited && result.exit_code == 0 && !result.timed_out && result.err.empty()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << describe(result);
}

bool is_call(const trace_line& line, const std::string& call) {
    const auto found = line.find("call");
    return found != line.end() && found->is_string() && found->get<std::string>() == call;
}

bool is_event(const trace_line& line, const std::string& event) {
    const auto found = line.find("event");
    return found != line.end() && found->is_string() && found->get<std::string>() == event;
}

trace_lines trace_calls(const trace_lines& trace, const std::string& call) {
    trace_lines found;
    for (const auto& line : trace) {
        if (is_call(line, call)) found.push_back(line);
    }
    return found;
}

trace_lines trace_events(const trace_lines& trace, const std::string& event) {
    trace_lines found;
    for (const auto& line : trace) {
        if (is_event(line, event)) found.push_back(line);
    }
    return found;
}

double ms_between(const trace_line& from, const trace_line& to) {
    const auto us = [](const trace_line& line) {
        return std::llround(line["t"].get<double>() * 1000.0);
    };
    return static_cast<double>(us(to) - us(from)) / 1000.0;
}

size_t trace_call_index(const trace_lines& trace, const std::string& call, size_t from) {
    for (size_t i = from; i < trace.size(); ++i) {
        if (is_call(trace[i], call)) return i;
    }
    return std::string::npos;
}

size_t trace_event_index(const trace_lines& trace, const std::string& event, size_t from) {
    for (size_t i = from; i < trace.size(); ++i) {
        if (is_event(trace[i], event)) return i;
    }
    return std::string::npos;
}

std::string setup_overlaps(const trace_lines& trace) {
    const trace_line* open_setup = nullptr;
    for (const auto& line : trace) {
        if (is_call(line, "sd_ble_gap_connect")) {
            if (open_setup != nullptr) {
                return "connect " + line.dump() + " while the set-up begun by " +
                       open_setup->dump() + " was unfinished";
            }
            if (line.value("result", -1) == 0) open_setup = &line;
        } else if (is_call(line, "sd_ble_gap_scan_start") && line.contains("args") &&
                   line["args"].contains("scan_params") && !line["args"]["scan_params"].is_null()) {
            open_setup = nullptr;
        }
    }
    return "";
}

std::vector<std::string> lines_with(const std::string& out, const std::string& fragment) {
    std::vector<std::string> found;
    for (auto& line : split_lines(out)) {
        if (line.find(fragment) != std::string::npos) found.push_back(std::move(line));
    }
    return found;
}

size_t line_index(const std::vector<std::string>& lines, const std::string& fragment, size_t from) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].find(fragment) != std::string::npos) return i;
    }
    return std::string::npos;
}

}  // namespace testing_support
