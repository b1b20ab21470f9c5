// The test run as the run thread executes it: start-up in order, console keys, shutdown.
// Runs that reach the console loop end by stopping the message queue or the process, so
// they run in a child process; runs that end during start-up run here.
#include "app/test_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "gatt/keepalive.h"
#include "link/event_dispatcher.h"
#include "queue/message_queue.h"
#include "tests/support/gap_events.h"
#include "tests/support/scripted_backend.h"
#include "tests/support/test_support.h"

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string phone_a = "a0a489971097bba1b343eddd8f50f6ac";
const std::string phone_b = "feedfeadfeadfeadfeadfeadfeadfead";

const std::vector<std::string> key_help = {
    "'c' to do a challenge/response to connected phones (the response is not validated)",
    "'d' to disconnect any connected devices",
    "'q' to quit program",
    "'r' to do a hard reset of the dongle - after this the program exits",
    "'s' to show status of all monitored phones",
    "'+' to increase logging level",
    "'-' to decrease logging level",
};

const std::vector<std::string> shutdown_lines = {
    "Wait for keep-alive thread to stop",
    "Wait for advertising thread to stop",
    "Stop advertising",
    "Call sd_rpc_close",
    "Closed",
    "Exiting",
};

// What the program handed to the link set-up calls and the backend they built.
struct made_link {
    driver::link_settings settings;
    scripted_backend* backend = nullptr;
    int backends_made = 0;
};
made_link link;

void use_scripted_link(std::function<void(scripted_backend&)> setup = {}) {
    link = made_link{};
    driver::register_backend("script", [setup](const driver::link_settings& settings) {
        auto made = std::make_unique<scripted_backend>();
        if (setup) setup(*made);
        link.settings = settings;
        link.backend = made.get();
        link.backends_made++;
        return std::unique_ptr<driver::backend>(std::move(made));
    });
}

console_key_source keys_from(const std::string& keys) {
    auto next = std::make_shared<size_t>(0);
    return [keys, next]() -> int {
        if (*next >= keys.size()) return EOF;
        return static_cast<unsigned char>(keys[(*next)++]);
    };
}

run_config config_with(std::set<std::string> uuids, int32_t log_level) {
    run_config config;
    config.port = "script-port";
    config.uuids = std::move(uuids);
    config.log_level = log_level;
    return config;
}

// The driver calls the run made, by name, leaving out the beacon's (they depend on timing).
std::vector<std::string> run_calls() {
    std::vector<std::string> names;
    if (link.backend == nullptr) return names;
    for (const auto& call : link.backend->calls()) {
        if (call.name.rfind("gap_adv", 0) == 0) continue;
        names.push_back(call.name);
    }
    return names;
}

// Lines of the run's output, timestamps replaced.
std::vector<std::string> lines_of(const std::string& out) {
    return split_lines(strip_timestamps(out));
}

// True if `wanted` appear in `lines` in this order (other lines may stand between).
bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    size_t next = 0;
    for (const auto& line : lines) {
        if (next < wanted.size() && line == wanted[next]) ++next;
    }
    return next == wanted.size();
}

class TestRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        reset_test_context();
        test_context.silent = true;
    }
    void TearDown() override { set_console_key_source(nullptr); }

    // Runs test_run to its end in a child process; returns everything it printed, followed
    // by a "calls:" line naming the driver calls it made.
    std::string run_in_child(const run_config& config, const std::string& keys,
                             std::function<void(scripted_backend&)> setup = {},
                             std::function<void()> before = {}) {
        std::string out;
        EXPECT_EXIT(
            {
                route_stdout_to_stderr();
                use_scripted_link(setup);
                test_context.has_uuids = !config.uuids.empty();
                if (before) before();
                set_console_key_source(keys_from(keys));
                test_run(config);
                std::string names;
                for (const auto& name : run_calls()) names += name + ",";
                std::printf("calls: %s\n", names.c_str());
                std::printf("link: %s %u %d %d %u %u\n", link.settings.port.c_str(),
                            link.settings.baud_rate, link.settings.flow_control,
                            link.settings.parity, link.settings.retransmission_interval_ms,
                            link.settings.response_timeout_ms);
                platform::exit_process(0);
            },
            ::testing::ExitedWithCode(0), ::testing::Truly([&out](const std::string& text) {
                out = text;
                return true;
            }));
        return out;
    }

    // Runs test_run here, for runs that end during start-up.
    std::string run_here(const run_config& config, std::function<void(scripted_backend&)> setup) {
        use_scripted_link(std::move(setup));
        test_context.has_uuids = !config.uuids.empty();
        set_console_key_source(keys_from(""));
        testing::internal::CaptureStdout();
        test_run(config);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(TestRunTest, StartsUpInOrderAndShutsDownInOrderOnQuit) {
    const std::string out = run_in_child(config_with({phone_b, phone_a}, 2), "q");
    const auto lines = lines_of(out);

    std::vector<std::string> start = {"Serial port used: script-port", "Baud rate used: 1000000"};
    start.insert(start.end(), key_help.begin(), key_help.end());
    ASSERT_GE(lines.size(), start.size()) << out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + start.size()), start);
    EXPECT_TRUE(in_order(lines, shutdown_lines)) << out;
    EXPECT_THAT(out, HasSubstr("link: script-port 1000000 0 0 250 1500\n"));
    EXPECT_THAT(out, HasSubstr("calls: log_severity_filter_set,open,cfg_set,cfg_set,cfg_set,"
                               "enable,gap_scan_start,"));
    EXPECT_THAT(out, HasSubstr(",close,\n"));
}

TEST_F(TestRunTest, LevelKeysAndIgnoredKeys) {
    // At level 1 the port is not shown; '-' stops at 0; upper-case keys other than Q do
    // nothing, and Q quits.
    const std::string out = run_in_child(config_with({}, 1), "--+++-\nCDSRx Q+");
    const auto lines = lines_of(out);
    EXPECT_EQ(lines.at(0), key_help.at(0)) << out;
    EXPECT_TRUE(in_order(
        lines, {"logging level 0", "logging level 0", "logging level 1", "logging level 2",
                "logging level 3", "logging level 2", "Wait for keep-alive thread to stop"}))
        << out;
    EXPECT_THAT(out, Not(HasSubstr("logging level 4")));
    EXPECT_THAT(out, Not(HasSubstr("conn_reset")));
    EXPECT_TRUE(in_order(lines, shutdown_lines)) << out;
    // Without a monitored phone nothing scans.
    EXPECT_THAT(out, Not(HasSubstr("gap_scan_start")));
}

TEST_F(TestRunTest, StatisticsShowTheRateAndPhonesAndFromLevelFourAllDevices) {
    const std::string out = run_in_child(config_with({phone_a, phone_b}, 3), "s+s", {}, [] {
        test_context.adv_reports_total = 12;
        test_context.adv_reports_uuid128 = 5;
        test_context.all_devices.insert(phone_b);
    });
    const auto lines = lines_of(out);
    const std::string not_connected_a = "TS: " + phone_a + " not connected";
    const std::string not_connected_b = "TS: " + phone_b + " not connected";
    std::vector<size_t> totals;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("TS: total advertisements received = 12 (", 0) == 0) totals.push_back(i);
    }
    ASSERT_EQ(totals.size(), 2u) << out;
    // The rate between the brackets is a plain number. (Checked by hand: GoogleTest's
    // regular expressions on Windows have no character classes.)
    const std::string& total = lines[totals[0]];
    const std::string head = "TS: total advertisements received = 12 (";
    const std::string tail = "/second); total 128-bit UUID advertisements = 5";
    ASSERT_GT(total.size(), head.size() + tail.size()) << total;
    EXPECT_EQ(total.substr(total.size() - tail.size()), tail);
    const std::string rate = total.substr(head.size(), total.size() - head.size() - tail.size());
    EXPECT_EQ(rate.find_first_not_of("0123456789."), std::string::npos) << total;
    EXPECT_EQ(lines.at(totals[0] + 1), not_connected_a);
    EXPECT_EQ(lines.at(totals[0] + 2), not_connected_b);
    EXPECT_EQ(lines.at(totals[0] + 3), "logging level 4");
    EXPECT_EQ(lines.at(totals[1] + 1), not_connected_a);
    EXPECT_EQ(lines.at(totals[1] + 2), not_connected_b);
    EXPECT_EQ(lines.at(totals[1] + 3), "TS: all devices: " + phone_b + " ");
}

