// How soon an answer that has arrived reaches the program while another of its calls waits
// for a command's answer from a controller that never gives it (the 3 s command limit).
// Figures in clock milliseconds, printed for the record.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "hci/hci_commands.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/hci_peer_pdus.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::command_reply;
using testing_support::hci_session;
using namespace std::chrono_literals;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr uint16_t link = 0x0040;
// Time runs five times as fast: the 3 s limit is 600 ms of real time.
constexpr double scale = 5;

enum class handler_calls {
    nothing,       // the event handler never calls the driver
    resume_scan,   // it resumes the scanner after each report, as the program does
    under_a_lock,  // and takes a lock that the waiting call holds, as the program does
};

// Clock milliseconds from the read response's arrival to the program's READ_RSP.
uint64_t read_response_delay(handler_calls calls) {
    hci_session s;
    std::mutex program_lock;  // the program's own lock around every driver call
    std::atomic<uint64_t> answered_at{0};
    s.on_event = [&](const ble_evt_t& e) {
        if (e.header.evt_id == BLE_GATTC_EVT_READ_RSP) answered_at = platform::tick_count();
        if (e.header.evt_id != BLE_GAP_EVT_ADV_REPORT || calls == handler_calls::nothing) return;
        if (calls == handler_calls::under_a_lock) {
            std::lock_guard<std::mutex> guard(program_lock);
            sd_ble_gap_scan_start(s.adapter(), nullptr, &s.report_descriptor);
        } else {
            sd_ble_gap_scan_start(s.adapter(), nullptr, &s.report_descriptor);
        }
    };
    if (s.connect_phone(phone, link) != 0) return UINT64_MAX;
    if (s.start_scan() != NRF_SUCCESS) return UINT64_MAX;
    if (sd_ble_gattc_read(s.adapter(), 0, 3, 0) != NRF_SUCCESS) return UINT64_MAX;
    platform::set_time_scale(scale);
    s.controller().script(hci::opcode::le_connection_update, command_reply::silent());
    std::thread waiting([&] {
        std::lock_guard<std::mutex> guard(program_lock);
        ble_gap_conn_params_t p{40, 56, 0, 500};
        sd_ble_gap_conn_param_update(s.adapter(), 0, &p);
    });
    uint64_t arrived = 0;
    if (s.controller().wait_for_command(hci::opcode::le_connection_update, 2s)) {
        s.controller().deliver(testing_support::advertising_report_event({{}}));
        arrived = platform::tick_count();
        s.controller().deliver_att(link,
                                   testing_support::att_read_response(std::vector<uint8_t>{7}));
        s.wait_until([&] { return answered_at.load() != 0; }, 10000);
    }
    waiting.join();
    platform::set_time_scale(1);
    const uint64_t at = answered_at.load();
    return at == 0 || arrived == 0 ? UINT64_MAX : at - arrived;
}

TEST(HciDeliveryLatency, AnAnswerIsNotHeldUpByACallThatWaitsForTheController) {
    const uint64_t quiet = read_response_delay(handler_calls::nothing);
    const uint64_t resuming = read_response_delay(handler_calls::resume_scan);
    const uint64_t locked = read_response_delay(handler_calls::under_a_lock);
    std::printf(
        "read response delivered after (clock ms): handler calls nothing %llu, resumes "
        "the scanner %llu, resumes it under a lock the waiting call holds %llu\n",
        static_cast<unsigned long long>(quiet), static_cast<unsigned long long>(resuming),
        static_cast<unsigned long long>(locked));
    // The host hands it over at once, even behind a handler's call that needs no command.
    EXPECT_LT(quiet, 1500u);
    EXPECT_LT(resuming, 1500u);
    // A lock of the program's that the waiting call holds is the program's wait, not ours:
    // it lasts until the command's 3 s are up.
    EXPECT_GE(locked, 2500u);
}

}  // namespace
