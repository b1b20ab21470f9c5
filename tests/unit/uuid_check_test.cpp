// Monitored UUIDs that can never match a phone's: phones' UUIDs arrive as 32 lower-case hex
// digits and are compared exactly.
#include "app/uuid_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/test_context.h"
#include "tests/support/test_support.h"

namespace {

const std::string kNotHex = "it is not 32 hex digits";
const std::string kUpper = "it has upper-case letters and phones' UUIDs arrive in lower case";

TEST(UuidCheck, OnlyThirtyTwoLowerCaseHexDigitsCanMatch) {
    struct check {
        std::string uuid;
        std::string why;
    };
    const std::vector<check> checks = {
        {"a0a489971097bba1b343eddd8f50f6ac", ""},
        {"0123456789abcdef0123456789abcdef", ""},
        {"A0A489971097BBA1B343EDDD8F50F6AC", kUpper},
        {"a0a489971097bba1b343eddd8f50f6aC", kUpper},   // one letter is enough
        {"a0a48997-1097-bba1-b343-eddd8f50", kNotHex},  // dashes
        {"A0A48997-1097-BBA1-B343-EDDD8F50", kNotHex},  // dashes outweigh the case
        {"g0a489971097bba1b343eddd8f50f6ac", kNotHex},  // a letter past f
        {"G0a489971097bba1b343eddd8f50f6ac", kNotHex},
        {"a0a489971097bba1b343eddd8f50f6a ", kNotHex},    // a blank
        {"a0a489971097bba1b343eddd8f50f6", kNotHex},      // 30 digits
        {"a0a489971097bba1b343eddd8f50f6ac00", kNotHex},  // 34 digits
        {"", kNotHex},
        {"\xc3\xa9"
         "0a489971097bba1b343eddd8f50f6a",
         kNotHex},  // 32 bytes, not 32 digits
    };
    for (const check& c : checks) EXPECT_EQ(why_uuid_never_matches(c.uuid), c.why) << c.uuid;
}

TEST(UuidCheck, TheWarningShowsControlCharactersRatherThanSendingThem) {
    EXPECT_EQ(
        never_matching_uuid_warning("A0A489971097BBA1B343EDDD8F50F6AC", kUpper),
        "Warning: -uA0A489971097BBA1B343EDDD8F50F6AC can never match a phone: " + kUpper + "\n");
    EXPECT_EQ(never_matching_uuid_warning("a\x1b[2Jb\x7f", kNotHex),
              "Warning: -ua\\x1b[2Jb\\x7f can never match a phone: " + kNotHex + "\n");
}

std::string parse_output(std::vector<std::string> args, bool& ok) {
    args.insert(args.begin(), "Orvette.exe");
    std::vector<const char*> argv;
    for (const auto& arg : args) argv.push_back(arg.c_str());
    run_config config;
    int exit_code = -1;
    testing_support::reset_test_context();
    testing::internal::CaptureStdout();
    ok = parse_command_line(static_cast<int>(args.size()), argv.data(), config, exit_code);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(UuidCheck, TheCommandLineWarnsOncePerValueInTheOrderGivenAfterItsOwnLines) {
    const std::string upper = "FEEDFEADFEADFEADFEADFEADFEADFEAD";
    const std::string dashed = "a0a48997-1097-bba1-b343-eddd8f50";
    bool ok = false;
    const std::string out = parse_output({"-u" + upper, "-ua0a489971097bba1b343eddd8f50f6ac",
                                          "-u" + dashed, "-u" + upper, "-v1", "-cCOM10", "-s"},
                                         ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out,
              "logging level 1\n"
              "'silent' option specified, no beaconing\n"
              "Warning: -u" +
                  upper + " can never match a phone: " + kUpper +
                  "\n"
                  "Warning: -u" +
                  dashed + " can never match a phone: " + kNotHex + "\n");
}

TEST(UuidCheck, NoWarningForGoodValuesOrWhenTheCommandLineIsRefused) {
    bool ok = false;
    EXPECT_EQ(parse_output({"-cCOM10", "-ua0a489971097bba1b343eddd8f50f6ac"}, ok), "");
    EXPECT_TRUE(ok);
    // No port: the usage text alone, since nothing will run.
    const std::string out = parse_output({"-uA0A489971097BBA1B343EDDD8F50F6AC"}, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out.find("Warning"), std::string::npos) << out;
}

}  // namespace
