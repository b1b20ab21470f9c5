// The process-wide record of state that Orvette's threads share.
//
// Shared flags are atomics: the writer stores them before it signals the event object the
// reader waits on, and the reader looks only after its wait returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "driver/sd_rpc.h"
#include "link/phone_registry.h"
#include "platform/platform.h"

// Every wait for the dongle or a phone ends after this long.
constexpr uint32_t event_wait_limit_ms = 65000;

struct shared_test_state {
    // Run flags: written once by the entry point before any other thread exists.
    bool has_uuids = false;
    bool silent = false;
    bool exit_on_error = false;
    uint16_t scan_interval = 0;  // 0 stands for 160
    uint16_t scan_window = 0;    // 0 stands for 80
    const uint8_t conn_cfg_tag = 1;

    // Driver access.
    std::atomic<adapter_t*> adapter{nullptr};
    std::mutex driver_lock;  // held around every single call into the driver

    // Event objects, created by the test run after scanning has started.
    std::atomic<platform::event_handle> write_rsp_event{nullptr};     // auto-reset
    std::atomic<platform::event_handle> read_rsp_event{nullptr};      // auto-reset
    std::atomic<platform::event_handle> disconnected_event{nullptr};  // manual-reset
    std::atomic<platform::event_handle> connected_event{nullptr};     // manual-reset
    // Manual-reset, never reset: set with quit_requested, it ends every wait of the program's
    // threads at once (wait_unless_quitting).
    std::atomic<platform::event_handle> quit_event{nullptr};

    // Request and set-up state.
    std::atomic<platform::event_handle> pending_gattc_event{nullptr};
    std::atomic<bool> gattc_aborted{false};
    // The link the pending request went out on: only that link's response, time-out or
    // disconnection ends it. And the GATT status its response carried.
    std::atomic<uint16_t> pending_gattc_conn_handle{BLE_CONN_HANDLE_INVALID};
    std::atomic<uint16_t> pending_gattc_status{BLE_GATT_STATUS_SUCCESS};
    // Makes claiming a request (check, clear the abort flag, set the event) and aborting it
    // one step each, so an abort can never fall between a claim's check and its set-up.
    // Held only for those few stores, never across a driver call or a wait.
    std::mutex gattc_request_lock;
    std::atomic<phone_record*> phone_in_setup{nullptr};
    std::atomic<bool> connect_failed{false};
    // True while the work thread runs a connection attempt (from preparing the request to
    // its outcome), so that the shutdown can wake it and wait for it before it closes the
    // driver.
    std::atomic<bool> connect_attempt_active{false};

    // Counters and ticks.
    std::atomic<int32_t> adv_reports_total{0};
    std::atomic<int32_t> adv_reports_uuid128{0};
    std::atomic<uint64_t> start_tick{0};
    std::atomic<uint64_t> last_adv_tick{0};
    std::atomic<uint64_t> last_scan_start_tick{0};

    // Containers.
    phone_registry_map phone_registry;
    device_set all_devices;

    // Console and shutdown.
    std::atomic<int32_t> log_level{0};
    std::atomic<bool> quit_requested{false};
    std::atomic<bool> first_event_pending{true};
};

extern shared_test_state test_context;

// True when a message gated at `level` prints.
inline bool log_enabled(int32_t level) {
    return test_context.log_level.load() >= level;
}

// Starts the quit: from now on events are dropped, and every wait of the program's threads
// ends at once. Idempotent.
void raise_quit();

// Waits like platform::wait_for_event, but a quit ends the wait at once, with
// platform::wait_object_1 (a quit that came before the wait included). A wait the quit
// ended is no answer and no time-out: the caller leaves without a line and without asking
// the driver for anything more.
uint32_t wait_unless_quitting(platform::event_handle event, uint32_t milliseconds);

// Sleeps `milliseconds` of clock time, or until the quit; true when the quit ended it.
bool sleep_unless_quitting(uint32_t milliseconds);
