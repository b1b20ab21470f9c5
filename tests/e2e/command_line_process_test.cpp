// The orvette program run as a process: exit codes and what reaches the console before
// and instead of a test run.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/process_runner.h"
#include "tests/support/test_support.h"

using testing_support::contains;
using testing_support::describe;
using testing_support::has_line;
using testing_support::process_options;
using testing_support::process_result;
using testing_support::run_process;
using testing_support::split_lines;

namespace {

const char* const kUsageFirstLine =
    "Usage: Orvette.exe <-cCOMport> <-u<uuid-no-dashes>>* [-s] [-x] [-v[0-2]] [-i<interval>] "
    "[-w<window>";
const char* const kUuid = "a0a489971097bba1b343eddd8f50f6ac";

process_result run_orvette(std::vector<std::string> args, uint32_t limit_ms = 30000) {
    process_options options;
    options.args = std::move(args);
    options.time_limit_ms = limit_ms;
    return run_process(ORVETTE_BINARY, options);
}

}  // namespace

TEST(CommandLineProcess, NoArgumentsPrintsUsageAndExitsWithOne) {
    const process_result result = run_orvette({});
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 1);
    const auto lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), 7u) << describe(result);
    EXPECT_EQ(lines[0], kUsageFirstLine);
    EXPECT_EQ(lines[6],
              "\t-i and -w can be used to alter the scan interval (default 160) and window "
              "(default 80)");
    EXPECT_EQ(result.err, "");
}

TEST(CommandLineProcess, BadScanNumberExitsWithOneWithoutUsage) {
    const process_result result = run_orvette({"-v1", "-iabc", "-cCOM10"});
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "logging level 1\nERROR: invalid scan interval\n");
}

TEST(CommandLineProcess, UnservedPortEndsTheRunWithTheDriverFailureAndExitCodeZero) {
    const process_result result = run_orvette({"-cCOM10", std::string("-u") + kUuid});
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 0) << describe(result);
    EXPECT_TRUE(has_line(
        result.out, "Failed to open nRF BLE Driver. Error 0x803c NRF_ERROR_SD_RPC_SERIAL_PORT"))
        << describe(result);
    // The driver's own log line tells the operator why the port cannot be opened.
    EXPECT_TRUE(contains(result.out, ": Error: serial port COM10: not a port this build can open"))
        << describe(result);
    // It names the ports there are.
    EXPECT_TRUE(contains(result.out, "'hci:unix:<socket path>'")) << describe(result);
    EXPECT_TRUE(contains(result.out, "'sim'")) << describe(result);
}

#if !defined(_WIN32)
TEST(CommandLineProcess, HungChildIsKilledAtTheTimeLimit) {
    // The runner itself: a program that never ends must not hang the suite.
    process_options options;
    options.args = {"-c", "sleep 30"};
    options.time_limit_ms = 300;
    const process_result result = run_process("/bin/sh", options);
    EXPECT_TRUE(result.timed_out) << describe(result);
    EXPECT_FALSE(result.exited);
    EXPECT_LT(result.elapsed_ms, 10000u);
}

TEST(CommandLineProcess, RunnerFeedsStepsAfterTheirOutputAppears) {
    // Each line is echoed back only after the previous answer was seen, so the steps must
    // wait for output in order; stdin is closed at the end so the loop ends.
    process_options options;
    options.args = {"-c", "echo ready; while read line; do echo got:$line; done; echo bye >&2"};
    options.steps = {{"ready", 0, "one\n"}, {"got:one", 10, "two\n"}};
    options.time_limit_ms = 10000;
    const process_result result = run_process("/bin/sh", options);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "ready\ngot:one\ngot:two\n");
    EXPECT_EQ(result.err, "bye\n");
    EXPECT_EQ(result.steps_written, 2u);
}
#else
// The same checks of the runner without /bin/sh.
TEST(CommandLineProcess, HungChildIsKilledAtTheTimeLimit) {
    // cmd.exe waits for ping, a grandchild that holds the output pipes too: the kill takes
    // both.
    process_options options;
    options.args = {"/c", "ping -n 31 127.0.0.1 >nul"};
    options.time_limit_ms = 300;
    const process_result result = run_process("cmd.exe", options);
    EXPECT_TRUE(result.timed_out) << describe(result);
    EXPECT_FALSE(result.exited);
    EXPECT_LT(result.elapsed_ms, 10000u);
}

