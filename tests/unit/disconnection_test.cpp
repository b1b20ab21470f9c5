// Local disconnections with their waits, and the follow-up of every disconnection.
#include "link/disconnection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "driver/ble_hci.h"
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

// Plays the dongle's event thread: answers each accepted disconnect request with the
// disconnection of that handle.
class disconnect_answerer {
  public:
    explicit disconnect_answerer(scripted_backend* backend)
        : thread_([this, backend] {
              size_t answered = 0;
              while (!stop_.load()) {
                  const auto requests = backend->calls_named("gap_disconnect");
                  if (requests.size() > answered) {
                      const auto handle = static_cast<uint16_t>(requests[answered].args[0]);
                      ++answered;
                      ble_event_handler(
                          test_context.adapter.load(),
                          wire::build_disconnected(handle, BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION)
                              .get());
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~disconnect_answerer() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class DisconnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(drain_message_queue());
        backend = start_scripted_run();
        phones = add_phones({phone_a, phone_b});
        test_context.first_event_pending = false;
    }
    void TearDown() override {
        drain_message_queue();
        platform::set_time_scale(1);
    }
    std::string finish() {
        EXPECT_TRUE(drain_message_queue());
        return strip_timestamps(testing::internal::GetCapturedStdout());
    }

    scripted_backend* backend = nullptr;
    std::vector<phone_record*> phones;
};

TEST_F(DisconnectionTest, DisconnectAllTakesThePhonesInUuidOrderEachWithItsOwnWait) {
    phones[0]->conn_handle = 4;  // phone_a sorts first
    phones[1]->conn_handle = 2;
    test_context.log_level = 2;
    testing::internal::CaptureStdout();
    {
        disconnect_answerer answerer(backend);
        disconnect_all();
    }
    const std::string out = finish();

    const auto requests = backend->calls_named("gap_disconnect");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].args,
              (std::vector<int64_t>{4, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION}));
    EXPECT_EQ(requests[1].args,
              (std::vector<int64_t>{2, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION}));

    std::vector<std::string> own_lines;
    for (const auto& line : split_lines(out)) {
        if (contains(line, "sd_ble_gap_disconnect")) own_lines.push_back(line);
    }
    ASSERT_EQ(own_lines.size(), 4u) << out;
    EXPECT_THAT(own_lines[0], HasSubstr(": sd_ble_gap_disconnect succeeded handle 4"));
    EXPECT_THAT(own_lines[1], HasSubstr(": got expected BLE_GAP_EVT_DISCONNECTED after calling "
                                        "sd_ble_gap_disconnect"));
    EXPECT_THAT(own_lines[2], HasSubstr(": sd_ble_gap_disconnect succeeded handle 2"));
    EXPECT_THAT(own_lines[3], HasSubstr(": got expected BLE_GAP_EVT_DISCONNECTED after calling "
                                        "sd_ble_gap_disconnect"));
    EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
    EXPECT_EQ(phones[1]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
}

TEST_F(DisconnectionTest, DisconnectAllWithNothingConnectedDoesNothing) {
    test_context.log_level = 9;
    testing::internal::CaptureStdout();
    disconnect_all();
    EXPECT_EQ(finish(), "");
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(DisconnectionTest, RefusedRequestIsReportedAndNotWaitedFor) {
    backend->push_result("gap_disconnect", BLE_ERROR_INVALID_CONN_HANDLE);
    testing::internal::CaptureStdout();
    disconnect_phone(7);
    EXPECT_EQ(finish(), "TS: ERROR: sd_ble_gap_disconnect failed handle 7 error " +
                            error_code_name(BLE_ERROR_INVALID_CONN_HANDLE) + "\n");
}

TEST_F(DisconnectionTest, UnansweredRequestIsReportedAfterTheLimitAndTheCallerGoesOn) {
    platform::set_time_scale(1000);
    phones[0]->conn_handle = 1;
    testing::internal::CaptureStdout();
    disconnect_phone(1);
    const std::string out = finish();
    EXPECT_THAT(out, HasSubstr(": ERROR: never got BLE_GAP_EVT_DISCONNECTED after waiting 65000 "
                               "milliseconds.\n"));
    EXPECT_THAT(out, ::testing::Not(HasSubstr("Exit test program immediately")));
    // Only the event frees a phone.
    EXPECT_EQ(phones[0]->conn_handle.load(), 1);
}

TEST_F(DisconnectionTest, UnansweredRequestEndsTheProgramWithExitOnError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            route_stdout_to_stderr();
            test_context.exit_on_error = true;
            platform::set_time_scale(1000);
            disconnect_phone(1);
        },
        ::testing::ExitedWithCode(0),
        HasSubstr("after waiting 65000 milliseconds.\nExit test program immediately\n"));
}

TEST_F(DisconnectionTest, FollowUpNamesTheReasonAndEndsTheSetupOfThePhoneThatWasLost) {
    test_context.log_level = 3;
    phones[1]->conn_handle = 0;
    test_context.phone_in_setup = phones[1];

    testing::internal::CaptureStdout();
    ble_event_handler(test_context.adapter.load(),
                      wire::build_disconnected(0, BLE_HCI_CONNECTION_TIMEOUT).get());
    const std::string out = finish();

    EXPECT_THAT(out,
                HasSubstr(": BLE_GAP_EVT_DISCONNECTED received, reason: " +
                          hci_status_name(BLE_HCI_CONNECTION_TIMEOUT) + ", conn_handle = 0\n"));
    EXPECT_TRUE(has_line(out, setup_end_line)) << out;
    EXPECT_EQ(test_context.phone_in_setup.load(), nullptr);
    EXPECT_EQ(phones[1]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
    // No RSSI reporting for a link that is gone; scanning starts again in full.
    EXPECT_TRUE(backend->calls_named("gap_rssi_start").empty());
    const auto scans = backend->calls_named("gap_scan_start");
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].args[0], 1);
}

