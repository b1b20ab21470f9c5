// What went over the interface, as JSON lines: one per driver call (name, decoded
// arguments, result) and one per event delivered (ID name and decoded fields), each with
// the simulated time in milliseconds ("t"). A scenario switches it on with "trace"; tests
// in the same process can switch it on here.
#pragma once

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "driver/ble.h"

namespace sim {

using trace_json = nlohmann::ordered_json;

// Sends the trace of dongles opened from now on to `path` (truncated at open); an empty
// path switches the file off. A scenario's own "trace" file takes precedence.
void set_trace_file(const std::string& path);
// Keeps the trace lines in memory as well, for trace_lines().
void set_trace_capture(bool on);
// The lines kept since capture was switched on or last cleared.
std::vector<std::string> trace_lines();
void clear_trace_lines();

// The decoded fields of an event, as a trace line shows them (without "t").
trace_json describe_event(const ble_evt_t& event);

// One open dongle's trace: a file and/or the in-memory capture.
class trace_sink {
  public:
    // `scenario_path` wins over the file set with set_trace_file.
    explicit trace_sink(const std::string& scenario_path);
    ~trace_sink();
    bool enabled() const { return enabled_; }
    // False when the file could not be opened (the text is in `error`).
    bool ok(std::string& error) const;
    void write(const trace_json& line);

  private:
    struct file;
    std::mutex lock_;
    std::unique_ptr<file> file_;
    std::string error_;
    bool capture_ = false;
    bool enabled_ = false;
};

}  // namespace sim
