#include "radio/scanning.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"

uint8_t scan_buffer[100];

namespace {

constexpr uint16_t default_scan_interval = 160;  // 100 ms
constexpr uint16_t default_scan_window = 80;     // 50 ms

// Handed to the driver with every start; it stays the same object for the whole process
// because the driver keeps filling it between starts.
ble_data_t scan_buffer_descriptor{scan_buffer, sizeof scan_buffer};

ble_gap_scan_params_t make_scan_params() {
    ble_gap_scan_params_t params;
    std::memset(&params, 0, sizeof params);
    params.extended = 0;
    params.report_incomplete_evts = 0;
    params.active = 0;
    params.filter_policy = BLE_GAP_SCAN_FP_ACCEPT_ALL;
    params.scan_phys = BLE_GAP_PHY_1MBPS;
    params.interval =
        test_context.scan_interval != 0 ? test_context.scan_interval : default_scan_interval;
    params.window = test_context.scan_window != 0 ? test_context.scan_window : default_scan_window;
    params.timeout = BLE_GAP_SCAN_TIMEOUT_UNLIMITED;
    return params;
}

}  // namespace

uint32_t scan_start() {
    if (!test_context.has_uuids) return NRF_SUCCESS;
    test_context.last_scan_start_tick = platform::tick_count();

    std::lock_guard<std::mutex> guard(test_context.driver_lock);
    scan_buffer_descriptor.p_data = scan_buffer;
    scan_buffer_descriptor.len = sizeof scan_buffer;
    const ble_gap_scan_params_t params = make_scan_params();
    const uint32_t result =
        sd_ble_gap_scan_start(test_context.adapter.load(), &params, &scan_buffer_descriptor);
    if (result != NRF_SUCCESS) {
        console_printf("%s: Scan start failed with error %s\n", make_timestamp().c_str(),
                       error_code_name(result).c_str());
    } else if (log_enabled(6)) {
        console_printf("scan start success\n");
    }
    std::fflush(stdout);
    return result;
}

uint32_t scan_restart() {
    if (!test_context.has_uuids) return NRF_SUCCESS;
    test_context.last_scan_start_tick = platform::tick_count();

    // The resume and its fallback run under one hold of the lock, so that no other call
    // can change the scanner's state between them.
    std::lock_guard<std::mutex> guard(test_context.driver_lock);
    adapter_t* adapter = test_context.adapter.load();
    const uint32_t resumed = sd_ble_gap_scan_start(adapter, nullptr, &scan_buffer_descriptor);
    if (resumed == NRF_ERROR_INVALID_STATE) {
        // Nothing paused to resume: the scanner was stopped (by a connection attempt or the
        // watchdog), so it needs a full start.
        const ble_gap_scan_params_t params = make_scan_params();
        const uint32_t started = sd_ble_gap_scan_start(adapter, &params, &scan_buffer_descriptor);
        if (started == NRF_ERROR_INVALID_STATE) {
            console_printf(
                "%s: re-called sd_ble_gap_scan_start with non-null params after "
                "NRF_ERROR_INVALID_STATE, still get NRF_ERROR_INVALID_STATE.\n",
                make_timestamp().c_str());
        } else if (started != NRF_SUCCESS) {
            console_printf(
                "%s: re-called sd_ble_gap_scan_start with non-null params after "
                "NRF_ERROR_INVALID_STATE, which changed result to different error %s.\n",
                make_timestamp().c_str(), error_code_name(started).c_str());
        } else if (log_enabled(7)) {
            console_printf(
                "%s: re-called sd_ble_gap_scan_start with non-null params after "
                "NRF_ERROR_INVALID_STATE, now successful.\n",
                make_timestamp().c_str());
        }
        return started;
    }
    if (resumed != NRF_SUCCESS) {
        console_printf("%s: Scan re-start failed with error %s\n", make_timestamp().c_str(),
                       error_code_name(resumed).c_str());
    } else if (log_enabled(7)) {
        console_printf("Scan re-start succeeded\n");
    }
    return resumed;
}
