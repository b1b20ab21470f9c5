// The BLE event handler: what each event changes, whom it wakes, what it posts and prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "driver/ble_hci.h"
#include "driver/wire/ad_structures.h"
#include "driver/wire/event_builder.h"
#include "gatt/gattc_request.h"
#include "link/event_dispatcher.h"
#include "tests/support/gap_events.h"
#include "tests/support/scripted_backend.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const std::string phone_a = "a0a489971097bba1b343eddd8f50f6ac";
const std::string phone_b = "feedfeadfeadfeadfeadfeadfeadfead";

bool is_signalled(std::atomic<platform::event_handle>& event) {
    return platform::wait_for_event(event.load(), 0) == platform::wait_object_0;
}

class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(drain_message_queue());
        backend = start_scripted_run();
        phones = add_phones({phone_a, phone_b});
        test_context.first_event_pending = false;
    }
    void TearDown() override { drain_message_queue(); }

    // Delivers the event as the driver's event thread would and returns what it printed,
    // once the work it posted has run.
    std::string deliver(ble_evt_t* event) {
        testing::internal::CaptureStdout();
        ble_event_handler(test_context.adapter.load(), event);
        EXPECT_TRUE(drain_message_queue());
        return strip_timestamps(testing::internal::GetCapturedStdout());
    }
    std::string deliver(wire::event_buffer event) { return deliver(event.get()); }

    // A waited-for request of `kind` out on `conn_handle`, as gattc_request_sync leaves it.
    static void pend(gattc_request_kind kind, uint16_t conn_handle) {
        test_context.pending_gattc_event = kind == gattc_request_kind::read
                                               ? test_context.read_rsp_event.load()
                                               : test_context.write_rsp_event.load();
        test_context.pending_gattc_conn_handle = conn_handle;
    }

    scripted_backend* backend = nullptr;
    std::vector<phone_record*> phones;
};

TEST_F(DispatcherTest, FirstEventNamesTheEventThreadOnceWhateverTheLevel) {
    test_context.first_event_pending = true;
    const std::string first = deliver(nullptr);
    const auto lines = split_lines(first);
    ASSERT_EQ(lines.size(), 2u) << first;
    EXPECT_EQ(lines[0].rfind("TS: Nordic events are received on thread ", 0), 0u);
    EXPECT_EQ(lines[1], "TS: Received an empty BLE event");

    EXPECT_EQ(deliver(nullptr), "TS: Received an empty BLE event\n");
}

TEST_F(DispatcherTest, AfterQuitEventsChangeNothingAndPrintNothing) {
    test_context.quit_requested = true;
    test_context.first_event_pending = true;
    test_context.log_level = 9;
    test_context.phone_in_setup = phones[0];

    EXPECT_EQ(deliver(adv_report_event(ad_uuid128_list({uuid_air_bytes(phone_a)}))), "");
    EXPECT_EQ(deliver(connected_event(4)), "");
    EXPECT_EQ(deliver(wire::build_rssi_changed(4, -40, 3)), "");
    EXPECT_EQ(deliver(bare_event(BLE_GATTS_EVT_WRITE)), "");
    EXPECT_EQ(deliver(nullptr), "");

    EXPECT_EQ(test_context.adv_reports_total.load(), 0);
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 0);
    EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
    EXPECT_FALSE(is_signalled(test_context.connected_event));
    EXPECT_TRUE(test_context.first_event_pending.load());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(DispatcherTest, AfterQuitAThreadStillWaitingForAnAnswerIsWokenSilently) {
    // The shutdown joins the keep-alive thread; had its pending write or disconnection been
    // dropped, the join would sit out the whole 65 s limit.
    test_context.quit_requested = true;
    test_context.log_level = 9;
    phones[0]->conn_handle = 2;

    pend(gattc_request_kind::write, 2);
    EXPECT_EQ(deliver(write_response_event(2, 0)), "");
    EXPECT_TRUE(is_signalled(test_context.write_rsp_event));
    pend(gattc_request_kind::read, 2);
    EXPECT_EQ(deliver(read_response_event(2, 0x10)), "");
    EXPECT_TRUE(is_signalled(test_context.read_rsp_event));

    EXPECT_EQ(deliver(wire::build_disconnected(2, BLE_HCI_CONNECTION_TIMEOUT)), "");
    EXPECT_TRUE(test_context.gattc_aborted.load());
    EXPECT_TRUE(is_signalled(test_context.read_rsp_event));
    EXPECT_TRUE(is_signalled(test_context.disconnected_event));
    EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
}

