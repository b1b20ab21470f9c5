// The orvette program as a process against test phones of ours on emulated controllers: a
// phone's whole road over real HCI and ATT, served from a scenario phone's database.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/orvette_run.h"
#include "tests/btvirt/test_phone.h"
#include "tests/support/e2e_scenario.h"
#include "tests/support/process_runner.h"
#include "tests/support/standard_setup_lines.h"
#include "tests/support/test_support.h"

namespace {

using btvirt_testing::orvette_options;
using btvirt_testing::orvette_run;
using btvirt_testing::scenario_phone;
using btvirt_testing::test_phone;
using btvirt_testing::world;
using testing_support::describe;
using testing_support::line_index;
using testing_support::process_result;

constexpr size_t npos = std::string::npos;
constexpr const char* kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kSetupStart = "Discovering primary services conn_handle = 0";
const char* const kSetupEnd = "service discovery ended, available for new connection";
const char* const kNotified =
    "Received data for characteristic handle 0x0010 #bytes = 20 hvx handle = 0x0010";

std::string one_phone(const std::string& uuid) {
    return R"({ "phones": [ { "name": "a", "uuid": ")" + uuid + R"(", "adv_interval_ms": 50 } ] })";
}

std::vector<std::string> console_lines(const std::string& out) {
    return testing_support::split_lines(testing_support::strip_timestamps(out));
}

// The lines from the n-th (from 0) containing `first` up to the next containing `last`,
// without the timestamped lines other threads may put in between.
std::vector<std::string> untimed_block(const std::vector<std::string>& lines,
                                       const std::string& first, const std::string& last,
                                       size_t nth = 0) {
    size_t begin = line_index(lines, first);
    for (size_t i = 0; i < nth && begin != npos; ++i) begin = line_index(lines, first, begin + 1);
    if (begin == npos) return {};
    const size_t end = line_index(lines, last, begin);
    if (end == npos) return {};
    std::vector<std::string> out;
    for (size_t i = begin; i <= end; ++i) {
        // The program's own advertising speaks up from its thread at any time.
        const bool other_thread =
            lines[i].rfind("TS: ", 0) == 0 || lines[i] == "Advertising data set successfully" ||
            lines[i] == "Started advertising" || lines[i] == "Stopped advertising";
        if (!other_thread) out.push_back(lines[i]);
    }
    return out;
}

size_t count_of(const std::vector<std::string>& lines, const std::string& fragment) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(fragment) != std::string::npos;
    }));
}

// Every line of the standard profile's set-up on link 0, in order.
std::vector<std::string> standard_setup(const std::string& uuid) {
    std::vector<std::string> lines = testing_support::standard_profile_setup_lines(uuid);
    lines.push_back(kSetupEnd);
    return lines;
}

// A set-up's lines against the expected ones. The lines a call prints once it returns and the
// lines its answer's event prints come from two threads, and over the emulator the answer
// can be printed first: each kind must be all there in its order.
::testing::AssertionResult same_setup(const std::vector<std::string>& got,
                                      const std::vector<std::string>& expected) {
    auto split = [](const std::vector<std::string>& lines, bool calls) {
        std::vector<std::string> out;
        for (const std::string& line : lines) {
            if ((line.rfind("sd_ble_gattc_", 0) == 0) == calls) out.push_back(line);
        }
        return out;
    };
    for (const bool calls : {true, false}) {
        if (split(got, calls) != split(expected, calls)) {
            ::testing::AssertionResult failure = ::testing::AssertionFailure();
            failure << (calls ? "the calls' lines" : "the events' lines") << " differ; got:\n";
            for (const std::string& line : got) failure << "  " << line << "\n";
            return failure;
        }
    }
    return ::testing::AssertionSuccess();
}

// The shutdown's lines, in order, the last one last.
void expect_orderly_shutdown(const std::vector<std::string>& lines, const process_result& result) {
    size_t at = 0;
    // The keep-alive thread may say it ends before or after the wait for it begins.
    EXPECT_NE(line_index(lines, "KeepAliveThread exiting"), npos);
    for (const char* step :
         {"Wait for keep-alive thread to stop", "Wait for advertising thread to stop",
          "Stop advertising", "Call sd_rpc_close", "Closed", "Exiting"}) {
        at = line_index(lines, step, at);
        ASSERT_NE(at, npos) << step << "\n" << describe(result);
    }
    EXPECT_EQ(lines.back(), "Exiting");
    EXPECT_TRUE(result.exited && result.exit_code == 0) << describe(result);
    EXPECT_EQ(result.err, "");
}