TEST(CommandLineProcess, RunnerFeedsStepsAfterTheirOutputAppears) {
    // Orvette answers each level key with a line, so each key must wait for the answer to
    // the one before; closing stdin then ends the run. Line ends arrive as "\n" although
    // the child writes "\r\n".
    process_options options;
    options.args = {"-csim"};
    options.steps = {{"'-' to decrease logging level\n", 0, "+\n"},
                     {"logging level 1\n", 10, "+\n"}};
    options.time_limit_ms = 30000;
    const process_result result = run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 0);
    const size_t first = result.out.find("\nlogging level 1\n");
    ASSERT_NE(first, std::string::npos) << describe(result);
    EXPECT_NE(result.out.find("\nlogging level 2\n", first), std::string::npos) << describe(result);
    EXPECT_TRUE(has_line(result.out, "Exiting")) << describe(result);
    EXPECT_EQ(result.out.find('\r'), std::string::npos);
    EXPECT_EQ(result.steps_written, 2u);
}
#endif

TEST(CommandLineProcess, ArgumentsWithBlanksQuotesAndBackslashesArriveUnchanged) {
    // On Windows the runner has to quote these into one command line for the child's C
    // runtime to split again; the scenario error shows the port text as it arrived.
    const std::string scenario = "no such dir\\\"quoted\" end\\";
    process_options options;
    options.args = {"-csim:" + scenario, std::string("-u") + kUuid};
    options.stdin_text = "q\n";
    options.time_limit_ms = 30000;
    const process_result result = run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_TRUE(contains(result.out, "Error: scenario " + scenario + ": cannot open the file"))
        << describe(result);
}

TEST(CommandLineProcess, UuidsThatCanNeverMatchAreWarnedOfAndTheRunGoesOn) {
    const std::string upper = "A0A489971097BBA1B343EDDD8F50F6AC";
    const std::string dashed = "a0a48997-1097-bba1-b343-eddd8f50";
    process_options options;
    options.args = {"-csim",       "-u" + upper, std::string("-u") + kUuid,
                    "-u" + dashed, "-u" + upper, "-v1"};
    options.stdin_text = "q\n";
    options.time_limit_ms = 30000;
    const process_result result = run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 0);
    const auto lines = split_lines(result.out);
    ASSERT_GE(lines.size(), 4u) << describe(result);
    EXPECT_EQ(lines[0], "logging level 1");
    EXPECT_EQ(lines[1], "Warning: -u" + upper +
                            " can never match a phone: it has upper-case letters and phones' "
                            "UUIDs arrive in lower case");
    EXPECT_EQ(lines[2],
              "Warning: -u" + dashed + " can never match a phone: it is not 32 hex digits");
    // Then the start-up as always, to the end of the run.
    EXPECT_EQ(lines[3],
              "'c' to do a challenge/response to connected phones (the response is not "
              "validated)");
    size_t warnings = 0;
    for (const auto& line : lines) warnings += line.rfind("Warning: -u", 0) == 0 ? 1 : 0;
    EXPECT_EQ(warnings, 2u) << describe(result);
    EXPECT_TRUE(has_line(result.out, "Exiting")) << describe(result);
}

TEST(CommandLineProcess, MissingProgramIsReportedNotStarted) {
    const process_result result = run_process("/nonexistent/orvette", {});
    EXPECT_FALSE(result.started);
    EXPECT_FALSE(result.start_error.empty());
}