TEST_F(DispatcherTest, ConnectedStoresTheHandleInThePhoneInSetupBeforeWakingTheAttempt) {
    test_context.phone_in_setup = phones[1];
    test_context.connect_failed = true;
    EXPECT_EQ(deliver(connected_event(7)), "");
    EXPECT_EQ(phones[1]->conn_handle.load(), 7);
    EXPECT_FALSE(test_context.connect_failed.load());
    EXPECT_TRUE(is_signalled(test_context.connected_event));

    test_context.log_level = 2;
    const std::pair<uint8_t, const char*> roles[] = {
        {0, "invalid"}, {1, "peripheral"}, {2, "central"}, {3, "(programming error)"}};
    for (const auto& [role, name] : roles) {
        phones[1]->conn_handle = BLE_CONN_HANDLE_INVALID;
        EXPECT_EQ(deliver(connected_event(7, role)),
                  std::string("TS: Got BLE_GAP_EVT_CONNECTED ") + name + "\n");
    }
}

TEST_F(DispatcherTest, ConnectedWithoutAnAttemptHangsUpThatLinkAndTimeoutOnlyReportsTheError) {
    // Left up, that link would belong to no phone for good: the phone would stop
    // advertising and never be connected, read or dropped again.
    EXPECT_EQ(deliver(connected_event(1)),
              "TS: ERROR: got connection event BLE_GAP_EVT_CONNECTED when we are not attempting "
              "to connect\n");
    const auto hang_ups = backend->calls_named("gap_disconnect");
    ASSERT_EQ(hang_ups.size(), 1u);
    EXPECT_EQ(hang_ups[0].args,
              (std::vector<int64_t>{1, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION}));

    EXPECT_EQ(deliver(gap_timeout_event(BLE_GAP_TIMEOUT_SRC_CONN)),
              "TS: ERROR: got timeout event BLE_GAP_TIMEOUT_SRC_CONN when we are not attempting "
              "to connect\n");
    EXPECT_EQ(backend->calls_named("gap_disconnect").size(), 1u);
    EXPECT_FALSE(is_signalled(test_context.connected_event));
    EXPECT_FALSE(test_context.connect_failed.load());
    EXPECT_EQ(phones[0]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
    EXPECT_EQ(phones[1]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);

    // A refused hang-up says so; at level 2 an accepted one does too.
    backend->push_result("gap_disconnect", NRF_ERROR_INVALID_STATE);
    EXPECT_EQ(deliver(connected_event(5)),
              "TS: ERROR: got connection event BLE_GAP_EVT_CONNECTED when we are not attempting "
              "to connect\nTS: ERROR: sd_ble_gap_disconnect failed handle 5 error 0x0008 "
              "NRF_ERROR_INVALID_STATE\n");
    test_context.log_level = 2;
    EXPECT_THAT(deliver(connected_event(6)),
                ::testing::HasSubstr(": sd_ble_gap_disconnect succeeded handle 6\n"));
}

TEST_F(DispatcherTest, LateConnectedDuringAnotherPhonesDiscoveryLeavesThatPhonesLink) {
    // A connection given up on after its time limit may still complete; by then the next
    // phone may be in discovery on its own link.
    test_context.phone_in_setup = phones[1];
    phones[1]->conn_handle = 2;
    EXPECT_EQ(deliver(connected_event(3)),
              "TS: ERROR: got connection event BLE_GAP_EVT_CONNECTED when we are not attempting "
              "to connect\n");
    EXPECT_EQ(phones[1]->conn_handle.load(), 2);
    EXPECT_FALSE(is_signalled(test_context.connected_event));
    auto hang_ups = backend->calls_named("gap_disconnect");
    ASSERT_EQ(hang_ups.size(), 1u);
    EXPECT_EQ(hang_ups[0].args[0], 3) << "the late link, not the phone's own";

    // The same event again for a link a phone already holds hangs nothing up.
    backend->clear_calls();
    deliver(connected_event(2));
    EXPECT_TRUE(backend->calls_named("gap_disconnect").empty());
    EXPECT_EQ(phones[1]->conn_handle.load(), 2);
}

TEST_F(DispatcherTest, GapTimeoutEndsTheAttemptOrRestartsTheScanByItsSource) {
    test_context.phone_in_setup = phones[0];
    EXPECT_EQ(deliver(gap_timeout_event(BLE_GAP_TIMEOUT_SRC_CONN)),
              "TS: BLE_GAP_TIMEOUT_SRC_CONN timeout for connection\n");
    EXPECT_TRUE(test_context.connect_failed.load());
    EXPECT_TRUE(is_signalled(test_context.connected_event));

    EXPECT_EQ(deliver(gap_timeout_event(BLE_GAP_TIMEOUT_SRC_SCAN)), "");
    auto scans = backend->calls_named("gap_scan_start");
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].args[0], 1) << "a full start with parameters";

    EXPECT_EQ(deliver(gap_timeout_event(BLE_GAP_TIMEOUT_SRC_AUTH_PAYLOAD)), "");
    EXPECT_EQ(backend->calls().size(), 1u);
}

