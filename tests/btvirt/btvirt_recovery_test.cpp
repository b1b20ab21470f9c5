// The program's controller lost under it on the emulator, through a proxy that cuts its
// socket or slips bytes into what it reads: 'q' acts at once, and otherwise the controller is
// got back and every phone set up again.
#include <gtest/gtest.h>

#include <chrono>
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
using testing_support::line_index;
using namespace std::chrono_literals;

constexpr size_t npos = std::string::npos;
constexpr const char* kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kSetupEnd = "service discovery ended, available for new connection";
const char* const kLost = " lost: ";
const char* const kBack = "back after ";

std::string one_phone(const std::string& uuid) {
    return R"({ "phones": [ { "name": "a", "uuid": ")" + uuid + R"(", "adv_interval_ms": 50 } ] })";
}

std::vector<std::string> console_lines(const std::string& out) {
    return testing_support::split_lines(testing_support::strip_timestamps(out));
}

// Lets the phone be set up and kept alive a while, then makes it fall silent and waits until
// the program has a request out to it that will not be answered.
void leave_a_request_waiting(test_phone& phone) {
    ASSERT_TRUE(phone.wait_connections(1, 10s));
    // Well past the set-up (well under a second of real time), short of the eleventh
    // keep-alive cycle's drop.
    std::this_thread::sleep_for(1500ms);
    phone.set_silent(true);
    const size_t heard = phone.requests_heard();
    ASSERT_TRUE(phone.wait_requests(heard + 1, 5s));
}

TEST(BtvirtRecovery, QuitRightAfterTheControllerSocketIsCutUnderAWaitingRequestActsAtOnce) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    ASSERT_TRUE(phone.start());
    socket_proxy proxy(w.folder() + "/program.sock", w.le_socket_path());
    auto options = orvette_options(proxy.path(), {kUuidA}, 9);
    options.steps = {{kSetupEnd, 0, ""}, {kLost, 0, "q"}};
    options.close_stdin = false;
    orvette_run run(options);
    leave_a_request_waiting(phone);
    const auto cut_at = std::chrono::steady_clock::now();
    proxy.cut();
    const auto& result = run.result();
    const auto quit_took = std::chrono::steady_clock::now() - cut_at;
    ASSERT_TRUE(result.exited) << describe(result);
    // Before, the request's own wait (65 s of the program's clock, 6.5 s here) held the quit.
    EXPECT_LT(quit_took, 2500ms) << describe(result);
    const auto lines = console_lines(result.out);
    EXPECT_NE(line_index(lines, "BLE_GAP_EVT_DISCONNECTED received, reason: 0x0008"), npos)
        << describe(result);
    EXPECT_EQ(line_index(lines, "Exit test program immediately"), npos) << describe(result);
    EXPECT_NE(line_index(lines, "Call sd_rpc_close"), npos) << describe(result);
    EXPECT_EQ(lines.back(), "Exiting") << describe(result);
    EXPECT_EQ(result.exit_code, 0);
}

// The emulator keeps no supervision time-out: a phone whose central's controller went away
// or was reset keeps its link until told otherwise, where a real phone's link would time out
// and the phone advertise again.
void time_out_the_phones_link(test_phone& phone) {
    if (!phone.wait_disconnections(1, 500ms)) phone.time_out_link();
}

// The run after a loss: the controller back on the same or a new connection, and the phone
// connected and set up in full a second time.
void expect_phone_back(const testing_support::process_result& result, const test_phone& phone) {
    ASSERT_TRUE(result.exited) << describe(result);
    const auto lines = console_lines(result.out);
    const size_t lost = line_index(lines, kLost);
    ASSERT_NE(lost, npos) << describe(result);
    const size_t back = line_index(lines, kBack, lost);
    ASSERT_NE(back, npos) << describe(result);
    EXPECT_NE(line_index(lines, "BLE_GAP_EVT_DISCONNECTED received, reason: 0x0008", lost), npos)
        << describe(result);
    EXPECT_NE(line_index(lines, kSetupEnd, back), npos) << describe(result);
    EXPECT_GE(phone.connections(), 2u);
    EXPECT_EQ(line_index(lines, "Exit test program immediately"), npos) << describe(result);
    EXPECT_EQ(lines.back(), "Exiting") << describe(result);
}

TEST(BtvirtRecovery, ControllerSocketCutUnderAWaitingRequestIsConnectedAgainAndThePhoneSetUp) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    ASSERT_TRUE(phone.start());
    socket_proxy proxy(w.folder() + "/program.sock", w.le_socket_path());
    auto options = orvette_options(proxy.path(), {kUuidA}, 9);
    options.steps = {{kSetupEnd, 0, ""}, {kLost, 0, ""}, {kBack, 0, ""}, {kSetupEnd, 0, "q"}};
    options.close_stdin = false;
    orvette_run run(options);
    leave_a_request_waiting(phone);
    phone.set_silent(false);
    proxy.cut();
    EXPECT_TRUE(proxy.wait_connections(2, 10s));
    time_out_the_phones_link(phone);
    const auto& result = run.result();
    expect_phone_back(result, phone);
    EXPECT_EQ(proxy.connections(), 2u);
    EXPECT_EQ(phone.trouble(), "");
}

TEST(BtvirtRecovery, HardwareErrorIsRecoveredByResetOnTheSameSocketAndThePhoneSetUpAgain) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    ASSERT_TRUE(phone.start());
    socket_proxy proxy(w.folder() + "/program.sock", w.le_socket_path());
    auto options = orvette_options(proxy.path(), {kUuidA}, 9);
    options.steps = {{kSetupEnd, 0, ""}, {kLost, 0, ""}, {kBack, 0, ""}, {kSetupEnd, 0, "q"}};
    options.close_stdin = false;
    orvette_run run(options);
    leave_a_request_waiting(phone);
    phone.set_silent(false);
    proxy.inject({0x04, 0x10, 0x01, 0x2A});
    time_out_the_phones_link(phone);
    const auto& result = run.result();
    expect_phone_back(result, phone);
    const auto lines = console_lines(result.out);
    EXPECT_NE(line_index(lines, "Hardware Error event, code 0x2A"), npos) << describe(result);
    EXPECT_EQ(proxy.connections(), 1u);
}

}  // namespace