TEST_F(DisconnectionTest, AnotherPhonesDisconnectionLeavesTheSetupUnderWayConnected) {
    // phone_b is being discovered on handle 1 while phone_a's link on handle 0 drops. The
    // set-up of phone_b goes on: marking it free would lose its live link for good.
    test_context.log_level = 3;
    phones[0]->conn_handle = 0;
    phones[1]->conn_handle = 1;
    test_context.phone_in_setup = phones[1];

    testing::internal::CaptureStdout();
    ble_event_handler(test_context.adapter.load(),
                      wire::build_disconnected(0, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION).get());
    const std::string out = finish();

    EXPECT_FALSE(has_line(out, setup_end_line)) << out;
    EXPECT_EQ(test_context.phone_in_setup.load(), phones[1]);
    EXPECT_EQ(phones[1]->conn_handle.load(), 1);
    EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
    EXPECT_TRUE(backend->calls_named("gap_scan_start").empty());
}

TEST_F(DisconnectionTest, FollowUpWithoutASetupOnlyPrints) {
    test_context.log_level = 0;
    testing::internal::CaptureStdout();
    disconnect_followup(BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION, 3);
    EXPECT_EQ(finish(), "");
    test_context.log_level = 1;
    testing::internal::CaptureStdout();
    disconnect_followup(BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION, 3);
    EXPECT_EQ(split_lines(finish()).size(), 1u);
    EXPECT_TRUE(backend->calls().empty());
}

}  // namespace

namespace {

// 'q' while 'd' waits for a phone that never confirms: the wait ends at once, without the
// never-got line (which with -x would end the process), and the next phone is left linked.
// The clock runs at a tenth of real speed: the 65 s limit could not have passed.
TEST_F(DisconnectionTest, QuitDuringTheWaitEndsItSilentlyAndAsksForNoOtherDisconnection) {
    phones[0]->conn_handle = 4;
    phones[1]->conn_handle = 2;
    test_context.log_level = 2;
    test_context.exit_on_error = true;
    platform::set_time_scale(0.1);
    std::atomic<bool> stop{false};
    std::thread operator_side([&] {
        while (!stop && backend->calls_named("gap_disconnect").empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        raise_quit();
    });
    testing::internal::CaptureStdout();
    const auto started = std::chrono::steady_clock::now();
    disconnect_all();
    const auto took = std::chrono::steady_clock::now() - started;
    stop = true;
    operator_side.join();
    const std::string out = finish();

    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(out, "TS: Thread " + std::to_string(platform::current_thread_id()) +
                       ": sd_ble_gap_disconnect succeeded handle 4\n");
    EXPECT_EQ(backend->calls_named("gap_disconnect").size(), 1u);
    EXPECT_EQ(phones[1]->conn_handle.load(), 2);
}

TEST_F(DisconnectionTest, QuittingRunAsksForNoDisconnection) {
    phones[0]->conn_handle = 4;
    raise_quit();
    testing::internal::CaptureStdout();
    disconnect_phone(4);
    disconnect_all();
    disconnect_links(links_held_now());
    EXPECT_EQ(finish(), "");
    EXPECT_TRUE(backend->calls().empty());
}

}  // namespace