TEST(BtvirtPhoneRoad, OnePhoneIsFoundSetUpKeptAliveChallengedDroppedSetUpAgainAndQuitInOrder) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    ASSERT_TRUE(phone.start());

    auto options = orvette_options(w.le_socket_path(), {kUuidA}, 9);
    options.steps = {{kSetupEnd, 0, ""},
                     {kNotified, 0, ""},
                     {"keepalive conn_handle = 0 characteristic handle 0x000C", 0, "d"},
                     {kSetupEnd, 0, ""},
                     {kNotified, 0, "q"}};
    options.close_stdin = false;  // 'q' alone must end the run
    const process_result result = testing_support::run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    const std::vector<std::string> lines = console_lines(result.out);

    const size_t found = line_index(lines, std::string("FOUND phone with UUID ") + kUuidA +
                                               " RSSI = 127, MAC = 00:AA:01:00:00:42");
    ASSERT_NE(found, npos) << describe(result);
    ASSERT_NE(line_index(lines, "got expected BLE_GAP_EVT_CONNECTED", found), npos);
    // Both set-ups, line for line, before and after the drop.
    EXPECT_TRUE(
        same_setup(untimed_block(lines, kSetupStart, kSetupEnd, 0), standard_setup(kUuidA)));
    EXPECT_TRUE(
        same_setup(untimed_block(lines, kSetupStart, kSetupEnd, 1), standard_setup(kUuidA)));

    // Keep-alive cycles: 'feature' read, notifications on, the challenge, its answer, off.
    const size_t first_end = line_index(lines, kSetupEnd);
    const size_t read = line_index(
        lines, "TS: keepalive conn_handle = 0 characteristic handle 0x000C #bytes = 1 value 1",
        first_end);
    const size_t notify_on = line_index(
        lines, std::string("enable notify for ") + kUuidA + " conn 0 response handle 0x0010",
        first_end);
    const size_t challenge = line_index(lines,
                                        std::string("success setting challenge for phone ") +
                                            kUuidA + " conn_handle = 0 challenge char 0x000E",
                                        notify_on);
    // The phone may answer before the program has printed that the challenge went out: the
    // event thread prints the answer, the keep-alive thread its own line.
    const size_t answer = line_index(lines, kNotified, notify_on);
    const size_t notify_off = line_index(
        lines, std::string("disable notify for ") + kUuidA + " conn 0 response handle 0x0010",
        std::max(answer, challenge));
    EXPECT_NE(read, npos) << describe(result);
    EXPECT_NE(notify_on, npos) << describe(result);
    EXPECT_NE(challenge, npos) << describe(result);
    EXPECT_NE(answer, npos) << describe(result);
    EXPECT_NE(notify_off, npos) << describe(result);

    // 'd': the program's own disconnection, seen by both sides, and the phone back.
    const size_t dropped = line_index(
        lines, "got expected BLE_GAP_EVT_DISCONNECTED after calling sd_ble_gap_disconnect",
        first_end);
    ASSERT_NE(dropped, npos) << describe(result);
    EXPECT_NE(line_index(lines,
                         "BLE_GAP_EVT_DISCONNECTED received, reason: 0x0016 "
                         "BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION, conn_handle = 0",
                         first_end),
              npos);
    EXPECT_EQ(count_of(lines, std::string("FOUND phone with UUID ") + kUuidA), 2u)
        << describe(result);
    EXPECT_EQ(phone.connections(), 2u);
    // The program's end ends the second link too.
    EXPECT_TRUE(phone.wait_disconnections(2));
    ASSERT_GE(phone.disconnect_reasons().size(), 1u);
    EXPECT_EQ(phone.disconnect_reasons()[0], 0x13);  // 'd' says "remote user terminated"
    EXPECT_EQ(phone.trouble(), "");

    expect_orderly_shutdown(lines, result);
}

TEST(BtvirtPhoneRoad, AnswersInFragmentsOfFiveBytesAreReassembledLineForLine) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    // The longest answer (a 128-bit declaration, 27 bytes with its header) in six pieces,
    // the shortest in one: the program puts them together again.
    phone.set_fragment_size(5);
    ASSERT_TRUE(phone.start());

    auto options = orvette_options(w.le_socket_path(), {kUuidA}, 9);
    options.steps = {{kNotified, 0, "q"}};
    const process_result result = testing_support::run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    const std::vector<std::string> lines = console_lines(result.out);
    EXPECT_TRUE(same_setup(untimed_block(lines, kSetupStart, kSetupEnd), standard_setup(kUuidA)))
        << describe(result);
    EXPECT_NE(line_index(lines,
                         "TS: keepalive conn_handle = 0 characteristic handle 0x000C "
                         "#bytes = 1 value 1"),
              npos);
    EXPECT_EQ(phone.trouble(), "");
    expect_orderly_shutdown(lines, result);
}

