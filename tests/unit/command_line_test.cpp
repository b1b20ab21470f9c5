// Command-line parsing in-process: exact console output, exit codes, run_config and the run
// flags written into test_context.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "app/test_context.h"
#include "tests/support/test_support.h"

namespace {

const std::string kUsage =
    "Usage: Orvette.exe <-cCOMport> <-u<uuid-no-dashes>>* [-s] [-x] [-v[0-2]] [-i<interval>] "
    "[-w<window>\n"
    "\tExample: Orvette.exe -cCOM10 -ua0a489971097bba1b343eddd8f50f6ac "
    "-ufeedfeadfeadfeadfeadfeadfeadfead -v1\n"
    "\tThe test program will always beacon (emit advertisements) unless the -s (silent) option "
    "is specified.\n"
    "\tThe program will keep running after encountering serious errors unless the -x (exit) "
    "option is specified\n"
    "\tThe test program will always scan for advertisements.\n"
    "\tIf you specify one or more UUIDs using the -u option, the test program will connect to "
    "peripherals that advertise those UUIDs.\n"
    "\t-i and -w can be used to alter the scan interval (default 160) and window (default 80)\n";

const std::string kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
const std::string kUuidB = "feedfeadfeadfeadfeadfeadfeadfead";

struct parse_outcome {
    bool ok = false;
    int exit_code = -1;
    std::string out;
    run_config config;
};

parse_outcome parse(std::vector<std::string> args) {
    args.insert(args.begin(), "Orvette.exe");
    std::vector<const char*> argv;
    for (const auto& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    parse_outcome outcome;
    testing::internal::CaptureStdout();
    outcome.ok = parse_command_line(static_cast<int>(args.size()), argv.data(), outcome.config,
                                    outcome.exit_code);
    std::fflush(stdout);
    outcome.out = testing::internal::GetCapturedStdout();
    return outcome;
}

class CommandLine : public testing::Test {
  protected:
    void SetUp() override { testing_support::reset_test_context(); }
};

}  // namespace

TEST_F(CommandLine, NoArgumentsGivesExactlyTheUsageText) {
    const parse_outcome r = parse({});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kUsage);
}

TEST_F(CommandLine, FullCommandLineFillsConfigAndFlagsWithMessagesInArgumentOrder) {
    const parse_outcome r =
        parse({"-x", "-w48", "-cCOM10", "-u" + kUuidB, "-v1", "-s", "-u" + kUuidA, "-i96"});
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out,
              "use scan window 48\n"
              "logging level 1\n"
              "'silent' option specified, no beaconing\n"
              "use scan interval 96\n");
    EXPECT_EQ(r.config.port, "COM10");
    EXPECT_EQ(r.config.uuids, (std::set<std::string>{kUuidA, kUuidB}));
    EXPECT_EQ(r.config.log_level, 1);
    EXPECT_TRUE(test_context.has_uuids);
    EXPECT_TRUE(test_context.silent);
    EXPECT_TRUE(test_context.exit_on_error);
    EXPECT_EQ(test_context.scan_interval, 96);
    EXPECT_EQ(test_context.scan_window, 48);
    // The level reaches test_context only when the test run starts.
    EXPECT_EQ(test_context.log_level.load(), 0);
}

