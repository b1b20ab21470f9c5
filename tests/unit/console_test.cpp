// Console output and timestamps.
#include "diag/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <regex>
#include <string>

namespace {

const std::regex kTimestamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})");

constexpr long long kTicksPerSecond = 10000000;
constexpr long long kTicksPerMs = 10000;
// 2024-03-09 12:34:56 UTC: seconds and milliseconds do not depend on the time zone.
constexpr long long kWholeSecond = 1709987696LL * kTicksPerSecond;

std::tm local_time(std::time_t seconds) {
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return local;
}

}  // namespace

TEST(Console, PrintfWritesExactlyTheFormattedTextAndReturnsItsLength) {
    testing::internal::CaptureStdout();
    const int written = console_printf("a%db%s", 12, "xyz");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a12bxyz");
    EXPECT_EQ(written, 7);
}

TEST(Console, TimestampShowsLocalTimeToTheMillisecond) {
    const std::string text = format_timestamp(kWholeSecond + 123 * kTicksPerMs);
    ASSERT_TRUE(std::regex_match(text, kTimestamp)) << text;

    const std::time_t seconds = static_cast<std::time_t>(kWholeSecond / kTicksPerSecond);
    const std::tm local = local_time(seconds);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(text, std::string(expected) + ".123");
    EXPECT_EQ(text.substr(17, 2), "56");
}

TEST(Console, MillisecondsArePaddedToThreeDigitsAndNeverRoundedUp) {
    EXPECT_EQ(format_timestamp(kWholeSecond).substr(19), ".000");
    EXPECT_EQ(format_timestamp(kWholeSecond + 7 * kTicksPerMs).substr(19), ".007");
    EXPECT_EQ(format_timestamp(kWholeSecond + 7 * kTicksPerMs + 9999).substr(19), ".007");
    EXPECT_EQ(format_timestamp(kWholeSecond + 45 * kTicksPerMs).substr(19), ".045");
    // The last tick of a second stays in that second.
    const std::string last = format_timestamp(kWholeSecond + kTicksPerSecond - 1);
    EXPECT_EQ(last.substr(17), "56.999");
}

TEST(Console, CurrentTimestampHasTheFormatAndIsNow) {
    const std::string text = make_timestamp();
    ASSERT_TRUE(std::regex_match(text, kTimestamp)) << text;
    const std::time_t now = std::time(nullptr);
    const std::tm local = local_time(now);
    char year[8];
    std::strftime(year, sizeof year, "%Y", &local);
    EXPECT_EQ(text.substr(0, 4), year);
}