TEST_F(DispatcherTest, RssiChangeCountsForThePhoneHoldingTheHandleOnly) {
    phones[1]->conn_handle = 5;
    EXPECT_EQ(deliver(wire::build_rssi_changed(5, -48, 12)), "");
    EXPECT_EQ(deliver(wire::build_rssi_changed(5, -51, 13)), "");
    EXPECT_EQ(phones[1]->rssi_event_count.load(), 2);
    EXPECT_EQ(phones[1]->last_rssi.load(), -51);

    test_context.log_level = 7;
    EXPECT_EQ(deliver(wire::build_rssi_changed(9, -30, 1)),
              "connection 9 RSSI = -30 (channel 1)\n");
    EXPECT_EQ(phones[0]->rssi_event_count.load(), 0);
    EXPECT_EQ(phones[0]->last_rssi.load(), -127);
    EXPECT_EQ(phones[1]->rssi_event_count.load(), 2);
}

TEST_F(DispatcherTest, AdvertisementWithOneUuidIsMatchedThenTheScanResumes) {
    test_context.log_level = 6;
    const std::string unmonitored = "00112233445566778899aabbccddeeff";
    const std::string out = deliver(adv_report_event(
        concat({wire::ad_structure(0x01, {0x06}), ad_uuid128_list({uuid_air_bytes(unmonitored)})}),
        -70));
    EXPECT_EQ(test_context.adv_reports_total.load(), 1);
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 1);
    EXPECT_EQ(test_context.all_devices.snapshot(), std::vector<std::string>{unmonitored});
    EXPECT_EQ(out,
              "Advertisement RSSI = -70, MAC = 66:55:44:33:22:11, UUID = " + unmonitored + "\n");
    // The resume comes after the match, without parameters.
    const auto scans = backend->calls_named("gap_scan_start");
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].args[0], 0);
}

TEST_F(DispatcherTest, AdvertisementWithoutUuidIsCountedAndTheScanStillResumes) {
    test_context.log_level = 6;
    EXPECT_EQ(deliver(adv_report_event(wire::ad_structure(0x06, uuid_air_bytes(phone_a)))),
              "advertisement received that does not have 128-bit UUID\n");
    test_context.log_level = 5;
    EXPECT_EQ(deliver(adv_report_event({})), "");
    EXPECT_EQ(test_context.adv_reports_total.load(), 2);
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 0);
    EXPECT_EQ(backend->calls_named("gap_scan_start").size(), 2u);
}

TEST_F(DispatcherTest, ScanStaysPausedWhileAPhoneIsInSetup) {
    test_context.phone_in_setup = phones[0];
    phones[0]->conn_handle = 0;
    deliver(adv_report_event({}));
    deliver(adv_report_event(ad_uuid128_list({uuid_air_bytes(phone_b)})));
    EXPECT_TRUE(backend->calls_named("gap_scan_start").empty());
    EXPECT_TRUE(backend->calls_named("gap_connect").empty());
}

