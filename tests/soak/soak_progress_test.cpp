// The soak's progress: how often it speaks on a terminal and off one, what it says, and the
// reading of a trace that is still being written.
#include "tests/soak/soak_progress.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/soak/trace_follower.h"

namespace {

TEST(SoakProgress, OnATerminalEveryFewRealSecondsElsewhereOnceASimulatedHour) {
    soak::progress_pacer terminal(true);
    int lines = 0;
    // A minute of real time at x50, ticking ten times a second.
    for (int tick = 0; tick <= 600; ++tick) lines += terminal.due(tick / 10.0, tick * 5000.0);
    EXPECT_EQ(lines, 20);

    soak::progress_pacer log(false);
    lines = 0;
    for (int tick = 0; tick <= 6000; ++tick) lines += log.due(tick / 10.0, tick * 5000.0);
    EXPECT_EQ(lines, 8);  // 30,000 simulated seconds: hours 1 to 8
    // A trace that jumps ahead gives one line, not one per hour skipped.
    EXPECT_TRUE(log.due(601, 20 * 3600000.0));
    EXPECT_FALSE(log.due(602, 20.5 * 3600000.0));
    EXPECT_TRUE(log.due(603, 21 * 3600000.0));
}

TEST(SoakProgress, TheLineTellsSimulatedTimeSetUpsDisconnectionsAndPhonesConnected) {
    soak::audit_progress p;
    p.t_ms = 3.25 * 3600000;
    p.setups = 412;
    p.disconnections = 398;
    p.phones_connected = 4;
    p.phones = 5;
    EXPECT_EQ(soak::progress_line(p, 24 * 3600000.0, 234.4),
              "soak: 3.25 h of 24 h (14%) in 234 s real; set-ups 412, disconnections 398, "
              "phones connected 4 of 5");
    p.world_behind = true;
    EXPECT_EQ(soak::progress_line(p, 0.5 * 3600000.0, 1),
              "soak: 3.25 h of 0.5 h (650%) in 1 s real; set-ups 412, disconnections 398, "
              "phones connected 4 of 5; the world is behind its clock");
}

TEST(SoakProgress, AGrowingTraceIsReadLineByLineWithPartLinesKeptForLater) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("soak-follow-" + std::to_string(::getpid())))
            .string();
    std::filesystem::remove(path);
    soak::trace_follower follower(path);
    std::vector<std::string> lines;
    const auto take = [&](const std::string& line) { lines.push_back(line); };
    EXPECT_EQ(follower.read_new(take), 0u);  // not written yet

    std::ofstream out(path, std::ios::binary);
    out << "{\"t\":1}\n{\"t\":2" << std::flush;
    EXPECT_EQ(follower.read_new(take), 1u);
    out << "}\n" << std::string(100000, 'x') << "\n{\"t\":3}" << std::flush;
    EXPECT_EQ(follower.read_new(take), 2u);  // a line longer than one read, too
    EXPECT_EQ(follower.read_new(take), 0u);
    out.close();
    EXPECT_EQ(follower.read_rest(take), 1u);  // the last one has no newline
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "{\"t\":1}");
    EXPECT_EQ(lines[1], "{\"t\":2}");
    EXPECT_EQ(lines[2].size(), 100000u);
    EXPECT_EQ(lines[3], "{\"t\":3}");
    std::filesystem::remove(path);
}

}  // namespace
