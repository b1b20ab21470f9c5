#include "link/connection.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "driver/wire/address_text.h"
#include "gatt/discovery_chain.h"
#include "gatt/service_discovery.h"

namespace {

// The same for every attempt, whatever scan timing the operator chose.
ble_gap_scan_params_t connect_scan_params() {
    ble_gap_scan_params_t params;
    std::memset(&params, 0, sizeof params);
    params.active = 0;
    params.filter_policy = BLE_GAP_SCAN_FP_ACCEPT_ALL;
    params.scan_phys = BLE_GAP_PHY_1MBPS;
    params.interval = 160;  // 100 ms
    params.window = 80;     // 50 ms
    params.timeout = 0;
    return params;
}

ble_gap_conn_params_t connect_conn_params() {
    ble_gap_conn_params_t params;
    std::memset(&params, 0, sizeof params);
    params.min_conn_interval = 6;  // 7.5 ms
    params.max_conn_interval = 6;  // 7.5 ms
    params.slave_latency = 0;
    params.conn_sup_timeout = 400;  // 4 s
    return params;
}

// Withdraws a request whose outcome is no longer awaited. Left pending, it could still
// connect the phone after its set-up was ended, and that link would belong to no phone.
void cancel_connect_request() {
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gap_connect_cancel(test_context.adapter.load());
    }
    if (result != NRF_SUCCESS) {
        console_printf("%s: sd_ble_gap_connect_cancel failed %s", make_timestamp().c_str(),
                       error_code_name(result).c_str());
    }
}

// The attempt has gone on past its limit: cancel it and, with -x, stop the test here.
void give_up_attempt() {
    console_printf(
        "%s: Thread %d: ERROR: never got BLE_GAP_EVT_CONNECTED or BLE_GAP_TIMEOUT_SRC_CONN after "
        "waiting %d milliseconds.\n",
        make_timestamp().c_str(), thread_id(), static_cast<int>(event_wait_limit_ms));
    cancel_connect_request();
    if (test_context.exit_on_error) {
        console_printf("Exit test program immediately\n");
        platform::exit_process(0);
    }
    service_discovery_end();
}

// The attempt was woken by the quit: withdraw the request while the driver is still open,
// then end the set-up through its one end, which starts no scanner once quitting.
void end_attempt_for_quit(phone_record* phone) {
    cancel_connect_request();
    service_discovery_end_for(phone);
}

// Marks the work thread's attempt as running for as long as it lives.
struct attempt_marker {
    attempt_marker() { test_context.connect_attempt_active = true; }
    ~attempt_marker() { test_context.connect_attempt_active = false; }
    attempt_marker(const attempt_marker&) = delete;
    attempt_marker& operator=(const attempt_marker&) = delete;
};

}  // namespace

void end_connection_attempt_for_quit() {
    platform::set_event(test_context.connected_event.load());
    const uint64_t started = platform::tick_count();
    while (test_context.connect_attempt_active.load() &&
           platform::tick_count() - started < event_wait_limit_ms) {
        platform::sleep_ms(1);
    }
}

void on_adv_report(const ble_gap_addr_t& peer_addr, const std::string& uuid, int8_t rssi,
                   bool connectable) {
    test_context.last_adv_tick = platform::tick_count();
    const std::string mac = wire::address_text(peer_addr.addr);
    test_context.all_devices.insert(uuid);
    test_context.adv_reports_uuid128++;

    const auto found = test_context.phone_registry.find(uuid);
    phone_record* phone = found != test_context.phone_registry.end() ? found->second : nullptr;
    // A run that is quitting starts no attempt: events are dropped from now on, so its
    // outcome could never arrive, and the shutdown would sit out the whole limit for it.
    if (test_context.phone_in_setup.load() != nullptr || phone == nullptr ||
        phone->conn_handle.load() != BLE_CONN_HANDLE_INVALID || !connectable ||
        test_context.quit_requested.load()) {
        if (log_enabled(6)) {
            console_printf("Advertisement RSSI = %d, MAC = %s, UUID = %s\n", rssi, mac.c_str(),
                           uuid.c_str());
        }
        std::fflush(stdout);
        return;
    }

    const attempt_marker marked;
    // Everything the answering event looks at is in place before the request goes out.
    platform::reset_event(test_context.connected_event.load());
    // The quit wakes an attempt through connected_event after setting its flag: seen
    // clear here, the flag was set after the reset, and the wake will come.
    if (test_context.quit_requested.load()) return;
    test_context.connect_failed = false;
    test_context.phone_in_setup = phone;
    phone->rssi_event_count = 0;

    if (log_enabled(1)) {
        console_printf("%s: Thread %d: FOUND phone with UUID %s RSSI = %d, MAC = %s\n",
                       make_timestamp().c_str(), thread_id(), uuid.c_str(), rssi, mac.c_str());
    }

    const ble_gap_scan_params_t scan_params = connect_scan_params();
    const ble_gap_conn_params_t conn_params = connect_conn_params();
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gap_connect(test_context.adapter.load(), &peer_addr, &scan_params,
                                    &conn_params, test_context.conn_cfg_tag);
    }
    if (result != NRF_SUCCESS) {
        if (result == NRF_ERROR_CONN_COUNT) {
            console_printf("%s: Connection Request Failed because connection count exceeded\n",
                           make_timestamp().c_str());
        } else {
            console_printf("%s: Connection Request Failed error %s\n", make_timestamp().c_str(),
                           error_code_name(result).c_str());
        }
        std::fflush(stdout);
        service_discovery_end();
        return;
    }

    if (log_enabled(2)) {
        console_printf("%s: Thread %d: connection request succeeded, connection in progress\n",
                       make_timestamp().c_str(), thread_id());
    }
    std::fflush(stdout);

    const uint32_t waited =
        wait_unless_quitting(test_context.connected_event.load(), event_wait_limit_ms);
    if (test_context.quit_requested.load()) {
        // Whatever woke us, the run is ending: an outcome that did come is not acted on,
        // and no time limit is waited out.
        end_attempt_for_quit(phone);
        return;
    }
    if (waited == platform::wait_object_0) {
        if (!test_context.connect_failed.load()) {
            if (log_enabled(2)) {
                console_printf("%s: Thread %d: got expected BLE_GAP_EVT_CONNECTED\n",
                               make_timestamp().c_str(), thread_id());
            }
            // Discovery owns the phone in set-up from here on.
            service_discovery_start(phone->conn_handle.load());
        } else {
            console_printf(
                "%s: sd_ble_gap_connect got BLE_GAP_TIMEOUT_SRC_CONN (which is allowable), end "
                "this connection attempt\n",
                make_timestamp().c_str());
            service_discovery_end();
        }
    } else if (waited == platform::wait_timeout) {
        give_up_attempt();
    } else {
        console_printf(
            "ERROR: WaitForSingleObject returned unexpected value %d while waiting for "
            "BLE_GAP_EVT_CONNECTED\n",
            static_cast<int>(waited));
        cancel_connect_request();
        service_discovery_end();
    }
    std::fflush(stdout);
}
