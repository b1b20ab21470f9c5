// End-to-end runs of the orvette program against the simulated dongle: a scenario file
// written by the test into a temporary directory (with a trace file beside it), the run
// itself, and reading the trace back to see what went over the driver interface.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace testing_support {

// One line of the simulated dongle's trace: a driver call ("call", "args", "result",
// "result_name"), an event ("event", "id" and its fields), a status/log line or a fault note;
// each with the simulated time "t" in milliseconds.
using trace_line = nlohmann::json;
using trace_lines = std::vector<trace_line>;

// A scenario in a fresh temporary directory. Its "trace" is set to trace.jsonl in the same
// directory (whatever the given JSON said). The directory is removed when the object goes,
// unless the current test has failed: then it is kept and its path printed, for a look.
class e2e_scenario {
  public:
    explicit e2e_scenario(nlohmann::json scenario);
    // A committed scenario from tests/e2e/scenarios/, with the keys of `overrides` replacing
    // its top-level keys.
    static e2e_scenario from_file(const std::string& file_name,
                                  const nlohmann::json& overrides = nlohmann::json::object());

    e2e_scenario(e2e_scenario&& other) noexcept;
    e2e_scenario& operator=(e2e_scenario&&) = delete;
    e2e_scenario(const e2e_scenario&) = delete;
    e2e_scenario& operator=(const e2e_scenario&) = delete;
    ~e2e_scenario();

    const std::string& dir() const { return dir_; }
    const std::string& scenario_path() const { return scenario_path_; }
    const std::string& trace_path() const { return trace_path_; }
    // The program's port option for this scenario: "-csim:<scenario path>".
    std::string port_option() const;
    // The trace as written so far (empty when there is no file yet). A line that is not
    // JSON fails the current test.
    trace_lines read_trace() const;

  private:
    std::string dir_;
    std::string scenario_path_;
    std::string trace_path_;
};

// Runs orvette with the scenario's port option followed by `args`, feeding `steps` to its
// standard input (closed after the last step unless `close_stdin` is false).
process_result run_orvette_on(const e2e_scenario& scenario, const std::vector<std::string>& args,
                              const std::vector<stdin_step>& steps, uint32_t time_limit_ms,
                              bool close_stdin = true);

// Success when the run ended by itself with exit code 0 and wrote nothing to standard error
// (where a sanitizer report would go); otherwise the failure carries describe(result).
::testing::AssertionResult ended_cleanly(const process_result& result);

// Trace lines of the driver call / event with this name, in trace order.
trace_lines trace_calls(const trace_lines& trace, const std::string& call);
trace_lines trace_events(const trace_lines& trace, const std::string& event);
bool is_call(const trace_line& line, const std::string& call);
bool is_event(const trace_line& line, const std::string& event);
// Simulated milliseconds from one trace line to another, exact to the microsecond the trace
// is written in (a plain difference of the two decimal times can miss by a rounding error).
double ms_between(const trace_line& from, const trace_line& to);
// Index of the first line at or after `from` that is this call / event; npos when none.
size_t trace_call_index(const trace_lines& trace, const std::string& call, size_t from = 0);
size_t trace_event_index(const trace_lines& trace, const std::string& event, size_t from = 0);

// Checks that the program set up one phone at a time: a set-up starts with an accepted
// sd_ble_gap_connect and ends with the full scan start (one with parameters) that its end
// makes, so no sd_ble_gap_connect may come between the two. Returns "" when that holds,
// else a description of the first offending call.
std::string setup_overlaps(const trace_lines& trace);

// Console lines (timestamps left as they are) that contain `fragment`, in output order.
std::vector<std::string> lines_with(const std::string& out, const std::string& fragment);
// Index of the first line at or after `from` that contains `fragment`; npos when none.
size_t line_index(const std::vector<std::string>& lines, const std::string& fragment,
                  size_t from = 0);

}  // namespace testing_support
