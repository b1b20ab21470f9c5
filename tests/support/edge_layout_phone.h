// A phone at the edges of GATT layouts that phones really have, for the contract between the
// backends: its last service ends at handle 0xFFFF, and a User Description sits between its
// 'response' value and that characteristic's CCCD. The same scenario phone drives a run on
// the simulated dongle and one over HCI on BlueZ's emulator (the test phones serve the
// scenario phone's database), and both set-ups must print the same lines.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testing_support {

// A scenario's "phones" list entry for a phone of this `uuid` (32 hex digits) named `name`,
// as a JSON object text.
std::string edge_layout_phone(const std::string& name, const std::string& uuid);

// The set-up's lines on link 0, from the first discovery request to the end step's line,
// without the lines that carry a timestamp (those of the event thread's own reports, which
// a run over HCI may print among others).
std::vector<std::string> edge_layout_setup_lines(const std::string& uuid);

// Whether the first set-up in a run's console lines (timestamps stripped) is that one. The
// lines a call prints once it returns and those its answer's event prints may come from two
// threads (the first request is made on the work thread): each kind must be all there, in
// its order.
::testing::AssertionResult edge_layout_set_up(const std::vector<std::string>& lines,
                                              const std::string& uuid);

// The phone's answer to the challenge, on its 'response' value.
constexpr const char* edge_layout_notified =
    "Received data for characteristic handle 0x000A #bytes = 20 hvx handle = 0x000A";

}  // namespace testing_support
