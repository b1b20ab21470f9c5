// The waited-for GATT request: one at a time, and every way its wait can end.
#include <fstream>
#include <sstream>

#include "diag/code_names.h"
#include "diag/console.h"
#include "driver/ble_hci.h"
#include "driver/wire/event_builder.h"
#include "gatt/gattc_request.h"
#include "link/event_dispatcher.h"
#include "tests/support/gap_events.h"
#include "tests/unit/gatt_fixture.h"

namespace testing_support {
namespace {

class gattc_request_test : public gatt_fixture {
  protected:
    void SetUp() override {
        gatt_fixture::SetUp();
        test_context.log_level = 4;
        phone = add_phones({"a0a489971097bba1b343eddd8f50f6ac"}).front();
        phone->conn_handle = 4;
        texts.skip_warning = [] { console_printf("skip\n"); };
        texts.call_failure = [](uint32_t code) {
            console_printf("refused %s\n", error_code_name(code).c_str());
        };
        texts.issued = [] { console_printf("issued\n"); };
        texts.answered = [] { console_printf("answered\n"); };
        texts.aborted = [] { console_printf("aborted\n"); };
        texts.never_got = [](int ms) { console_printf("never got after %d\n", ms); };
        texts.unexpected_wait = [](uint32_t r) {
            console_printf("unexpected %d\n", static_cast<int>(r));
        };
    }

    gattc_request_result read(uint32_t* code = nullptr) {
        return gattc_request_sync(
            gattc_request_kind::read, *phone,
            [](uint16_t conn_handle) {
                return sd_ble_gattc_read(test_context.adapter, conn_handle, 0x0010, 0);
            },
            texts, code);
    }

    gattc_request_result write() {
        static const uint8_t value[2] = {1, 0};
        return gattc_request_sync(
            gattc_request_kind::write, *phone,
            [](uint16_t conn_handle) {
                ble_gattc_write_params_t params{BLE_GATT_OP_WRITE_REQ, 0, 0x0011, 0, 2, value};
                return sd_ble_gattc_write(test_context.adapter, conn_handle, &params);
            },
            texts);
    }

    // What the event thread does when a request can no longer be answered.
    static void abort_pending() {
        test_context.gattc_aborted = true;
        platform::set_event(test_context.pending_gattc_event.load());
    }

    static void reset_quit() {
        test_context.quit_requested = false;
        platform::reset_event(test_context.quit_event.load());
    }