TEST(BtvirtPhoneRoad, SilentPhoneTimesOutIsDroppedAndSetUpInFullOnceItAnswers) {
    // Silent on its first connection only: the scenario's own fault.
    const std::string scenario = R"({ "phones": [ { "name": "a", "uuid": ")" + std::string(kUuidA) +
                                 R"(", "adv_interval_ms": 50 } ],
        "faults": [ { "type": "gatt_silent", "phone": "a", "connection": 1 } ] })";
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(scenario, "a"));
    ASSERT_TRUE(phone.start());

    auto options = orvette_options(w.le_socket_path(), {kUuidA}, 9);
    options.steps = {{kSetupEnd, 0, ""},
                     {kSetupEnd, 0, ""},
                     {"keepalive conn_handle = 0 characteristic handle 0x000C", 0, "q"}};
    const process_result result = testing_support::run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    const std::vector<std::string> lines = console_lines(result.out);

    // One request, never answered; the stack's time-out ends the set-up.
    const std::vector<std::string> first = untimed_block(lines, kSetupStart, kSetupEnd, 0);
    EXPECT_TRUE(same_setup(
        first,
        {kSetupStart, "sd_ble_gattc_primary_services_discover success for start_handle = 0x0001",
         "sd_ble_gap_rssi_start succeeded", kSetupEnd}));
    const size_t first_end = line_index(lines, kSetupEnd);
    const size_t timeout =
        line_index(lines, "TS: received BLE_GATTC_EVT_TIMEOUT when not doing a GATTC read/write");
    ASSERT_NE(timeout, npos) << describe(result);
    EXPECT_LT(timeout, first_end);
    // Nothing to keep alive on that link: dropped, and the phone taken again.
    const size_t missing =
        line_index(lines,
                   std::string("phone ") + kUuidA +
                       " connection_handle = 0 could not find 'feature' characteristic",
                   first_end);
    const size_t dropped = line_index(lines,
                                      "BLE_GAP_EVT_DISCONNECTED received, reason: 0x0016 "
                                      "BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION, conn_handle = 0",
                                      first_end);
    EXPECT_NE(missing, npos) << describe(result);
    ASSERT_NE(dropped, npos) << describe(result);
    EXPECT_TRUE(
        same_setup(untimed_block(lines, kSetupStart, kSetupEnd, 1), standard_setup(kUuidA)));
    EXPECT_EQ(line_index(lines, "keepalive conn_handle = 0", 0),
              line_index(lines, "keepalive conn_handle = 0", dropped));
    // The time-out is 30 s of the program's clock: it came sooner, the clock ran faster.
    EXPECT_LT(result.elapsed_ms, 20000u);
    ASSERT_TRUE(phone.wait_disconnections(2));
    EXPECT_EQ(phone.disconnect_reasons()[0], 0x13);
    EXPECT_EQ(phone.connections(), 2u);
    EXPECT_EQ(phone.trouble(), "");
    expect_orderly_shutdown(lines, result);
}

TEST(BtvirtPhoneRoad, PhoneHangingUpInTheMiddleOfDiscoveryIsSetUpAfresh) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    // The sixth request of the first connection is the third characteristics discovery.
    phone.hang_up_after(5, 0x15, 1);
    ASSERT_TRUE(phone.start());

    auto options = orvette_options(w.le_socket_path(), {kUuidA}, 9);
    options.steps = {{kSetupEnd, 0, ""},
                     {kSetupEnd, 0, ""},
                     {"keepalive conn_handle = 0 characteristic handle 0x000C", 0, "q"}};
    const process_result result = testing_support::run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    const std::vector<std::string> lines = console_lines(result.out);

    const std::vector<std::string> first = untimed_block(lines, kSetupStart, kSetupEnd, 0);
    const std::vector<std::string> whole = standard_setup(kUuidA);
    // The first set-up: the services and the characteristics up to the request the phone
    // hangs up on, then the end.
    ASSERT_GE(first.size(), 3u) << describe(result);
    EXPECT_TRUE(same_setup(std::vector<std::string>(first.begin(), first.end() - 1),
                           std::vector<std::string>(whole.begin(), whole.begin() + 16)));
    EXPECT_EQ(first.back(), kSetupEnd);
    const size_t first_end = line_index(lines, kSetupEnd);
    const size_t hung_up = line_index(lines, "BLE_GAP_EVT_DISCONNECTED received, reason: 0x0015");
    ASSERT_NE(hung_up, npos) << describe(result);
    EXPECT_LT(hung_up, first_end);
    EXPECT_EQ(line_index(lines, "entirely done getting metadata from phone"),
              line_index(lines, "entirely done getting metadata from phone", first_end));
    EXPECT_TRUE(same_setup(untimed_block(lines, kSetupStart, kSetupEnd, 1), whole));
    ASSERT_TRUE(phone.wait_disconnections(2));
    EXPECT_EQ(phone.disconnect_reasons()[0], 0x15);
    EXPECT_EQ(phone.trouble(), "");
    expect_orderly_shutdown(lines, result);
}