TEST_F(DispatcherTest, ConnParamRequestIsAcceptedAsAsked) {
    const ble_gap_conn_params_t asked{24, 40, 2, 500};
    EXPECT_EQ(deliver(wire::build_conn_param_update_request(3, asked)),
              "TS: on_conn_params_update_request conn_handle = 3\n");
    const auto calls = backend->calls_named("gap_conn_param_update");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<int64_t>{3, 24, 40, 2, 500}));

    backend->push_result("gap_conn_param_update", NRF_ERROR_INVALID_PARAM);
    EXPECT_EQ(deliver(wire::build_conn_param_update_request(3, asked)),
              "TS: on_conn_params_update_request conn_handle = 3\n"
              "TS: Conn params update failed, error " +
                  error_code_name(NRF_ERROR_INVALID_PARAM) + "\n");
}

TEST_F(DispatcherTest, WriteResponseAlwaysWakesTheWriterAndNamesOnlyWriteNotPermitted) {
    pend(gattc_request_kind::write, 1);
    EXPECT_EQ(deliver(write_response_event(1, BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED)),
              "TS: Error. Write operation failed. Error code 0x103 "
              "BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED\n");
    EXPECT_TRUE(is_signalled(test_context.write_rsp_event));

    EXPECT_EQ(deliver(write_response_event(1, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE)),
              "TS: Error. Write operation failed. Error code 0x101 \n");
    EXPECT_TRUE(is_signalled(test_context.write_rsp_event));

    EXPECT_EQ(deliver(write_response_event(1, 0)), "");
    test_context.log_level = 4;
    EXPECT_EQ(deliver(write_response_event(1, 0)),
              "Received event BLE_GATTC_EVT_WRITE_RSP with successfull GATT status\n");
    EXPECT_TRUE(is_signalled(test_context.write_rsp_event));
}

TEST_F(DispatcherTest, GattTimeoutAbortsTheWaitingRequestOnly) {
    EXPECT_EQ(deliver(wire::build_gattc_timeout(1)),
              "TS: received BLE_GATTC_EVT_TIMEOUT when not doing a GATTC read/write\n");
    EXPECT_FALSE(test_context.gattc_aborted.load());

    pend(gattc_request_kind::write, 1);
    test_context.log_level = 1;
    EXPECT_EQ(deliver(wire::build_gattc_timeout(1)),
              "TS: current GATTC read/write got  BLE_GATTC_EVT_TIMEOUT\n");
    EXPECT_TRUE(test_context.gattc_aborted.load());
    EXPECT_TRUE(is_signalled(test_context.write_rsp_event));
}

