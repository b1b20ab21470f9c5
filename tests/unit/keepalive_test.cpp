// The keep-alive heartbeat: feature reads, the reconnect cadence and the scanner watchdog.
#include "gatt/keepalive.h"

#include "gatt/challenge.h"
#include "gatt/discovery_chain.h"
#include "gatt/gattc_request.h"
#include "gatt/uuid_reads.h"
#include "tests/unit/gatt_fixture.h"

namespace testing_support {
namespace {

const std::string first_uuid = "a0a489971097bba1b343eddd8f50f6ac";
const std::string second_uuid = "feedfeadfeadfeadfeadfeadfeadfead";
const std::string feature_lower = "578629605b0f4ce0a25530997b420c79";

class keepalive_test : public gatt_fixture {
  protected:
    // A connected phone whose authentication service holds 'feature' at `value_handle`.
    phone_record* connected_phone(const std::string& uuid, uint16_t conn_handle,
                                  uint16_t value_handle) {
        phone_record* phone = add_phones({uuid}).front();
        phone->conn_handle = conn_handle;
        phone->services = {service(BLE_UUID_TYPE_BLE, 1, 5),
                           service(BLE_UUID_TYPE_UNKNOWN, 6, 0x30, uuid)};
        phone->services[1].characteristics = {
            characteristic(7, 8, "0b9db0e5c5b34043829444d8112adc54"),
            characteristic(value_handle - 1, value_handle, feature_lower)};
        return phone;
    }

    std::vector<recorded_call> reads() const { return backend->calls_named("gattc_read"); }

