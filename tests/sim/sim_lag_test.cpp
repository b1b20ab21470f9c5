// A world that cannot keep up with its clock says so through the log callback, once when it
// falls behind and once when it has caught up, and writes the same lines to its trace.
#include <gtest/gtest.h>

#include <string>

#include "sim/world/trace.h"
#include "tests/sim/sim_session.h"

namespace {

bool has_line_starting(const std::vector<std::string>& lines, const std::string& start) {
    for (const std::string& line : lines) {
        if (line.compare(0, start.size(), start) == 0) return true;
    }
    return false;
}

TEST(SimLag, AStormAtAHighTimeScaleLeavesTheWorldBehindUntilItIsOver) {
    sim::set_trace_capture(true);
    sim::clear_trace_lines();
    // A hundred thousand advertisements a simulated second for three seconds, with a
    // simulated second lasting a real millisecond: no machine runs an action in 10 ns. The
    // phone's advertising goes on after the storm, so the world has something to catch up
    // with.
    sim_testing::session s(sim_testing::one_phone_world(
        "",
        R"(, "faults": [{"type": "adv_storm", "from_ms": 0, "until_ms": 3000, "rate_per_s": 100000}])",
        1000));
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    const std::string behind = "simulated world ";
    const std::string caught_up = "simulated world caught up with its clock at ";
    // Up to half a real minute for the backlog on a busy machine.
    const uint64_t deadline = platform::tick_count() + 30000000;
    while (!has_line_starting(s.logs(), caught_up) && platform::tick_count() < deadline) {
        platform::sleep_ms(50000);
    }
    const std::vector<std::string> logs = s.logs();
    ASSERT_TRUE(has_line_starting(logs, caught_up)) << testing::PrintToString(logs);
    ASSERT_GE(logs.size(), 3u);  // the dongle's own line first
    EXPECT_NE(logs[1].find(" behind its clock at "), std::string::npos) << logs[1];
    EXPECT_EQ(logs[1].compare(0, behind.size(), behind), 0) << logs[1];
    EXPECT_EQ(logs[2].compare(0, caught_up.size(), caught_up), 0) << logs[2];
    s.close();

    int warnings = 0;
    for (const auto& line : sim_testing::trace()) {
        if (line.value("log", -1) == SD_RPC_LOG_WARNING &&
            line.value("message", "").find("behind its clock") != std::string::npos) {
            ++warnings;
        }
    }
    // At this scale a hiccup of a real millisecond is a simulated second: more may follow.
    EXPECT_GE(warnings, 1);
}

}  // namespace