TEST(BtvirtPhoneRoad, RefusedCccdWritesAreReportedNothingIsNotifiedAndTheLinkIsKept) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    phone.refuse_cccd_writes();
    ASSERT_TRUE(phone.start());
    const char* const refused =
        "Error. Write operation failed. Error code 0x103 "
        "BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED";
    auto options = orvette_options(w.le_socket_path(), {kUuidA}, 9);
    // On, off, and on again in the next cycle: all refused.
    options.steps = {{refused, 0, ""},
                     {refused, 0, ""},
                     {"keepalive conn_handle = 0 characteristic handle 0x000C", 0, ""},
                     {refused, 0, "q"}};
    const process_result result = testing_support::run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << describe(result);
    const std::vector<std::string> lines = console_lines(result.out);

    EXPECT_TRUE(same_setup(untimed_block(lines, kSetupStart, kSetupEnd), standard_setup(kUuidA)));
    const size_t first = line_index(lines, refused);
    ASSERT_NE(first, npos) << describe(result);
    // The program challenges all the same; the phone, never switched on, stays quiet.
    EXPECT_NE(line_index(lines,
                         std::string("success setting challenge for phone ") + kUuidA +
                             " conn_handle = 0 challenge char 0x000E",
                         first),
              npos);
    EXPECT_EQ(line_index(lines, "Received data for characteristic"), npos) << describe(result);
    EXPECT_EQ(phone.cccd_value(0x0011), 0);
    EXPECT_EQ(line_index(lines, "BLE_GAP_EVT_DISCONNECTED received"), npos) << describe(result);
    EXPECT_EQ(phone.connections(), 1u);
    EXPECT_EQ(phone.trouble(), "");
    expect_orderly_shutdown(lines, result);
}

TEST(BtvirtPhoneRoad, PhoneTalkingWhileTheProgramWritesNeverStallsTheProgram) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    ASSERT_TRUE(phone.start());
    auto options = orvette_options(w.le_socket_path(), {kUuidA}, 4);
    // The phone hangs up when it is done; a stalled program never says so and is killed.
    options.steps = {{"BLE_GAP_EVT_DISCONNECTED received, reason: 0x0013", 0, "q"}};
    options.time_limit_ms = 30000;
    orvette_run run(options);

    // The phone's data arrives while the program writes its own: keep-alive cycles on one
    // side, a stream of requests on the other. Every one must be answered.
    ASSERT_TRUE(phone.wait_requests(17));
    auto is_mtu_answer = [](const btvirt_testing::received_frame& f) {
        return f.channel_id == 0x0004 && !f.payload.empty() && f.payload[0] == 0x03;
    };
    // Eight keep-alive cycles (three requests each) of overlap, or as many requests as fit
    // in the time.
    const size_t keep_alive_until = phone.requests_heard() + 24;
    for (size_t i = 0; phone.requests_heard() < keep_alive_until; ++i) {
        ASSERT_TRUE(phone.send_exchange_mtu(100)) << i;
        ASSERT_TRUE(phone.wait_frames(i + 1, is_mtu_answer))
            << "request " << i + 1 << " unanswered";
    }
    ASSERT_TRUE(phone.disconnect(0x13));
    const process_result& result = run.result();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 0);
}

