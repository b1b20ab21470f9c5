// The recovery soak: the program on the emulator with its clock sped up, its controller lost
// every five minutes of that clock, in turn by a Hardware Error, its socket cut, and noise in
// what it reads. After each loss the phone must be connected and set up again, the program
// must go on without a stall, and its resident memory must stay flat.
//
//   ORVETTE_RECOVERY_SOAK_MINUTES  the program's minutes to run (25 gives five losses); without
//                                  it the test is skipped, so that the suite's sanitizer runs
//                                  do not pay for it: scripts/soak.sh runs it

//   ORVETTE_RECOVERY_SOAK_TIME_SCALE  how much faster its clock runs (default 20)
//
// The figures go to standard output as one "recovery soak:" block. One phone only: the
// emulator mixes up the links of several phones once they come back in another order
// (docs/btvirt.md), which every loss brings about.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/orvette_run.h"
#include "tests/btvirt/socket_proxy.h"
#include "tests/btvirt/test_phone.h"
#include "tests/support/e2e_scenario.h"
#include "tests/support/process_runner.h"
#include "tests/support/test_support.h"

namespace {

using btvirt_testing::orvette_options;
using btvirt_testing::orvette_run;
using btvirt_testing::scenario_phone;
using btvirt_testing::socket_proxy;
using btvirt_testing::test_phone;
using btvirt_testing::world;
using testing_support::describe;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr const char* kUuid = "a0a489971097bba1b343eddd8f50f6ac";
constexpr double loss_period_ms = 5 * 60 * 1000;  // of the program's clock
// How long (program's clock) the phone may take to be connected again after a loss: the
// recovery, then the program's own road (scan, connect); its keep-alive's drop of every
// link comes every 33 s and adds one more round at worst.
constexpr double back_limit_ms = 90 * 1000;
// Resident memory may move by allocator noise, not grow with the losses. A sanitizer's
// runtime keeps freed memory for a while and its own books: its figures are only shown.
constexpr long rss_growth_limit_kb = 1024;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool memory_checked = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool memory_checked = false;
#else
constexpr bool memory_checked = true;
#endif
#else
constexpr bool memory_checked = true;
#endif

double number_from_environment(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return end != text && *end == '\0' && value > 0 ? value : fallback;
}

long resident_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

enum class loss { hardware_error, cut, noise };

const char* name_of(loss kind) {
    switch (kind) {
        case loss::hardware_error:
            return "Hardware Error";
        case loss::cut:
            return "socket cut";
        case loss::noise:
            return "noise";
    }
    return "?";
}

TEST(BtvirtRecoverySoak, ControllerLostEveryFiveMinutesInTurnEveryPhoneBackNoStallMemoryFlat) {
    if (std::getenv("ORVETTE_RECOVERY_SOAK_MINUTES") == nullptr) {
        GTEST_SKIP() << "set ORVETTE_RECOVERY_SOAK_MINUTES (scripts/soak.sh does) to run it";
    }
    const double minutes = number_from_environment("ORVETTE_RECOVERY_SOAK_MINUTES", 25);
    const double scale = number_from_environment("ORVETTE_RECOVERY_SOAK_TIME_SCALE", 20);
    const int losses = static_cast<int>(minutes * 60000 / loss_period_ms + 1e-9);
    ASSERT_GE(losses, 1) << "ORVETTE_RECOVERY_SOAK_MINUTES must cover one loss (5 minutes)";
    auto real = [&](double program_ms) {
        return std::chrono::milliseconds(static_cast<int64_t>(program_ms / scale));
    };

    world w;
    test_phone phone(w.le_socket_path(),
                     scenario_phone(R"({ "phones": [ { "name": "a", "uuid": ")" +
                                        std::string(kUuid) + R"(", "adv_interval_ms": 50 } ] })",
                                    "a"));
    ASSERT_TRUE(phone.start());
    socket_proxy proxy(w.folder() + "/program.sock", w.le_socket_path());
    const std::string scale_text = std::to_string(scale);
    auto options = orvette_options(proxy.path(), {kUuid}, 1, scale_text.c_str());
    // The run ends at its time limit, a little after the last loss has been checked.
    const auto run_for = real(minutes * 60000 + 60000) + 5s;
    options.time_limit_ms = static_cast<uint32_t>(run_for.count());
    options.close_stdin = false;
    const auto started = clock_type::now();
    orvette_run run(options);

    ASSERT_TRUE(proxy.wait_connections(1, 10s));
    ASSERT_TRUE(phone.wait_connections(1, 10s));
    const pid_t pid = proxy.client_pid();
    ASSERT_GT(pid, 0);

    std::vector<long> rss;
    std::vector<double> back_after_ms;
    std::string failures;
    for (int i = 0; i < losses; ++i) {
        std::this_thread::sleep_until(started + real(loss_period_ms * (i + 1)));
        const loss kind = static_cast<loss>(i % 3);
        const size_t connections = phone.connections();
        const auto at = clock_type::now();
        switch (kind) {
            case loss::hardware_error:
                proxy.inject({0x04, 0x10, 0x01, static_cast<uint8_t>(0x40 + i)});
                break;
            case loss::cut:
                proxy.cut();
                break;
            case loss::noise:
                // A stray ISO packet type and bytes that frame nothing.
                proxy.inject({0x05, 0x13, 0x37, 0x00, 0x42, 0xFF, 0x00, 0x7E});
                break;
        }
        // A phone whose central's controller went away or was reset hears nothing more on
        // its link: where a real phone's link would time out, the emulator's does not. Noise
        // is noticed only when a command goes unanswered (3 s), and the program's requests
        // still reach the phone until then: the silence is measured from after that.
        std::this_thread::sleep_for(real(5000));
        const size_t requests = phone.requests_heard();
        std::this_thread::sleep_for(real(5000));
        if (phone.disconnections() < connections && phone.requests_heard() == requests) {
            phone.time_out_link();
        }
        const bool back = phone.wait_connections(connections + 1, real(back_limit_ms) + 2s);
        const double took =
            std::chrono::duration<double, std::milli>(clock_type::now() - at).count();
        back_after_ms.push_back(took * scale);
        if (!back) {
            failures += std::string("loss ") + std::to_string(i + 1) + " (" + name_of(kind) +
                        "): the phone was not connected again\n";
        }
        // Once the phone is set up again.
        std::this_thread::sleep_for(real(5000));
        rss.push_back(resident_kb(pid));
    }
    const auto& result = run.result();
    const std::string& out = result.out;

    // Each loss is one status report (and one error line with the same text).
    const size_t lost_lines = count_of(out, "Status: 5, message: HCI controller on ");
    const size_t back_lines = count_of(out, ": back after ");
    const long rss_first = rss.empty() ? -1 : rss.front();
    const long rss_last = rss.empty() ? -1 : rss.back();
    const long rss_max = rss.empty() ? -1 : *std::max_element(rss.begin(), rss.end());
    const double slowest =
        back_after_ms.empty() ? 0 : *std::max_element(back_after_ms.begin(), back_after_ms.end());
    std::printf(
        "recovery soak: %.0f program minutes at x%.0f in %.0f s real; %d losses (Hardware "
        "Error, socket cut, noise in turn); the program reported %zu lost and %zu back; phone "
        "connected again after every loss: %s, slowest %.1f s of the program's clock; "
        "resident memory after the first loss %ld kB, after the last %ld kB, at most %ld kB\n",
        minutes, scale, std::chrono::duration<double>(clock_type::now() - started).count(), losses,
        lost_lines, back_lines, failures.empty() ? "yes" : "no", slowest / 1000, rss_first,
        rss_last, rss_max);

    EXPECT_EQ(failures, "") << describe(result);
    // Every loss the program saw, it came back from; the Hardware Errors and cuts it saw all.
    EXPECT_EQ(back_lines, lost_lines) << describe(result);
    const size_t certain = static_cast<size_t>(losses - losses / 3);
    EXPECT_GE(lost_lines, certain) << describe(result);
    EXPECT_EQ(count_of(out, "Exit test program immediately"), 0u) << describe(result);
    EXPECT_EQ(count_of(out, "still lost after"), 0u) << describe(result);
    // No stall: the run went on to its time limit.
    EXPECT_TRUE(result.timed_out) << describe(result);
    if (memory_checked) EXPECT_LE(rss_max - rss_first, rss_growth_limit_kb) << describe(result);
    EXPECT_EQ(phone.trouble(), "");
}

}  // namespace
