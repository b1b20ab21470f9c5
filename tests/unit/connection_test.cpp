// Matching an advertisement to a monitored phone and the one connection attempt at a time.
// Reports go through the event handler and the work thread, as on the air.
#include "link/connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "driver/wire/event_builder.h"
#include "link/event_dispatcher.h"
#include "tests/support/gap_events.h"
#include "tests/support/scripted_backend.h"
#include "tests/support/test_support.h"

using namespace testing_support;
using ::testing::HasSubstr;

namespace {

const std::string phone_a = "a0a489971097bba1b343eddd8f50f6ac";
const std::string phone_b = "feedfeadfeadfeadfeadfeadfeadfead";
const std::string setup_end_line = "service discovery ended, available for new connection";

class ConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(drain_message_queue());
        backend = start_scripted_run();
        phones = add_phones({phone_a, phone_b});
        test_context.first_event_pending = false;
    }
    void TearDown() override {
        // An attempt a failed test left waiting must not hold up the tests after it.
        platform::set_time_scale(10000);
        drain_message_queue();
        platform::set_time_scale(1);
    }

    void advertise(const std::string& uuid, int8_t rssi = -55,
                   uint16_t type_bits = BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE) {
        const ble_gap_addr_t peer = make_address({0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
        ble_event_handler(
            test_context.adapter.load(),
            adv_report_event(ad_uuid128_list({uuid_air_bytes(uuid)}), rssi, peer, type_bits).get());
    }
    void deliver(wire::event_buffer event) {
        ble_event_handler(test_context.adapter.load(), event.get());
    }
    bool connect_requested(size_t count = 1) {
        return wait_until([&] { return backend->calls_named("gap_connect").size() >= count; });
    }
    std::string finish() {
        EXPECT_TRUE(drain_message_queue());
        return strip_timestamps(testing::internal::GetCapturedStdout());
    }
    size_t full_scan_starts() const {
        size_t count = 0;
        for (const auto& call : backend->calls_named("gap_scan_start")) count += call.args[0] == 1;
        return count;
    }

    scripted_backend* backend = nullptr;
    std::vector<phone_record*> phones;
};

TEST_F(ConnectionTest, MonitoredFreePhoneIsConnectedWithFixedParametersThenDiscovered) {
    test_context.log_level = 2;
    phones[0]->rssi_event_count = 4;
    testing::internal::CaptureStdout();
    advertise(phone_a, -61);
    ASSERT_TRUE(connect_requested());
    // Prepared before the request went out.
    EXPECT_EQ(test_context.phone_in_setup.load(), phones[0]);
    EXPECT_EQ(phones[0]->rssi_event_count.load(), 0);
    deliver(connected_event(3));
    const std::string out = finish();

    const auto connects = backend->calls_named("gap_connect");
    ASSERT_EQ(connects.size(), 1u);
    // Scan interval and window, connection interval min and max, latency, supervision
    // time-out, configuration tag: the same whatever -i and -w said.
    EXPECT_EQ(connects[0].args, (std::vector<int64_t>{160, 80, 6, 6, 0, 400, 1}));
    EXPECT_EQ(connects[0].data, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));

    EXPECT_THAT(out, HasSubstr(": FOUND phone with UUID " + phone_a +
                               " RSSI = -61, MAC = 66:55:44:33:22:11\n"));
    EXPECT_THAT(out, HasSubstr(": connection request succeeded, connection in progress\n"));
    EXPECT_THAT(out, HasSubstr(": got expected BLE_GAP_EVT_CONNECTED\n"));

    // Discovery owns the phone now, and the scanner stays paused until it ends.
    EXPECT_EQ(phones[0]->conn_handle.load(), 3);
    EXPECT_EQ(test_context.phone_in_setup.load(), phones[0]);
    const auto discovers = backend->calls_named("gattc_primary_services_discover");
    ASSERT_EQ(discovers.size(), 1u);
    EXPECT_EQ(discovers[0].args[0], 3);
    EXPECT_TRUE(backend->calls_named("gap_scan_start").empty());
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 1);
    EXPECT_NE(test_context.last_adv_tick.load(), 0u);
}