TEST_F(CommandLine, MinimalCommandLineLeavesDefaults) {
    const parse_outcome r = parse({"-cCOM3"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.config.uuids.empty());
    EXPECT_EQ(r.config.log_level, 0);
    EXPECT_FALSE(test_context.has_uuids);
    EXPECT_FALSE(test_context.silent);
    EXPECT_FALSE(test_context.exit_on_error);
    EXPECT_EQ(test_context.scan_interval, 0);
    EXPECT_EQ(test_context.scan_window, 0);
}

TEST_F(CommandLine, StructuralErrorsGiveUsageAndWriteNoFlags) {
    const std::vector<std::vector<std::string>> cases = {
        {"-c", "COM10"},                       // port split from its option
        {"-cCOM10", "-v"},                     // -v without a digit
        {"-cCOM10", "-v10"},                   // two digits
        {"-cCOM10", "-vx"},                    // not a digit
        {"-cCOM10", "-"},                      // '-' alone
        {"-cCOM10", "-q"},                     // unknown option
        {"-cCOM10", "-C"},                     // options are case-sensitive
        {"-cCOM10", ""},                       // empty argument
        {"-cCOM10", "-u" + kUuidA.substr(1)},  // 31 characters
        {"-cCOM10", "-u" + kUuidA + "0"},      // 33 characters
        {"-s", "-x", "-u" + kUuidA},           // no port at all
        {"-cCOM10", "-c"},                     // a later empty -c replaces the port
    };
    for (const auto& args : cases) {
        testing_support::reset_test_context();
        const parse_outcome r = parse(args);
        std::string shown;
        for (const auto& a : args) shown += "[" + a + "] ";
        EXPECT_FALSE(r.ok) << shown;
        EXPECT_EQ(r.exit_code, 1) << shown;
        EXPECT_TRUE(testing_support::contains(r.out, kUsage)) << shown << r.out;
        EXPECT_FALSE(test_context.silent) << shown;
        EXPECT_FALSE(test_context.exit_on_error) << shown;
        EXPECT_FALSE(test_context.has_uuids) << shown;
    }
}

TEST_F(CommandLine, MessagesOfEarlierOptionsStandBeforeTheUsageText) {
    const parse_outcome r = parse({"-v1", "-s", "-q", "-cCOM10"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "logging level 1\n'silent' option specified, no beaconing\n" + kUsage);
}

TEST_F(CommandLine, LogLevelAcceptsAnySingleDigit) {
    const parse_outcome r = parse({"-v9", "-v3", "-cCOM10"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out, "logging level 9\nlogging level 3\n");
    EXPECT_EQ(r.config.log_level, 3);
}

TEST_F(CommandLine, UuidsAreStoredAsTypedOncePerDistinctText) {
    const std::string upper = "A0A489971097BBA1B343EDDD8F50F6AC";
    const std::string odd = "a0a48997-1097-bba1-b343-eddd8f50";  // 32 characters, dashes
    ASSERT_EQ(odd.size(), 32u);
    const parse_outcome r =
        parse({"-cCOM10", "-u" + kUuidA, "-u" + kUuidA, "-u" + upper, "-u" + odd});
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.config.uuids, (std::set<std::string>{kUuidA, upper, odd}));
    EXPECT_TRUE(test_context.has_uuids);
}

TEST_F(CommandLine, ScanNumbersParseLikeUnsignedScanfUpTo16Bits) {
    struct scan_case {
        std::string value;
        std::string printed;
        uint16_t stored;
    };
    const std::vector<scan_case> cases = {
        {"0", "0", 0},                                    // explicit 0 means the default
        {"96", "96", 96},    {"65535", "65535", 0xFFFF},  // the largest the stack can be given
        {"96abc", "96", 96},                              // trailing characters ignored
        {" 42", "42", 42},                                // leading white space allowed
        {"+7", "7", 7},      {"00065535", "65535", 0xFFFF},
    };
    for (const auto& c : cases) {
        testing_support::reset_test_context();
        const parse_outcome r = parse({"-cCOM10", "-i" + c.value, "-w" + c.value});
        ASSERT_TRUE(r.ok) << c.value << r.out;
        EXPECT_EQ(r.out, "use scan interval " + c.printed + "\nuse scan window " + c.printed + "\n")
            << c.value;
        EXPECT_EQ(test_context.scan_interval, c.stored) << c.value;
        EXPECT_EQ(test_context.scan_window, c.stored) << c.value;
    }
}

TEST_F(CommandLine, TheLastScanNumberWins) {
    const parse_outcome r = parse({"-i100", "-cCOM10", "-i200", "-w10", "-w20"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(test_context.scan_interval, 200);
    EXPECT_EQ(test_context.scan_window, 20);
}

TEST_F(CommandLine, BadScanNumbersPrintOnlyTheirErrorLine) {
    // A sign would make "%u" wrap -5 round to 4294967291, and a value beyond 16 bits would be
    // announced in full but used cut short (65696 scans at 160): all are refused like text.
    for (const std::string value :
         {"", "abc", " ", "-5", "65536", "65696", "70000", "4294967296", "99999999999999999999"}) {
        testing_support::reset_test_context();
        const parse_outcome interval = parse({"-cCOM10", "-s", "-i" + value});
        EXPECT_FALSE(interval.ok) << value;
        EXPECT_EQ(interval.exit_code, 1) << value;
        EXPECT_EQ(interval.out,
                  "'silent' option specified, no beaconing\nERROR: invalid scan interval\n")
            << value;
        EXPECT_FALSE(test_context.silent);

        const parse_outcome window = parse({"-w" + value, "-cCOM10"});
        EXPECT_FALSE(window.ok) << value;
        EXPECT_EQ(window.exit_code, 1) << value;
        EXPECT_EQ(window.out, "ERROR: invalid scan window\n") << value;
    }
}

TEST_F(CommandLine, SilentAndExitIgnoreWhatFollowsTheOptionLetter) {
    const parse_outcome r = parse({"-sxyz", "-xanything", "-cCOM10"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out, "'silent' option specified, no beaconing\n");
    EXPECT_TRUE(test_context.silent);
    EXPECT_TRUE(test_context.exit_on_error);
}

TEST_F(CommandLine, LaterPortReplacesEarlierOne) {
    const parse_outcome r = parse({"-cCOM1", "-csim"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.config.port, "sim");
}

namespace {

std::atomic<int> starter_calls{0};
std::atomic<run_config*> started_config{nullptr};

platform::thread_handle failing_starter(platform::thread_entry, void*) {
    ++starter_calls;
    return nullptr;
}

void do_nothing(void*) {}

// Starts a thread that does not run the test run, keeping what it was handed.
platform::thread_handle recording_starter(platform::thread_entry, void* argument) {
    ++starter_calls;
    started_config = static_cast<run_config*>(argument);
    return platform::start_thread(do_nothing, nullptr);
}

int run_main(std::vector<const char*> argv, run_thread_starter starter, std::string& out) {
    argv.insert(argv.begin(), "Orvette.exe");
    testing::internal::CaptureStdout();
    const int code = orvette_main(static_cast<int>(argv.size()), argv.data(), starter);
    std::fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    return code;
}

}  // namespace

TEST_F(CommandLine, EntryPointHandsTheParsedConfigToTheRunThreadAndReturnsZero) {
    starter_calls = 0;
    std::string out;
    EXPECT_EQ(
        run_main({"-cCOM7", "-v2", "-ua0a489971097bba1b343eddd8f50f6ac"}, recording_starter, out),
        0);
    EXPECT_EQ(out, "logging level 2\n");
    EXPECT_EQ(starter_calls.load(), 1);
    ASSERT_NE(started_config.load(), nullptr);
    EXPECT_EQ(started_config.load()->port, "COM7");
    EXPECT_EQ(started_config.load()->log_level, 2);
    EXPECT_EQ(started_config.load()->uuids.size(), 1u);
}

TEST_F(CommandLine, EntryPointStartsNothingAfterACommandLineError) {
    starter_calls = 0;
    std::string out;
    EXPECT_EQ(run_main({"-cCOM7", "-z"}, recording_starter, out), 1);
    EXPECT_EQ(starter_calls.load(), 0);
    EXPECT_EQ(out, kUsage);
}

TEST_F(CommandLine, EntryPointReportsARunThreadThatCannotStart) {
    std::string out;
    EXPECT_NE(run_main({"-cCOM7"}, failing_starter, out), 0);
    EXPECT_TRUE(testing_support::contains(out, "ERROR: failed to start the test run thread"))
        << out;
}