TEST_F(TestRunTest, EndOfInputQuitsLikeQ) {
    const std::string out = run_in_child(config_with({phone_a}, 0), "");
    EXPECT_TRUE(in_order(lines_of(out), shutdown_lines)) << out;
}

TEST_F(TestRunTest, RefusedCloseIsReportedAndTheShutdownGoesOn) {
    const std::string out = run_in_child(config_with({}, 0), "q", [](scripted_backend& backend) {
        backend.push_result("close", NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE);
    });
    EXPECT_TRUE(in_order(lines_of(out), {"Call sd_rpc_close",
                                         "Failed to close nRF BLE Driver. Error " +
                                             error_code_name(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE),
                                         "Exiting"}))
        << out;
    EXPECT_THAT(out, Not(HasSubstr("Closed\n")));
}

TEST_F(TestRunTest, HardResetEndsTheProcessWithoutTheOrderlySteps) {
    std::string out = run_in_child(config_with({phone_a}, 0), "r");
    EXPECT_THAT(out, HasSubstr("Exiting\n"));
    EXPECT_THAT(out, Not(HasSubstr("calls:"))) << "the process ended inside the run";
    EXPECT_THAT(out, Not(HasSubstr("Wait for keep-alive thread to stop")));
    EXPECT_THAT(out, Not(HasSubstr("Closed")));

    out = run_in_child(config_with({phone_a}, 0), "r", [](scripted_backend& backend) {
        backend.push_result("conn_reset", NRF_ERROR_SD_RPC_NO_RESPONSE);
    });
    EXPECT_THAT(out, HasSubstr("sd_rpc_conn_reset failed error " +
                               error_code_name(NRF_ERROR_SD_RPC_NO_RESPONSE) + "Exiting\n"));
}

TEST_F(TestRunTest, HardResetAsksTheDongleForASystemResetBeforeTheQueueStops) {
    // The process ends inside the run, so a work item looks at the call: the hard reset
    // stops the queue only after the running item has finished.
    EXPECT_EXIT(
        {
            route_stdout_to_stderr();
            use_scripted_link();
            set_console_key_source([]() -> int {
                auto running = std::make_shared<std::atomic<bool>>(false);
                the_message_queue.post([running] {
                    *running = true;
                    wait_until([] { return !link.backend->calls_named("conn_reset").empty(); });
                    const auto resets = link.backend->calls_named("conn_reset");
                    std::printf("reset mode %d\n",
                                resets.empty() ? -1 : static_cast<int>(resets[0].args.at(0)));
                });
                wait_until([running] { return running->load(); });
                return 'r';
            });
            test_run(config_with({}, 0));
        },
        ::testing::ExitedWithCode(0), HasSubstr("reset mode 0\nExiting\n"));
}

TEST_F(TestRunTest, UuidOfTheWrongLengthEndsTheRunBeforeTheDriverIsOpened) {
    const std::string out = run_here(config_with({phone_a, "abc"}, 0), {});
    EXPECT_EQ(out, "UUID abc does not have expected 32 characters\n");
    EXPECT_EQ(link.backends_made, 0);
}