TEST_F(ConnectionTest, AdvertisementThatCannotStartAnAttemptIsOnlyRecorded) {
    test_context.log_level = 6;
    const std::string unmonitored = "0123456789abcdef0123456789abcdef";
    phones[1]->conn_handle = 0;  // already connected
    add_phones({"ABCDEF0123456789ABCDEF0123456789"});

    testing::internal::CaptureStdout();
    advertise(unmonitored, -80);
    advertise(phone_b, -81);
    // A phone given in upper case never matches: the air gives lower-case text.
    advertise("ABCDEF0123456789ABCDEF0123456789", -82);
    std::string out = finish();
    EXPECT_THAT(out, HasSubstr("Advertisement RSSI = -80, MAC = 66:55:44:33:22:11, UUID = " +
                               unmonitored + "\n"));
    EXPECT_THAT(
        out,
        HasSubstr("Advertisement RSSI = -81, MAC = 66:55:44:33:22:11, UUID = " + phone_b + "\n"));

    // While another phone is being set up, a free monitored phone waits for a later report.
    test_context.phone_in_setup = phones[1];
    testing::internal::CaptureStdout();
    advertise(phone_a, -83);
    out = finish();
    EXPECT_THAT(
        out,
        HasSubstr("Advertisement RSSI = -83, MAC = 66:55:44:33:22:11, UUID = " + phone_a + "\n"));

    EXPECT_TRUE(backend->calls_named("gap_connect").empty());
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 4);
    EXPECT_EQ(test_context.all_devices.snapshot().size(), 4u);
}

// A beacon, or a spoofer with a phone's UUID, cannot be connected to: chasing it would hold
// every other phone back until the attempt's time limit.
TEST_F(ConnectionTest, NonConnectableAdvertisementOfAFreePhoneIsOnlyRecorded) {
    test_context.log_level = 6;
    testing::internal::CaptureStdout();
    advertise(phone_a, -70, 0);
    advertise(phone_a, -71, BLE_GAP_ADV_REPORT_TYPE_SCANNABLE);
    const std::string out = finish();
    EXPECT_THAT(
        out,
        HasSubstr("Advertisement RSSI = -71, MAC = 66:55:44:33:22:11, UUID = " + phone_a + "\n"));
    EXPECT_TRUE(backend->calls_named("gap_connect").empty());
    EXPECT_EQ(test_context.phone_in_setup.load(), nullptr);
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 2);
    EXPECT_EQ(test_context.adv_reports_total.load(), 2);

    // Directed connectable advertising is still a phone that can be connected.
    advertise(phone_a, -72, BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE | BLE_GAP_ADV_REPORT_TYPE_DIRECTED);
    EXPECT_TRUE(connect_requested());
}

// The quit wakes an attempt that waits for its outcome: it withdraws its request while the
// driver is still open, starts nothing, and never waits out its limit.
TEST_F(ConnectionTest, QuitEndsAnAttemptUnderWayAtOnceWithoutStartingTheScanner) {
    test_context.exit_on_error = true;  // the time-out path would end the process
    advertise(phone_a);
    ASSERT_TRUE(connect_requested());
    ASSERT_TRUE(wait_until([] { return test_context.connect_attempt_active.load(); }));
    const size_t scan_calls = backend->calls_named("gap_scan_start").size();

    testing::internal::CaptureStdout();
    test_context.quit_requested = true;
    end_connection_attempt_for_quit();
    const std::string out = finish();

    EXPECT_FALSE(test_context.connect_attempt_active.load());
    EXPECT_EQ(backend->calls_named("gap_connect_cancel").size(), 1u);
    EXPECT_EQ(backend->calls_named("gap_scan_start").size(), scan_calls);
    EXPECT_EQ(test_context.phone_in_setup.load(), nullptr);
    EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
    EXPECT_THAT(out, ::testing::Not(HasSubstr("never got")));
    EXPECT_THAT(out, ::testing::Not(HasSubstr("Exit test program immediately")));

    // Nor does a report that arrives after the quit start one.
    advertise(phone_b);
    EXPECT_TRUE(drain_message_queue());
    EXPECT_EQ(backend->calls_named("gap_connect").size(), 1u);
}

TEST_F(ConnectionTest, RefusedRequestEndsTheAttemptOnceAndScanningStartsAgain) {
    test_context.log_level = 3;
    struct case_t {
        uint32_t code;
        std::string line;
    };
    const case_t cases[] = {
        {NRF_ERROR_CONN_COUNT, "TS: Connection Request Failed because connection count exceeded"},
        {NRF_ERROR_INVALID_ADDR,
         "TS: Connection Request Failed error " + error_code_name(NRF_ERROR_INVALID_ADDR)},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.code);
        backend->clear_calls();
        backend->push_result("gap_connect", c.code);
        testing::internal::CaptureStdout();
        advertise(phone_a);
        const std::string out = finish();

        EXPECT_TRUE(has_line(out, c.line)) << out;
        size_t ends = 0;
        for (const auto& line : split_lines(out)) ends += line == setup_end_line;
        EXPECT_EQ(ends, 1u) << out;
        EXPECT_EQ(test_context.phone_in_setup.load(), nullptr);
        EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
        EXPECT_GE(full_scan_starts(), 1u);
    }
}

