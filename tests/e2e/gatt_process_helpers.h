// Shared by the end-to-end tests of discovery, keep-alive, challenge and beacon: which
// connection handle a simulated phone got, the GATT traffic on one link, and the console
// lines of one phone's set-up.
#pragma once

#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/test_support.h"

namespace gatt_e2e {

using testing_support::trace_line;
using testing_support::trace_lines;

constexpr size_t npos = std::string::npos;

// Index of the BLE_GAP_EVT_CONNECTED that began `phone`'s n-th connection; npos if none.
inline size_t connected_index(const trace_lines& trace, const std::string& phone,
                              int connection = 1) {
    for (size_t i = 0; i < trace.size(); ++i) {
        const trace_line& line = trace[i];
        if (testing_support::is_event(line, "BLE_GAP_EVT_CONNECTED") &&
            line.value("phone", "") == phone && line.value("connection", 0) == connection) {
            return i;
        }
    }
    return npos;
}

// The handle of `phone`'s n-th connection, or -1 when it never got that far.
inline int connection_handle(const trace_lines& trace, const std::string& phone,
                             int connection = 1) {
    const size_t at = connected_index(trace, phone, connection);
    return at == npos ? -1 : trace[at].value("conn_handle", -1);
}

inline int conn_handle_of(const trace_line& line) {
    if (line.contains("args")) return line["args"].value("conn_handle", -1);
    return line.value("conn_handle", -1);
}

// Calls named `call` on one connection handle among trace lines [from, to).
inline trace_lines calls_on(const trace_lines& trace, const std::string& call, int conn_handle,
                            size_t from = 0, size_t to = npos) {
    trace_lines found;
    for (size_t i = from; i < trace.size() && i < to; ++i) {
        if (testing_support::is_call(trace[i], call) && conn_handle_of(trace[i]) == conn_handle) {
            found.push_back(trace[i]);
        }
    }
    return found;
}

// Every GATT client call (discovery, read, write) in trace order.
inline bool is_gattc_call(const trace_line& line) {
    return line.contains("call") && line["call"].get<std::string>().rfind("sd_ble_gattc_", 0) == 0;
}

// Console output as lines with timestamps replaced by "TS".
inline std::vector<std::string> console_lines(const std::string& out) {
    return testing_support::split_lines(testing_support::strip_timestamps(out));
}

// The lines from the first containing `first` up to and including the next containing
// `last`; empty when either is missing.
inline std::vector<std::string> block(const std::vector<std::string>& lines,
                                      const std::string& first, const std::string& last) {
    const size_t begin = testing_support::line_index(lines, first);
    if (begin == npos) return {};
    const size_t end = testing_support::line_index(lines, last, begin);
    if (end == npos) return {};
    return std::vector<std::string>(lines.begin() + static_cast<long>(begin),
                                    lines.begin() + static_cast<long>(end) + 1);
}

inline size_t count_lines_with(const std::string& out, const std::string& fragment) {
    return testing_support::lines_with(out, fragment).size();
}

}  // namespace gatt_e2e