TEST_F(TestRunTest, DriverThatCannotBeOpenedEndsTheRun) {
    const std::string out = run_here(config_with({phone_a}, 0), [](scripted_backend& backend) {
        backend.push_result("open", NRF_ERROR_SD_RPC_H5_TRANSPORT_NO_RESPONSE);
    });
    const auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), key_help.size() + 1) << out;
    EXPECT_EQ(lines.back(), "Failed to open nRF BLE Driver. Error " +
                                error_code_name(NRF_ERROR_SD_RPC_H5_TRANSPORT_NO_RESPONSE));
    EXPECT_EQ(run_calls(), (std::vector<std::string>{"log_severity_filter_set", "open"}));
}

TEST_F(TestRunTest, ThePortIsShownWithItsControlCharactersEscaped) {
    run_config config = config_with({phone_a}, 2);
    config.port = "script-\x1b[2J\rport";
    const std::string out = run_here(config, [](scripted_backend& backend) {
        backend.push_result("open", NRF_ERROR_SD_RPC_H5_TRANSPORT_NO_RESPONSE);
    });
    const auto lines = lines_of(out);
    ASSERT_FALSE(lines.empty()) << out;
    EXPECT_EQ(lines.front(), "Serial port used: script-\\x1B[2J\\x0Dport");
    EXPECT_THAT(out, Not(HasSubstr("\x1b")));
}

TEST_F(TestRunTest, StackThatCannotBeEnabledEndsTheRunWithoutScanning) {
    struct case_t {
        uint32_t code;
        std::string line;
    };
    const case_t cases[] = {
        {NRF_ERROR_INVALID_STATE, "BLE stack already enabled"},
        {NRF_ERROR_NO_MEM,
         "Failed to enable BLE stack. Error " + error_code_name(NRF_ERROR_NO_MEM)},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.line);
        reset_test_context();
        const std::string out =
            run_here(config_with({phone_a}, 0),
                     [&c](scripted_backend& backend) { backend.push_result("enable", c.code); });
        EXPECT_EQ(lines_of(out).back(), c.line) << out;
        EXPECT_EQ(run_calls(),
                  (std::vector<std::string>{"log_severity_filter_set", "open", "cfg_set", "cfg_set",
                                            "cfg_set", "enable"}));
        EXPECT_EQ(link.backend->calls_named("enable").at(0).args.at(0), 0) << "no RAM base";
    }
}

TEST_F(TestRunTest, ScanThatCannotStartEndsTheRunBeforeTheThreadsStart) {
    const std::string out = run_here(config_with({phone_a}, 0), [](scripted_backend& backend) {
        backend.push_result("gap_scan_start", NRF_ERROR_INVALID_PARAM);
    });
    EXPECT_EQ(lines_of(out).back(),
              "TS: Scan start failed with error " + error_code_name(NRF_ERROR_INVALID_PARAM))
        << out;
    // The event objects exist before scanning starts: the first report may start a
    // connection attempt, which waits on connected_event, before the run thread goes on.
    EXPECT_NE(test_context.write_rsp_event.load(), nullptr);
    EXPECT_NE(test_context.read_rsp_event.load(), nullptr);
    EXPECT_NE(test_context.disconnected_event.load(), nullptr);
    EXPECT_NE(test_context.connected_event.load(), nullptr);
}