TEST_F(ConnectionTest, ConnectionTimeoutFromTheStackEndsTheAttemptAndThePhoneStaysFree) {
    phones[0]->rssi_event_count = 9;
    testing::internal::CaptureStdout();
    advertise(phone_a);
    ASSERT_TRUE(connect_requested());
    deliver(gap_timeout_event(BLE_GAP_TIMEOUT_SRC_CONN));
    const std::string out = finish();

    EXPECT_TRUE(has_line(out,
                         "TS: sd_ble_gap_connect got BLE_GAP_TIMEOUT_SRC_CONN (which is "
                         "allowable), end this connection attempt"))
        << out;
    EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
    EXPECT_EQ(phones[0]->rssi_event_count.load(), 0);
    EXPECT_EQ(test_context.phone_in_setup.load(), nullptr);
    EXPECT_TRUE(backend->calls_named("gattc_primary_services_discover").empty());
    EXPECT_GE(full_scan_starts(), 1u);

    // The next report of the phone starts a new attempt.
    testing::internal::CaptureStdout();
    advertise(phone_a);
    EXPECT_TRUE(connect_requested(2));
    deliver(gap_timeout_event(BLE_GAP_TIMEOUT_SRC_CONN));
    finish();
}

TEST_F(ConnectionTest, NoOutcomeWithinTheLimitCancelsTheRequestAndFreesThePhone) {
    platform::set_time_scale(1000);
    backend->push_result("gap_connect_cancel", NRF_ERROR_INVALID_STATE);
    testing::internal::CaptureStdout();
    advertise(phone_a);
    const std::string out = finish();

    EXPECT_THAT(out, HasSubstr(": ERROR: never got BLE_GAP_EVT_CONNECTED or "
                               "BLE_GAP_TIMEOUT_SRC_CONN after waiting 65000 milliseconds.\n"));
    // A refused cancel is reported without a line end of its own.
    EXPECT_THAT(out, HasSubstr("TS: sd_ble_gap_connect_cancel failed " +
                               error_code_name(NRF_ERROR_INVALID_STATE)));
    EXPECT_EQ(backend->calls_named("gap_connect_cancel").size(), 1u);
    EXPECT_EQ(test_context.phone_in_setup.load(), nullptr);
    EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
}

TEST_F(ConnectionTest, NoOutcomeWithinTheLimitEndsTheProgramWithExitOnError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            route_stdout_to_stderr();
            test_context.exit_on_error = true;
            platform::set_time_scale(1000);
            on_adv_report(make_address({1, 2, 3, 4, 5, 6}), phone_a, -50);
        },
        ::testing::ExitedWithCode(0),
        HasSubstr("after waiting 65000 milliseconds.\nExit test program immediately\n"));
}

TEST_F(ConnectionTest, AFailedWaitIsReportedWithItsValueAndEndsTheAttempt) {
    test_context.connected_event = nullptr;
    testing::internal::CaptureStdout();
    on_adv_report(make_address({1, 2, 3, 4, 5, 6}), phone_a, -50);
    const std::string out = finish();
    EXPECT_TRUE(has_line(out,
                         "ERROR: WaitForSingleObject returned unexpected value -1 while waiting "
                         "for BLE_GAP_EVT_CONNECTED"))
        << out;
    EXPECT_EQ(test_context.phone_in_setup.load(), nullptr);
}

TEST_F(ConnectionTest, AFailedWaitWithdrawsTheRequestBeforeScanningStartsAgain) {
    // Otherwise the stack would still connect the phone after its set-up had ended, and the
    // link would belong to no phone: every later attempt would be refused for good.
    test_context.connected_event = nullptr;
    testing::internal::CaptureStdout();
    on_adv_report(make_address({1, 2, 3, 4, 5, 6}), phone_a, -50);
    finish();
    const auto calls = backend->calls();
    std::vector<std::string> names;
    for (const auto& call : calls) {
        if (call.name != "gap_connect" && call.name != "gap_connect_cancel" &&
            call.name != "gap_scan_start") {
            continue;
        }
        names.push_back(call.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"gap_connect", "gap_connect_cancel", "gap_scan_start"}));
}

TEST_F(ConnectionTest, WorkLeftQueuedWhenTheRunQuitsTouchesNothing) {
    // The shutdown closes the driver and then waits for the work thread: an attempt begun now
    // could only time out, and a scan restart could only fail.
    test_context.quit_requested = true;
    testing::internal::CaptureStdout();
    on_adv_report(make_address({1, 2, 3, 4, 5, 6}), phone_a, -50);
    scan_resume_work{}();
    finish();
    EXPECT_TRUE(backend->calls_named("gap_connect").empty());
    EXPECT_TRUE(backend->calls_named("gap_scan_start").empty());
    EXPECT_EQ(test_context.phone_in_setup.load(), nullptr);
}

}  // namespace