    phone_record* phone = nullptr;
    gattc_request_texts texts;
};

TEST_F(gattc_request_test, answered_read_frees_the_request_slot) {
    call_watcher phone_side(backend, "gattc_read", [](size_t) {
        platform::set_event(test_context.read_rsp_event.load());
    });
    capture();
    EXPECT_EQ(gattc_request_result::answered, read());
    EXPECT_EQ("answered\n", finish_capture());
    EXPECT_EQ(nullptr, test_context.pending_gattc_event.load());
}

TEST_F(gattc_request_test, write_prints_issued_before_answered_and_only_at_level_4) {
    call_watcher phone_side(backend, "gattc_write", [](size_t) {
        platform::set_event(test_context.write_rsp_event.load());
    });
    capture();
    EXPECT_EQ(gattc_request_result::answered, write());
    test_context.log_level = 3;
    EXPECT_EQ(gattc_request_result::answered, write());
    EXPECT_EQ("issued\nanswered\n", finish_capture());
}

TEST_F(gattc_request_test, request_in_progress_is_not_disturbed_by_a_second_one) {
    test_context.pending_gattc_event = test_context.write_rsp_event.load();
    capture();
    EXPECT_EQ(gattc_request_result::skipped, read());
    EXPECT_EQ("skip\n", finish_capture());
    EXPECT_EQ(test_context.write_rsp_event.load(), test_context.pending_gattc_event.load());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(gattc_request_test, second_requester_is_skipped_while_the_first_waits) {
    gattc_request_result second = gattc_request_result::answered;
    call_watcher phone_side(backend, "gattc_read", [&](size_t n) {
        if (n != 1) return;
        second = write();  // another thread's request, while the read waits
        platform::set_event(test_context.read_rsp_event.load());
    });
    EXPECT_EQ(gattc_request_result::answered, read());
    EXPECT_EQ(gattc_request_result::skipped, second);
    EXPECT_TRUE(backend->calls_named("gattc_write").empty());
}

TEST_F(gattc_request_test, refused_request_returns_its_code_and_frees_the_slot) {
    backend->push_result("gattc_read", BLE_ERROR_INVALID_CONN_HANDLE);
    uint32_t code = 0;
    test_context.log_level = 0;
    capture();
    EXPECT_EQ(gattc_request_result::not_issued, read(&code));
    EXPECT_EQ("refused " + error_code_name(BLE_ERROR_INVALID_CONN_HANDLE) + "\n", finish_capture());
    EXPECT_EQ(uint32_t{BLE_ERROR_INVALID_CONN_HANDLE}, code);
    EXPECT_EQ(nullptr, test_context.pending_gattc_event.load());
}

TEST_F(gattc_request_test, abort_by_the_phone_disconnecting_needs_no_disconnect) {
    call_watcher phone_side(backend, "gattc_read", [this](size_t) {
        phone->conn_handle = BLE_CONN_HANDLE_INVALID;
        abort_pending();
    });
    test_context.log_level = 1;
    capture();
    EXPECT_EQ(gattc_request_result::aborted, read());
    EXPECT_EQ("aborted\n", finish_capture());
    EXPECT_TRUE(backend->calls_named("gap_disconnect").empty());
    EXPECT_EQ(nullptr, test_context.pending_gattc_event.load());
}

TEST_F(gattc_request_test, abort_while_the_phone_stays_connected_disconnects_it) {
    call_watcher phone_side(backend, "gattc_read", [](size_t) { abort_pending(); });
    call_watcher link_side(backend, "gap_disconnect", [](size_t) {
        platform::set_event(test_context.disconnected_event.load());
    });
    EXPECT_EQ(gattc_request_result::aborted, read());
    const auto disconnects = backend->calls_named("gap_disconnect");
    ASSERT_EQ(1u, disconnects.size());
    EXPECT_EQ((std::vector<int64_t>{4, 0x13}), disconnects[0].args);
}

// Phone B hanging up, timing out or answering says nothing about phone A's request: only
// A's own response ends its wait, and A is neither reported as failed nor dropped.
TEST_F(gattc_request_test, OnlyTheRequestsOwnLinkEndsItsWait) {
    test_context.first_event_pending = false;
    test_context.log_level = 1;
    call_watcher phone_side(backend, "gattc_read", [](size_t) {
        const auto deliver = [](wire::event_buffer event) {
            ble_event_handler(test_context.adapter.load(), event.get());
        };
        deliver(wire::build_disconnected(9, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
        deliver(wire::build_gattc_timeout(9));
        deliver(read_response_event(9, 0x0010));
        deliver(write_response_event(4, 0));
        deliver(read_response_event(4, 0x0010));
    });
    capture();
    EXPECT_EQ(gattc_request_result::answered, read());
    EXPECT_TRUE(drain_message_queue());
    const std::string out = finish_capture();
    EXPECT_FALSE(contains(out, "aborted")) << out;
    EXPECT_TRUE(backend->calls_named("gap_disconnect").empty());
    EXPECT_EQ(4, phone->conn_handle.load());
}

TEST_F(gattc_request_test, failed_wait_is_reported_without_a_disconnect) {
    test_context.read_rsp_event = nullptr;
    capture();
    EXPECT_EQ(gattc_request_result::wait_failed, read());
    EXPECT_EQ("unexpected -1\n", finish_capture());
    EXPECT_TRUE(backend->calls_named("gap_disconnect").empty());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class gattc_request_death_test : public gattc_request_test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        gattc_request_test::SetUp();
        output_path = ::testing::TempDir() + "orvette_gattc_request_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::remove(output_path.c_str());
    }
    // In the child: sends what the program prints to a file the parent reads afterwards.
    void print_to_file() const { std::freopen(output_path.c_str(), "w", stdout); }

    std::string output_path;
};

TEST_F(gattc_request_death_test, unanswered_request_tries_a_disconnect_then_ends_the_process) {
    EXPECT_EXIT(
        {
            print_to_file();
            platform::set_time_scale(2000);
            call_watcher link_side(backend, "gap_disconnect", [](size_t) {
                platform::set_event(test_context.disconnected_event.load());
            });
            read();
            std::printf("returned\n");
        },
        ::testing::ExitedWithCode(0), "");
    const std::string out = read_file(output_path);
    const size_t never_got = out.find("never got after 65000\n");
    const size_t disconnect = out.find("Disconnect and see if we get a disconnect event\n");
    const size_t exit = out.find("Exit test program immediately\n");
    ASSERT_NE(std::string::npos, never_got) << out;
    ASSERT_NE(std::string::npos, disconnect) << out;
    ASSERT_NE(std::string::npos, exit) << out;
    EXPECT_LT(never_got, disconnect);
    EXPECT_LT(disconnect, exit);
    EXPECT_FALSE(contains(out, "returned"));
}

// A signal and an abort flag left over from earlier reads must not end a new wait: with
// nothing answering, only the time limit may end it.
TEST_F(gattc_request_death_test, leftovers_of_earlier_requests_do_not_end_the_wait) {
    EXPECT_EXIT(
        {
            print_to_file();
            platform::set_time_scale(2000);
            phone->conn_handle = BLE_CONN_HANDLE_INVALID;
            platform::set_event(test_context.read_rsp_event.load());
            test_context.gattc_aborted = true;
            read();
            std::printf("returned\n");
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ("never got after 65000\nExit test program immediately\n", read_file(output_path));
}

// A quit ends the 65 s wait at once, whatever else comes with it: no answered, aborted or
// never-got line, no link dropped, the slot free. The clock runs at real speed, so only the
// quit can have ended the wait this soon.
TEST_F(gattc_request_test, QuitEndsTheWaitAtOnceWithoutALineOrADisconnection) {
    platform::set_time_scale(1);
    for (const bool aborted_too : {false, true}) {
        SCOPED_TRACE(aborted_too);
        reset_quit();
        backend->clear_calls();
        call_watcher phone_side(backend, "gattc_read", [aborted_too](size_t) {
            raise_quit();
            // An abort that comes after the quit (the phone's link dropped as the run ended)
            // drops nothing either.
            if (aborted_too) abort_pending();
        });
        capture();
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(gattc_request_result::quitting, read());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ("", finish_capture());
        EXPECT_TRUE(backend->calls_named("gap_disconnect").empty());
        EXPECT_EQ(nullptr, test_context.pending_gattc_event.load());
    }
}

TEST_F(gattc_request_test, QuittingRunIssuesNoRequest) {
    raise_quit();
    capture();
    EXPECT_EQ(gattc_request_result::quitting, write());
    EXPECT_EQ("", finish_capture());
    EXPECT_TRUE(backend->calls().empty());
    EXPECT_EQ(nullptr, test_context.pending_gattc_event.load());
}

}  // namespace
}  // namespace testing_support