TEST_F(TestRunTest, RegistryHoldsEveryUuidAsAFreePhoneBeforeTheDriverOpens) {
    run_here(config_with({phone_b, phone_a}, 0),
             [](scripted_backend& backend) { backend.push_result("open", NRF_ERROR_INTERNAL); });
    ASSERT_EQ(test_context.phone_registry.size(), 2u);
    for (const auto& [uuid, phone] : test_context.phone_registry) {
        EXPECT_EQ(phone->uuid, uuid);
        EXPECT_EQ(phone->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
        EXPECT_EQ(phone->last_rssi.load(), -127);
        EXPECT_EQ(phone->rssi_event_count.load(), 0);
    }
    EXPECT_EQ(test_context.phone_registry.begin()->first, phone_a);
}

// 'q' while the work thread waits for a connection's outcome: the attempt ends at once and
// withdraws its request while the driver is open; nothing is called on the closed driver,
// and the shutdown lines come in their order. With -x the attempt's time-out path would
// end the process before "Exiting".
TEST_F(TestRunTest, QuitDuringAConnectionAttemptEndsItAtOnceAndClosesInOrder) {
    run_config config = config_with({phone_a}, 0);
    std::string out;
    EXPECT_EXIT(
        {
            route_stdout_to_stderr();
            use_scripted_link();
            test_context.has_uuids = true;
            test_context.exit_on_error = true;
            bool advertised = false;
            set_console_key_source([&advertised]() -> int {
                if (!advertised) {
                    advertised = true;
                    ble_event_handler(
                        test_context.adapter.load(),
                        adv_report_event(ad_uuid128_list({uuid_air_bytes(phone_a)})).get());
                    // The keys are read on a thread of their own, and a 'q' acts at once:
                    // typed before the request went out, it would rightly stop the attempt
                    // before there is one to cancel.
                    wait_until([] { return !link.backend->calls_named("gap_connect").empty(); });
                }
                return 'q';
            });
            test_run(config);
            std::string names;
            for (const auto& name : run_calls()) names += name + ",";
            std::printf("calls: %s\n", names.c_str());
            platform::exit_process(0);
        },
        ::testing::ExitedWithCode(0), ::testing::Truly([&out](const std::string& text) {
            out = text;
            return true;
        }));
    const auto lines = lines_of(out);
    EXPECT_TRUE(in_order(lines, shutdown_lines)) << out;
    EXPECT_THAT(out, Not(HasSubstr("never got BLE_GAP_EVT_CONNECTED")));
    EXPECT_THAT(out, Not(HasSubstr("Exit test program immediately")));
    EXPECT_THAT(out, HasSubstr(",gap_connect,gap_connect_cancel,"));
    // The driver is closed last of all.
    EXPECT_THAT(out, HasSubstr(",close,\n"));
}

// Runs test_run in a child process with `keys` as its key source, after `before`, on a clock
// `scale` times real speed; returns its output, with "quit took little time" when the run
// ended within `quick` real time of the quit key, and the "calls:" line.
std::string run_quitting_in_child(const run_config& config, double scale,
                                  std::chrono::milliseconds quick, std::function<int()> keys,
                                  std::function<void()> before) {
    std::string out;
    EXPECT_EXIT(
        {
            route_stdout_to_stderr();
            use_scripted_link();
            test_context.exit_on_error = true;
            before();
            platform::set_time_scale(scale);
            auto quit_at = std::make_shared<std::chrono::steady_clock::time_point>();
            set_console_key_source([keys, quit_at]() -> int {
                const int key = keys();
                if (key == 'q') *quit_at = std::chrono::steady_clock::now();
                return key;
            });
            test_run(config);
            const bool quick_enough = std::chrono::steady_clock::now() - *quit_at < quick;
            std::printf("quit took %s\n", quick_enough ? "little time" : "too long");
            std::string names;
            for (const auto& name : run_calls()) names += name + ",";
            std::printf("calls: %s\n", names.c_str());
            platform::exit_process(0);
        },
        ::testing::ExitedWithCode(0), ::testing::Truly([&out](const std::string& text) {
            out = text;
            return true;
        }));
    return out;
}

// A phone that was connected before the run began.
phone_record* connected_before_the_run(const std::string& uuid) {
    auto* phone = new phone_record(uuid);
    phone->conn_handle = 3;
    test_context.phone_registry.emplace(uuid, phone);
    return phone;
}

// 'q' typed while 'd' waits for a phone that never confirms: the run thread is inside the
// command, yet the quit acts at once, in the shutdown's order, and no time-out is reported
// (with -x it would end the process instead).
TEST_F(TestRunTest, QuitTypedWhileDisconnectWaitsActsAtOnce) {
    auto typed = std::make_shared<int>(0);
    const std::string out = run_quitting_in_child(
        config_with({phone_a}, 2), 5, std::chrono::seconds(6),
        [typed]() -> int {
            if ((*typed)++ == 0) return 'd';
            wait_until([] { return !link.backend->calls_named("gap_disconnect").empty(); });
            return 'q';
        },
        [] {
            connected_before_the_run(phone_a);
            test_context.has_uuids = false;  // no keep-alive cycle meddles with the link
        });
    EXPECT_THAT(out, HasSubstr("quit took little time\n"));
    EXPECT_TRUE(in_order(lines_of(out), shutdown_lines)) << out;
    EXPECT_THAT(out, Not(HasSubstr("never got BLE_GAP_EVT_DISCONNECTED")));
    EXPECT_THAT(out, Not(HasSubstr("Exit test program immediately")));
    EXPECT_THAT(out, HasSubstr(",gap_disconnect,close,\n"));
}

// 'q' while the keep-alive thread waits for a silent phone's read: the thread is stopped at
// once instead of after the read's limit, and goes on to no challenge or disconnection.
TEST_F(TestRunTest, QuitWhileAKeepAliveReadWaitsStopsTheThreadAtOnce) {
    const std::string out = run_quitting_in_child(
        config_with({phone_a}, 1), 10, std::chrono::seconds(3),
        []() -> int {
            wait_until([] { return !link.backend->calls_named("gattc_read").empty(); });
            return 'q';
        },
        [] {
            phone_record* phone = connected_before_the_run(phone_a);
            gatt_service own;
            own.uuid128 = phone_a;
            own.start_handle = 1;
            own.end_handle = 9;
            gatt_characteristic feature;
            feature.decl_handle = 2;
            feature.value_handle = 3;
            feature.uuid128 = "578629605B0F4CE0A25530997B420C79";
            own.characteristics.push_back(feature);
            phone->services.push_back(own);
            test_context.has_uuids = true;
        });
    EXPECT_THAT(out, HasSubstr("quit took little time\n"));
    EXPECT_TRUE(in_order(lines_of(out), shutdown_lines)) << out;
    // The thread's own line comes as soon as it sees the quit: perhaps before the line that
    // says it is waited for.
    EXPECT_TRUE(in_order(lines_of(out), {"KeepAliveThread exiting", "Call sd_rpc_close"})) << out;
    EXPECT_THAT(out, Not(HasSubstr("never got")));
    EXPECT_THAT(out, Not(HasSubstr("gattc_write")));
    EXPECT_THAT(out, Not(HasSubstr("gap_disconnect")));
}

// A start-up that fails after scanning has begun stops what it started, so that nothing
// runs on the shared state while static destructors free it.
TEST_F(TestRunTest, StartUpThatFailsAfterScanningBeganStopsWhatItStarted) {
    const std::string out = run_in_child(config_with({phone_a}, 0), "", {}, [] {
        set_thread_starter([](platform::thread_entry entry, void* argument) {
            if (entry != KeepAliveThread) return static_cast<platform::thread_handle>(nullptr);
            return platform::start_thread(entry, argument);
        });
    });
    EXPECT_THAT(out, HasSubstr("failed to start the advertising thread. error = "));
    // The keep-alive thread was stopped and joined, the driver closed, the queue stopped.
    EXPECT_THAT(out, HasSubstr("KeepAliveThread exiting\n"));
    EXPECT_THAT(out, HasSubstr(",gap_scan_start,close,\n"));
    EXPECT_THAT(out, Not(HasSubstr("Closed")));
}

}  // namespace