TEST_F(DispatcherTest, DisconnectionFreesThePhoneAbortsTheRequestWakesAndFollowsUp) {
    phones[0]->conn_handle = 0;
    phones[1]->conn_handle = 1;
    {
        std::lock_guard<std::mutex> guard(phones[1]->services_lock);
        phones[1]->services.resize(2);
    }
    pend(gattc_request_kind::read, 1);
    test_context.log_level = 1;

    const std::string out = deliver(wire::build_disconnected(1, BLE_HCI_CONNECTION_TIMEOUT));
    const auto lines = split_lines(out);
    ASSERT_EQ(lines.size(), 3u) << out;
    EXPECT_EQ(lines[0],
              "TS: event handler thread got BLE_GAP_EVT_DISCONNECTED, post to worker thread to "
              "handle");
    EXPECT_EQ(
        lines[1],
        "TS: BLE_GAP_EVT_DISCONNECTED while GATTC read/write in progress. Cancel read/write.");
    EXPECT_EQ(lines[2].rfind("TS: Thread ", 0), 0u);
    EXPECT_TRUE(contains(lines[2], ": BLE_GAP_EVT_DISCONNECTED received, reason: " +
                                       hci_status_name(BLE_HCI_CONNECTION_TIMEOUT) +
                                       ", conn_handle = 1"));

    EXPECT_EQ(phones[0]->conn_handle.load(), 0);
    EXPECT_EQ(phones[1]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
    {
        std::lock_guard<std::mutex> guard(phones[1]->services_lock);
        EXPECT_TRUE(phones[1]->services.empty());
    }
    EXPECT_TRUE(test_context.gattc_aborted.load());
    EXPECT_TRUE(is_signalled(test_context.read_rsp_event));
    EXPECT_TRUE(is_signalled(test_context.disconnected_event));
}

// Phone B's trouble says nothing about phone A's link: taken as the end of A's request it
// would report a healthy phone as failed and drop it, or count a read as answered that never
// was.
TEST_F(DispatcherTest, ARequestIsEndedOnlyByEventsOfItsOwnLink) {
    phones[0]->conn_handle = 0;
    phones[1]->conn_handle = 1;
    test_context.log_level = 1;

    pend(gattc_request_kind::write, 0);
    const std::string out =
        deliver(wire::build_disconnected(1, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
    EXPECT_FALSE(contains(out, "while GATTC read/write in progress")) << out;
    EXPECT_FALSE(test_context.gattc_aborted.load());
    EXPECT_FALSE(is_signalled(test_context.write_rsp_event));
    EXPECT_EQ(phones[0]->conn_handle.load(), 0);

    // A link that no phone holds (a crossed cancel) goes the same way.
    deliver(wire::build_disconnected(7, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
    deliver(wire::build_gattc_timeout(1));
    deliver(write_response_event(1, 0));
    EXPECT_FALSE(test_context.gattc_aborted.load());
    EXPECT_FALSE(is_signalled(test_context.write_rsp_event));

    pend(gattc_request_kind::read, 0);
    deliver(read_response_event(1, 0x10));
    EXPECT_FALSE(is_signalled(test_context.read_rsp_event));
    // A response of the other kind on the right link does not answer it either.
    deliver(write_response_event(0, 0));
    EXPECT_FALSE(is_signalled(test_context.read_rsp_event));

    deliver(read_response_event(0, 0x10, BLE_GATT_STATUS_ATTERR_INSUF_AUTHENTICATION));
    EXPECT_TRUE(is_signalled(test_context.read_rsp_event));
    EXPECT_EQ(test_context.pending_gattc_status.load(),
              BLE_GATT_STATUS_ATTERR_INSUF_AUTHENTICATION);
    EXPECT_FALSE(test_context.gattc_aborted.load());

    deliver(wire::build_disconnected(0, BLE_HCI_CONNECTION_TIMEOUT));
    EXPECT_TRUE(test_context.gattc_aborted.load());
}

TEST_F(DispatcherTest, RssiIsCountedOnlyForThePhoneWhoseLinkItIs) {
    phones[1]->conn_handle = 5;
    deliver(wire::build_rssi_changed(BLE_CONN_HANDLE_INVALID, -40, 3));
    deliver(wire::build_rssi_changed(5, -70, 3));
    EXPECT_EQ(phones[0]->rssi_event_count.load(), 0);
    EXPECT_EQ(phones[0]->last_rssi.load(), -127);
    EXPECT_EQ(phones[1]->rssi_event_count.load(), 1);
    EXPECT_EQ(phones[1]->last_rssi.load(), -70);
}

// Neither the invalid handle nor one a phone already holds is a new link: taken as the
// attempt's outcome, the real request would stay pending in the stack (which then refuses
// every scan start) and two phones would share one handle.
TEST_F(DispatcherTest, ConnectedEventThatNamesNoNewLinkEndsNoAttempt) {
    phones[0]->conn_handle = 1;
    test_context.phone_in_setup = phones[1];
    for (const uint16_t handle : {uint16_t{BLE_CONN_HANDLE_INVALID}, uint16_t{1}}) {
        const std::string out = deliver(connected_event(handle));
        EXPECT_EQ(out, "TS: ERROR: BLE_GAP_EVT_CONNECTED with conn_handle = " +
                           std::to_string(handle) + " answers no connection attempt, ignored\n");
        EXPECT_EQ(phones[1]->conn_handle.load(), BLE_CONN_HANDLE_INVALID);
        EXPECT_FALSE(is_signalled(test_context.connected_event));
    }
    EXPECT_EQ(phones[0]->conn_handle.load(), 1);
    EXPECT_TRUE(backend->calls_named("gap_disconnect").empty());

    deliver(connected_event(2));
    EXPECT_EQ(phones[1]->conn_handle.load(), 2);
    EXPECT_TRUE(is_signalled(test_context.connected_event));
}

TEST_F(DispatcherTest, EventsWithNothingToDoArePrintedAtTheirLevels) {
    EXPECT_EQ(deliver(bare_event(BLE_GAP_EVT_SCAN_REQ_REPORT)),
              "BLE_GAP_EVT_SCAN_REQ_REPORT event is not handled\n");
    EXPECT_EQ(deliver(adv_set_terminated_event(2)),
              "BLE_GAP_EVT_ADV_SET_TERMINATED event is not handled, adv_handle = 2\n");
    EXPECT_EQ(deliver(bare_event(BLE_GATTS_EVT_WRITE)), "TS: BLE_GATTS_EVT_WRITE not handled\n");
    EXPECT_EQ(deliver(bare_event(BLE_GAP_EVT_CONN_PARAM_UPDATE)),
              "TS: Received an un-handled event with ID: 18\n");
    EXPECT_EQ(deliver(bare_event(BLE_GATTC_EVT_EXCHANGE_MTU_RSP)),
              "TS: Received an un-handled event with ID: 58\n");

    EXPECT_EQ(deliver(bare_event(BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST)), "");
    EXPECT_EQ(deliver(hvx_event(1, 0x21, 4)), "");
    EXPECT_EQ(deliver(bare_event(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE)), "");
    test_context.log_level = 6;
    EXPECT_EQ(deliver(bare_event(BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST)),
              "BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST received. No action taken.\n");
    EXPECT_EQ(deliver(hvx_event(1, 0x21, 4)),
              "Received data for characteristic handle 0x0021 #bytes = 4 hvx handle = 0x0021\n");
    EXPECT_EQ(deliver(bare_event(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE)),
              "TS: BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE received. Expected after challenge sent.\n");
    EXPECT_TRUE(backend->calls().empty());
}

// Delivers an event on a thread of its own, as the driver's event thread does.
struct event_thread_call {
    ble_evt_t* event = nullptr;
    std::atomic<bool> returned{false};
    platform::thread_handle thread = nullptr;

    explicit event_thread_call(ble_evt_t* e) : event(e) {
        thread = platform::start_thread(
            [](void* self) {
                auto* call = static_cast<event_thread_call*>(self);
                ble_event_handler(test_context.adapter.load(), call->event);
                call->returned = true;
            },
            this);
    }
    ~event_thread_call() { platform::join_thread(thread); }
};

TEST_F(DispatcherTest, ACallOnItsWayToTheDriverLockCountsAsBusyAndLaterCallsAfterQuitTakeNone) {
    // The shutdown closes the driver under driver_lock only once no call is left; a call
    // that began before the quit may still be waiting for that lock.
    auto request = wire::build_conn_param_update_request(3, {24, 40, 0, 400});
    EXPECT_FALSE(ble_event_handler_busy());
    testing::internal::CaptureStdout();
    std::unique_lock<std::mutex> held(test_context.driver_lock);
    {
        event_thread_call before_quit(request.get());
        EXPECT_TRUE(wait_until([] { return ble_event_handler_busy(); }));
        EXPECT_FALSE(before_quit.returned.load());
        held.unlock();
    }
    EXPECT_FALSE(ble_event_handler_busy());
    EXPECT_EQ(backend->calls_named("gap_conn_param_update").size(), 1u);

    test_context.quit_requested = true;
    held.lock();
    {
        event_thread_call after_quit(request.get());
        EXPECT_TRUE(wait_until([&] { return after_quit.returned.load(); }));
        held.unlock();
    }
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ble_event_handler_busy());
    EXPECT_EQ(backend->calls_named("gap_conn_param_update").size(), 1u);
}

}  // namespace
