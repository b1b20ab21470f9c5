#include "gatt/keepalive.h"

#include <mutex>
#include <string>
#include <vector>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "gatt/challenge.h"
#include "gatt/discovery_chain.h"
#include "gatt/gatt_text.h"
#include "gatt/gattc_request.h"
#include "link/disconnection.h"
#include "radio/scanning.h"

namespace {

const std::string feature_uuid = "578629605B0F4CE0A25530997B420C79";

struct keepalive_target {
    phone_record* phone;
    uint16_t value_handle;
};

// Finds the 'feature' characteristic in each of the phone's authentication services.
// Holds the phone's services_lock: the event thread may empty them at any moment.
void collect_targets(phone_record& phone, std::vector<keepalive_target>& targets) {
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(phone.services_lock);
        for (const gatt_service& service : phone.services) {
            if (service.uuid128 != phone.uuid) continue;
            for (const gatt_characteristic& characteristic : service.characteristics) {
                if (!uuid_equal_ignoring_case(characteristic.uuid128, feature_uuid)) continue;
                if (log_enabled(4)) {
                    console_printf(
                        "authentication service %s 'feature' characteristic value 0x%04X handle\n",
                        service.uuid128.c_str(), characteristic.value_handle);
                }
                flush_output();
                targets.push_back({&phone, characteristic.value_handle});
                found = true;
                break;
            }
        }
    }
    if (!found) {
        console_printf("phone %s connection_handle = %d could not find 'feature' characteristic\n",
                       phone.uuid.c_str(), phone.conn_handle.load());
        flush_output();
    }
}

gattc_request_result read_feature(const keepalive_target& target) {
    phone_record& phone = *target.phone;
    const uint16_t value_handle = target.value_handle;
    uint16_t conn_handle = BLE_CONN_HANDLE_INVALID;

    gattc_request_texts texts;
    texts.skip_warning = [] {
        console_printf(
            "%s: WARNING: skipping sd_ble_gattc_read when there is a GATTC operation already in "
            "progress\n",
            make_timestamp().c_str());
    };
    texts.call_failure = [&](uint32_t code) {
        console_printf(
            "Keepalive sd_ble_gattc_read error for connection %d characteristic value handle "
            "0x%04X error %s\n",
            conn_handle, value_handle, error_code_name(code).c_str());
    };
    texts.answered = [] {
        console_printf("%s: Thread %d: got expected BLE_GATTC_EVT_READ_RSP\n",
                       make_timestamp().c_str(), thread_id());
    };
    texts.answered_with_error = [&](uint16_t gatt_status) {
        console_printf(
            "%s: Thread %d: ERROR: BLE_GATTC_EVT_READ_RSP for connection %d characteristic value "
            "handle 0x%04X failed, GATT status 0x%04X\n",
            make_timestamp().c_str(), thread_id(), conn_handle, value_handle, gatt_status);
    };
    texts.aborted = [] {
        console_printf(
            "%s: sd_ble_gattc_read to keep connection alive got BLE_GATTC_EVT_TIMEOUT or "
            "BLE_GAP_EVT_DISCONNECTED (discard this connection and re-connect)\n",
            make_timestamp().c_str());
    };
    texts.never_got = [](int waited_ms) {
        console_printf(
            "%s: Thread %d: ERROR: never got BLE_GATTC_EVT_READ_RSP or BLE_GATTC_EVT_TIMEOUT or "
            "BLE_GAP_EVT_DISCONNECTED after waiting %d milliseconds.\n",
            make_timestamp().c_str(), thread_id(), waited_ms);
    };
    texts.unexpected_wait = [](uint32_t wait_result) {
        console_printf(
            "ERROR: WaitForSingleObject returned unexpected value %d while waiting for "
            "BLE_GATTC_EVT_READ_RSP\n",
            static_cast<int>(wait_result));
    };

    // The handle is taken when the request goes out: a phone that has just disconnected
    // is read with the invalid handle, which the driver refuses. A response with an error
    // status is no answer: the phone did not give its feature, so the cycle is not counted.
    return gattc_request_sync(
        gattc_request_kind::read, phone,
        [&](uint16_t link) {
            conn_handle = link;
            return sd_ble_gattc_read(test_context.adapter, link, value_handle, 0);
        },
        texts);
}

bool scanner_silent_too_long() {
    const uint64_t now = platform::tick_count();
    // Compared by addition: the ticks are written by other threads and may be a little
    // later than `now`, which a subtraction would turn into a huge silence.
    return now > test_context.last_adv_tick.load() + scanner_silence_limit_ms &&
           now > test_context.last_scan_start_tick.load() + scanner_silence_limit_ms;
}

void restart_silent_scanner() {
    if (log_enabled(1)) {
        console_printf("%s: Re-start scanning due to no advertisements in a long time\n",
                       make_timestamp().c_str());
    }
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        sd_ble_gap_scan_stop(test_context.adapter);
    }
    scan_restart();
}

}  // namespace

bool keepalive_read_all() {
    if (test_context.phone_in_setup.load() != nullptr) return false;

    std::vector<keepalive_target> targets;
    for (const auto& entry : test_context.phone_registry) {
        phone_record& phone = *entry.second;
        if (phone.conn_handle.load() == BLE_CONN_HANDLE_INVALID) continue;
        collect_targets(phone, targets);
    }
    if (targets.empty()) return false;

    bool answered = false;
    for (const keepalive_target& target : targets) {
        const gattc_request_result result = read_feature(target);
        if (result == gattc_request_result::skipped || result == gattc_request_result::quitting) {
            break;
        }
        if (result == gattc_request_result::answered) answered = true;
    }
    return answered;
}

void KeepAliveThread(void* stop_event) {
    if (!test_context.has_uuids) return;
    auto stop = static_cast<platform::event_handle>(stop_event);
    unsigned answered_cycles = 0;

    for (;;) {
        if (platform::wait_for_event(stop, keepalive_period_ms) != platform::wait_timeout) {
            console_printf("KeepAliveThread exiting\n");
            flush_output();
            return;
        }
        // A quit that came before the stop: the run thread still finishes a command before
        // it stops this thread, and a cycle would only ask a closing driver for more.
        if (test_context.quit_requested.load()) continue;
        if (test_context.phone_in_setup.load() != nullptr) {
            const uint16_t unanswered = discovery_chain::end_if_unanswered();
            if (unanswered != BLE_CONN_HANDLE_INVALID) disconnect_phone(unanswered);
            continue;
        }

        // A cycle without an answer drops the links it read. A phone that connects while
        // the cycle runs (the reads may wait seconds) is in its set-up, and one that was
        // dropped and came straight back is on a new link: neither is the cycle's to drop.
        const std::vector<held_link> read_links = links_held_now();
        const bool answered = keepalive_read_all();
        // A read the quit ended is no failed cycle: no challenge, no links dropped.
        if (test_context.quit_requested.load()) continue;
        if (answered) {
            challenge_response_all();
            ++answered_cycles;
            if (answered_cycles > keepalive_cycles_before_reconnect) {
                answered_cycles = 0;
                if (log_enabled(5)) {
                    console_printf(
                        "Force disconnect on all open connections, so we can go through connection "
                        "process again.\n");
                }
                disconnect_all();
            }
        } else {
            disconnect_links(read_links);
        }

        // A quit during the challenge or the disconnections ended their waits; the cycle ends
        // with them, with nothing asked of the driver on the way out.
        if (test_context.quit_requested.load()) continue;
        if (scanner_silent_too_long()) restart_silent_scanner();
    }
}