TEST(BtvirtPhoneRoad, PhonesOwnMtuPairingAndParameterRequestsAreAnsweredAndTheRunGoesOn) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    ASSERT_TRUE(phone.start());
    auto options = orvette_options(w.le_socket_path(), {kUuidA}, 9);
    // A failed step leaves the program running until its time limit.
    options.time_limit_ms = 15000;
    options.steps = {{"on_conn_params_update_request conn_handle = 0", 0, ""},
                     {"keepalive conn_handle = 0 characteristic handle 0x000C", 0, ""},
                     {"keepalive conn_handle = 0 characteristic handle 0x000C", 0, "q"}};
    orvette_run run(options);

    // Past the set-up (15 requests) and into the first keep-alive cycle.
    ASSERT_TRUE(phone.wait_requests(17));
    ASSERT_TRUE(phone.send_exchange_mtu(100));
    const auto mtu = phone.wait_for_frame([](const btvirt_testing::received_frame& f) {
        return f.channel_id == 0x0004 && !f.payload.empty() && f.payload[0] == 0x03;
    });
    ASSERT_TRUE(mtu);
    ASSERT_EQ(mtu->payload.size(), 3u);
    EXPECT_GE(mtu->payload[1] | (mtu->payload[2] << 8), 23);

    ASSERT_TRUE(phone.send_pairing_request());
    const auto pairing = phone.wait_for_frame(
        [](const btvirt_testing::received_frame& f) { return f.channel_id == 0x0006; });
    ASSERT_TRUE(pairing);
    // Pairing Failed: pairing not supported.
    EXPECT_EQ(pairing->payload, (std::vector<uint8_t>{0x05, 0x05}));

    const size_t before = phone.requests_heard();
    ASSERT_TRUE(phone.request_connection_parameters(40, 56, 0, 400));
    const auto answer = phone.wait_for_frame(
        [](const btvirt_testing::received_frame& f) { return f.channel_id == 0x0005; });
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->payload.size(), 6u);
    EXPECT_EQ(answer->payload[0], 0x13);  // Connection Parameter Update Response
    EXPECT_EQ(answer->payload[1], 1);     // our identifier
    // Accepted. (The program then asks its controller for the update, which the emulator
    // takes but never completes: no LE Connection Update Complete reaches either side.)
    EXPECT_EQ(answer->payload[4] | (answer->payload[5] << 8), 0);
    // The run goes on: the keep-alive keeps reading the phone.
    EXPECT_TRUE(phone.wait_requests(before + 3));

    const process_result& result = run.result();
    ASSERT_TRUE(result.exited) << describe(result);
    const std::vector<std::string> lines = console_lines(result.out);
    const size_t asked = line_index(lines, "TS: on_conn_params_update_request conn_handle = 0");
    ASSERT_NE(asked, npos) << describe(result);
    EXPECT_NE(
        line_index(lines, "TS: keepalive conn_handle = 0 characteristic handle 0x000C", asked),
        npos);
    EXPECT_EQ(phone.connections(), 1u);
    EXPECT_EQ(phone.trouble(), "");
    expect_orderly_shutdown(lines, result);
}

}  // namespace

namespace {

// 'q' while a phone that went silent after its set-up has the keep-alive read waiting: the
// host's ATT time-out (30 s of clock) would end that read; the quit ends the run at once.
TEST(BtvirtPhoneRoad, QuitWhileASilentPhonesReadWaitsEndsTheRunAtOnce) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    ASSERT_TRUE(phone.start());
    // At real speed: the host's time-out would end the read 30 s after it went out.
    auto options = orvette_options(w.le_socket_path(), {kUuidA}, 4, "1");
    options.steps = {{"'feature' characteristic value 0x000C handle", 500, "q"}};
    orvette_run run(options);

    // The standard profile's set-up takes fifteen requests; none after them is answered.
    ASSERT_TRUE(phone.wait_requests(15));
    phone.set_silent(true);
    const process_result& result = run.result();
    ASSERT_TRUE(result.exited) << describe(result);
    const std::vector<std::string> lines = console_lines(result.out);
    const size_t read = line_index(lines, "'feature' characteristic value 0x000C handle");
    ASSERT_NE(read, npos) << describe(result);
    EXPECT_EQ(line_index(lines, "BLE_GATTC_EVT_TIMEOUT"), npos) << describe(result);
    EXPECT_EQ(line_index(lines, "never got"), npos);
    EXPECT_EQ(line_index(lines, "sd_ble_gap_disconnect"), npos);
    // Start-up, set-up and the first 3 s cycle take a few seconds; the time-out would have
    // taken 30 more.
    EXPECT_LT(result.elapsed_ms, 20000u) << describe(result);
    EXPECT_EQ(phone.requests_heard(), 16u) << "a request went out after the quit";
    expect_orderly_shutdown(lines, result);
}

}  // namespace