    static void answer_read(const recorded_call& call) {
        wire::event_buffer rsp = make_read_rsp(static_cast<uint16_t>(call.args[0]), 0,
                                               static_cast<uint16_t>(call.args[1]), {1});
        on_gattc_evt_read_response(rsp.gattc());
    }
};

TEST_F(keepalive_test, reads_feature_of_each_connected_phone) {
    connected_phone(first_uuid, 1, 0x0020);
    phone_record* other = connected_phone(second_uuid, 2, 0x0040);
    other->services[1].characteristics[1].uuid128 =
        "578629605B0F4CE0A25530997B420C79";            // case does not matter
    add_phones({"00000000000000000000000000000000"});  // not connected
    test_context.log_level = 4;
    call_watcher phone_side(backend, "gattc_read",
                            [this](size_t n) { answer_read(reads()[n - 1]); });

    capture();
    EXPECT_TRUE(keepalive_read_all());
    const std::string out = finish_capture();

    ASSERT_EQ(2u, reads().size());
    EXPECT_EQ((std::vector<int64_t>{1, 0x0020, 0}), reads()[0].args);
    EXPECT_EQ((std::vector<int64_t>{2, 0x0040, 0}), reads()[1].args);
    EXPECT_TRUE(has_line(out, "authentication service " + first_uuid +
                                  " 'feature' characteristic value 0x0020 handle"));
    EXPECT_TRUE(has_line(out, "authentication service " + second_uuid +
                                  " 'feature' characteristic value 0x0040 handle"));
}

// A response with an error status carries no feature: counted as answered, a phone that
// refuses every read would look healthy for ever.
TEST_F(keepalive_test, ReadAnsweredWithAnErrorStatusIsReportedAndNotCounted) {
    connected_phone(first_uuid, 1, 0x0020);
    test_context.log_level = 4;
    for (const uint16_t status :
         {uint16_t{BLE_GATT_STATUS_ATTERR_INSUF_AUTHENTICATION}, uint16_t{0x01F3}}) {
        backend->clear_calls();
        call_watcher phone_side(backend, "gattc_read", [status](size_t) {
            wire::event_buffer rsp = make_read_rsp(1, status, 0x0020, {});
            on_gattc_evt_read_response(rsp.gattc());
        });
        capture();
        EXPECT_FALSE(keepalive_read_all()) << status;
        const std::string out = finish_capture();
        char expected[160];
        std::snprintf(expected, sizeof expected,
                      "BLE_GATTC_EVT_READ_RSP for connection 1 characteristic value handle 0x0020 "
                      "failed, GATT status 0x%04X",
                      status);
        EXPECT_TRUE(contains(out, expected)) << out;
        EXPECT_FALSE(contains(out, "got expected BLE_GATTC_EVT_READ_RSP")) << out;
    }
}

TEST_F(keepalive_test, phone_without_feature_in_its_own_service_is_reported_and_not_read) {
    phone_record* phone = connected_phone(first_uuid, 1, 0x0020);
    // The service UUID must equal the phone's UUID exactly, case included.
    phone->services[1].uuid128 = "A0A489971097BBA1B343EDDD8F50F6AC";
    test_context.log_level = 0;
    capture();
    EXPECT_FALSE(keepalive_read_all());
    EXPECT_EQ(
        "phone " + first_uuid + " connection_handle = 1 could not find 'feature' characteristic\n",
        finish_capture());
    EXPECT_TRUE(reads().empty());
}

TEST_F(keepalive_test, nothing_is_read_while_a_phone_is_in_setup) {
    connected_phone(first_uuid, 1, 0x0020);
    test_context.phone_in_setup = add_phones({second_uuid}).front();
    capture();
    EXPECT_FALSE(keepalive_read_all());
    EXPECT_EQ("", finish_capture());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(keepalive_test, request_in_progress_elsewhere_skips_the_rest_of_the_cycle) {
    connected_phone(first_uuid, 1, 0x0020);
    connected_phone(second_uuid, 2, 0x0040);
    test_context.pending_gattc_event = test_context.write_rsp_event.load();
    capture();
    EXPECT_FALSE(keepalive_read_all());
    const std::string out = finish_capture();
    EXPECT_EQ(1u, split_lines(out).size());
    EXPECT_TRUE(has_line(out,
                         "TS: WARNING: skipping sd_ble_gattc_read when there is a GATTC operation "
                         "already in progress"));
    EXPECT_TRUE(reads().empty());
}

TEST_F(keepalive_test, refused_read_counts_as_no_answer_and_the_next_phone_is_still_read) {
    connected_phone(first_uuid, 1, 0x0020);
    connected_phone(second_uuid, 2, 0x0040);
    backend->push_result("gattc_read", BLE_ERROR_INVALID_CONN_HANDLE);
    call_watcher phone_side(backend, "gattc_read", [this](size_t n) {
        if (n == 2) answer_read(reads()[1]);
    });
    test_context.log_level = 0;
    capture();
    EXPECT_TRUE(keepalive_read_all());
    const std::string out = finish_capture();
    EXPECT_TRUE(contains(out,
                         "Keepalive sd_ble_gattc_read error for connection 1 characteristic value "
                         "handle 0x0020 error "));
    EXPECT_EQ(2u, reads().size());
}

TEST_F(keepalive_test, AnAbortedReadDropsItsOwnLinkButNeverANewLinkThatTookItsHandle) {
    phone_record* phone = connected_phone(first_uuid, 0, 0x0020);
    phone->links = 1;
    test_context.log_level = 1;
    call_watcher link_side(backend, "gap_disconnect", [](size_t) {
        platform::set_event(test_context.disconnected_event.load());
    });

    // A GATT time-out: the link is still there and is dropped.
    {
        call_watcher phone_side(backend, "gattc_read", [](size_t) { gattc_request_abort(0); });
        capture();
        keepalive_read_all();
        finish_capture();
    }
    ASSERT_EQ(1u, backend->calls_named("gap_disconnect").size());
    EXPECT_EQ(0, backend->calls_named("gap_disconnect")[0].args[0]);

    // The link goes down while the read waits, and the phone is back on a new link with the
    // same handle before the reader looks: that link is not the read's to drop.
    {
        // The phone's side changes before the abort wakes the reader, so that the reader
        // always finds the handle reused and only the link count tells the links apart.
        call_watcher phone_side(backend, "gattc_read", [phone](size_t) {
            phone->conn_handle = BLE_CONN_HANDLE_INVALID;
            phone->links.fetch_add(1);
            phone->conn_handle = 0;
            gattc_request_abort(0);
        });
        capture();
        keepalive_read_all();
        const std::string out = finish_capture();
        EXPECT_TRUE(contains(out, "(discard this connection and re-connect)"));
    }
    EXPECT_EQ(1u, backend->calls_named("gap_disconnect").size());
    EXPECT_EQ(0, phone->conn_handle.load());
}

// The event thread empties a phone's database on a disconnection while the keep-alive and
// challenge walks look at it; under the thread sanitizer a walk without the phone's lock
// shows up here.
TEST_F(keepalive_test, walks_meet_a_database_being_emptied_and_refilled) {
    phone_record* phone = connected_phone(first_uuid, 1, 0x0020);
    const std::vector<gatt_service> full = phone->services;
    backend->set_default_result("gattc_read", BLE_ERROR_INVALID_CONN_HANDLE);
    backend->set_default_result("gattc_write", BLE_ERROR_INVALID_CONN_HANDLE);
    test_context.log_level = 0;
    std::atomic<bool> done{false};
    std::thread event_thread([&] {
        while (!done) {
            std::lock_guard<std::mutex> guard(phone->services_lock);
            if (phone->services.empty()) {
                phone->services = full;
            } else {
                phone->services.clear();
            }
        }
    });
    capture();
    for (int i = 0; i < 200; ++i) {
        EXPECT_FALSE(keepalive_read_all());
        challenge_response_all();
    }
    done = true;
    event_thread.join();
    finish_capture();
    for (const auto& call : reads()) EXPECT_EQ(0x0020, call.args[1]);
}

TEST_F(keepalive_test, thread_without_monitored_phones_ends_at_once_and_silently) {
    platform::event_handle stop = platform::create_event(true, false);
    capture();
    KeepAliveThread(stop);
    EXPECT_EQ("", finish_capture());
}

TEST_F(keepalive_test, thread_ends_when_told_to_stop) {
    add_phones({first_uuid});
    platform::event_handle stop = platform::create_event(true, true);
    capture();
    KeepAliveThread(stop);
    EXPECT_EQ("KeepAliveThread exiting\n", finish_capture());
    EXPECT_TRUE(backend->calls().empty());
}

// Runs the thread until `stop_after` reads have been made, answering those that
// `answered(n)` allows, after `meanwhile(n)` has played what happens on the air while read n
// waits; returns the output.
class keepalive_cycle_test : public keepalive_test {
  protected:
    std::string run_cycles(size_t stop_after, const std::function<bool(size_t)>& answered,
                           const std::function<void(size_t)>& meanwhile = nullptr) {
        connected_phone(first_uuid, 1, 0x0020);
        test_context.log_level = 5;
        test_context.last_adv_tick = UINT64_MAX / 2;  // keeps the watchdog out of the way
        platform::set_time_scale(200);
        platform::event_handle stop = platform::create_event(true, false);
        call_watcher phone_side(backend, "gattc_read", [&, stop](size_t n) {
            // Stop first: the thread looks at it only after the cycle this read belongs to.
            if (n == stop_after) platform::set_event(stop);
            if (meanwhile) meanwhile(n);
            if (answered(n)) answer_read(reads()[n - 1]);
        });
        call_watcher link_side(backend, "gap_disconnect", [](size_t) {
            platform::set_event(test_context.disconnected_event.load());
        });
        capture();
        platform::thread_handle thread = platform::start_thread(KeepAliveThread, stop);
        platform::join_thread(thread);
        return finish_capture();
    }

    static size_t count_lines(const std::string& out, const std::string& line) {
        size_t count = 0;
        for (const auto& l : split_lines(out)) count += l == line ? 1 : 0;
        return count;
    }

    const std::string force_line =
        "Force disconnect on all open connections, so we can go through connection process again.";
};

TEST_F(keepalive_cycle_test, ten_answered_cycles_keep_the_connections) {
    const std::string out = run_cycles(10, [](size_t) { return true; });
    EXPECT_EQ(0u, count_lines(out, force_line));
    EXPECT_TRUE(backend->calls_named("gap_disconnect").empty());
    EXPECT_EQ(10u, count_lines(out, "phone " + first_uuid +
                                        " connection_handle = 1 could not find 'challenge' and "
                                        "'respnose' characteristics"));
    EXPECT_TRUE(has_line(out, "KeepAliveThread exiting"));
}

TEST_F(keepalive_cycle_test,
       eleventh_answered_cycle_disconnects_all_even_with_silent_cycles_between) {
    // Reads 4 and 9 go unanswered: the read is refused, the cycle disconnects at once.
    backend->push_result("gattc_read", NRF_SUCCESS);
    backend->push_result("gattc_read", NRF_SUCCESS);
    backend->push_result("gattc_read", NRF_SUCCESS);
    backend->push_result("gattc_read", BLE_ERROR_INVALID_CONN_HANDLE);
    for (int i = 0; i < 4; ++i) backend->push_result("gattc_read", NRF_SUCCESS);
    backend->push_result("gattc_read", BLE_ERROR_INVALID_CONN_HANDLE);
    const std::string out = run_cycles(13, [](size_t n) { return n != 4 && n != 9; });
    EXPECT_EQ(1u, count_lines(out, force_line));
    // One disconnect per silent cycle, one forced.
    EXPECT_EQ(3u, backend->calls_named("gap_disconnect").size());
}

// Seen against the controller emulator: 'd' dropped the link while the cycle's read waited,
// the phone was back on handle 0 at once, and the unanswered cycle then cut its new set-up.
TEST_F(keepalive_cycle_test, ACycleWithoutAnAnswerDropsOnlyTheLinksItFoundUp) {
    phone_record* newcomer = add_phones({second_uuid}).front();
    backend->push_result("gattc_read", NRF_SUCCESS);
    backend->push_result("gattc_read", BLE_ERROR_INVALID_CONN_HANDLE);
    const std::string out = run_cycles(
        2, [](size_t) { return false; },
        [newcomer](size_t n) {
            phone_record& phone = *test_context.phone_registry.at(first_uuid);
            if (n == 1) {
                // The link goes down under the read and the phone is back with the same
                // handle before the abort wakes the reader, so the reader always finds the
                // new link.
                phone.conn_handle = BLE_CONN_HANDLE_INVALID;
                phone.links.fetch_add(1);
                phone.conn_handle = 1;
                gattc_request_abort(1);
            } else {
                // Another phone connects while the cycle's read is refused.
                newcomer->links.fetch_add(1);
                newcomer->conn_handle = 2;
            }
        });
    EXPECT_TRUE(contains(out, "(discard this connection and re-connect)"));
    // Cycle 1 drops nothing: its link is gone. Cycle 2 drops the link it read, not the
    // newcomer's.
    const std::vector<recorded_call> drops = backend->calls_named("gap_disconnect");
    ASSERT_EQ(1u, drops.size());
    EXPECT_EQ(1, drops[0].args[0]);
}

class keepalive_watchdog_test : public keepalive_test {
  protected:
    void SetUp() override {
        keepalive_test::SetUp();
        add_phones({first_uuid});  // monitored, not connected
        test_context.log_level = 1;
        platform::set_time_scale(1000);
        stop = platform::create_event(true, false);
    }
    platform::event_handle stop = nullptr;
};

// A chain request lost without even a GATT time-out would leave the set-up open for good:
// no other phone connected, no keep-alive, no scanner watch. The limit ends it and the
// phone is hung up so that it can be set up afresh.
TEST_F(keepalive_watchdog_test, SetUpWithoutAnAnswerWithinTheLimitIsEndedAndHungUp) {
    phone_record* phone = test_context.phone_registry.begin()->second;
    phone->conn_handle = 6;
    test_context.phone_in_setup = phone;
    test_context.last_adv_tick = UINT64_MAX / 2;  // keeps the scanner watch out of the way
    discovery_chain::request_sent();
    call_watcher link_side(backend, "gap_disconnect", [phone](size_t) {
        phone->conn_handle = BLE_CONN_HANDLE_INVALID;
        platform::set_event(test_context.disconnected_event.load());
    });
    capture();
    platform::thread_handle thread = platform::start_thread(KeepAliveThread, stop);
    // Well inside the limit nothing happens.
    platform::sleep_ms(30000);
    const bool early = !backend->calls_named("gap_disconnect").empty();
    const bool ended =
        eventually([this] { return !backend->calls_named("gap_disconnect").empty(); });
    platform::set_event(stop);
    platform::join_thread(thread);
    const std::string out = finish_capture();
    EXPECT_FALSE(early);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(contains(out, "TS: ERROR: set-up of phone " + first_uuid +
                                  " conn_handle = 6 got no answer after waiting 65000 "
                                  "milliseconds, disconnect it so that it can be set up again"))
        << out;
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_EQ((std::vector<int64_t>{6, 0x13}), backend->calls_named("gap_disconnect")[0].args);
    // Neither taken as set up nor left without a scanner.
    EXPECT_TRUE(backend->calls_named("gap_rssi_start").empty());
    EXPECT_FALSE(backend->calls_named("gap_scan_start").empty());
}

TEST_F(keepalive_watchdog_test, quiet_scanner_is_stopped_and_started_again) {
    capture();
    platform::thread_handle thread = platform::start_thread(KeepAliveThread, stop);
    const bool restarted =
        eventually([this] { return !backend->calls_named("gap_scan_stop").empty(); });
    platform::set_event(stop);
    platform::join_thread(thread);
    const std::string out = finish_capture();
    ASSERT_TRUE(restarted);
    EXPECT_TRUE(has_line(out, "TS: Re-start scanning due to no advertisements in a long time"));
    EXPECT_FALSE(backend->calls_named("gap_scan_start").empty());
}

// Ticks written by other threads may be ahead of the watchdog's own reading; that must
// not look like a very long silence.
TEST_F(keepalive_watchdog_test, no_restart_during_setup_or_for_ticks_ahead_of_the_clock) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        backend->clear_calls();
        if (round == 0) {
            test_context.phone_in_setup = test_context.phone_registry.begin()->second;
        } else {
            test_context.phone_in_setup = nullptr;
            test_context.last_adv_tick = platform::tick_count() + 1000000000;
            test_context.last_scan_start_tick = platform::tick_count() + 1000000000;
        }
        platform::reset_event(stop);
        platform::thread_handle thread = platform::start_thread(KeepAliveThread, stop);
        platform::sleep_ms(40000);  // many cycles, past the silence limit
        platform::set_event(stop);
        platform::join_thread(thread);
        EXPECT_TRUE(backend->calls_named("gap_scan_stop").empty());
    }
}

// 'q' while a silent phone's read waits: the quit ends the read at once, and the cycle goes
// no further: no challenge, no disconnection, nothing more asked of the driver. The clock is
// slowed once the read is out, so the read's 65 s limit lies far beyond the test's patience.
TEST_F(keepalive_test, QuitDuringAReadEndsTheCycleWithoutChallengeOrDisconnection) {
    phone_record* phone = connected_phone(first_uuid, 1, 0x0020);
    phone->services[1].characteristics.push_back(
        characteristic(0x0030, 0x0031, "7198c97a914a432db8280eea0e2b65fc"));
    test_context.log_level = 3;
    platform::set_time_scale(10);
    platform::event_handle stop = platform::create_event(true, false);
    call_watcher phone_side(backend, "gattc_read", [stop](size_t) {
        platform::set_time_scale(0.01);
        raise_quit();
        platform::set_event(stop);
    });
    std::atomic<bool> ended{false};
    capture();
    std::thread keepalive([stop, &ended] {
        KeepAliveThread(stop);
        ended = true;
    });
    const bool in_time = eventually([&ended] { return ended.load(); }, std::chrono::seconds(10));
    // Should the wait go on, the phone answers after all, so that the thread can be joined.
    if (!in_time) platform::set_event(test_context.read_rsp_event.load());
    keepalive.join();
    const std::string out = finish_capture();

    EXPECT_TRUE(in_time) << "the read waited on after the quit";
    EXPECT_EQ("KeepAliveThread exiting\n", out);
    EXPECT_EQ(1u, reads().size());
    EXPECT_TRUE(backend->calls_named("gattc_write").empty());
    EXPECT_TRUE(backend->calls_named("gap_disconnect").empty());
    EXPECT_TRUE(backend->calls_named("gap_scan_stop").empty());
}

}  // namespace
}  // namespace testing_support
