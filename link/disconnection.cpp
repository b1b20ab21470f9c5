#include "link/disconnection.h"

#include <cstdio>
#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "driver/ble_hci.h"
#include "gatt/discovery_chain.h"

namespace {}  // namespace

bool request_disconnection(uint16_t conn_handle) {
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gap_disconnect(test_context.adapter.load(), conn_handle,
                                       BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
    }
    if (result != NRF_SUCCESS) {
        console_printf("%s: ERROR: sd_ble_gap_disconnect failed handle %d error %s\n",
                       make_timestamp().c_str(), conn_handle, error_code_name(result).c_str());
        std::fflush(stdout);
        return false;
    }
    if (log_enabled(2)) {
        console_printf("%s: Thread %d: sd_ble_gap_disconnect succeeded handle %d\n",
                       make_timestamp().c_str(), thread_id(), conn_handle);
        std::fflush(stdout);
    }
    return true;
}

void disconnect_phone(uint16_t conn_handle) {
    // A quitting run drops no link: the shutdown leaves links as they are, and the events
    // that would confirm a disconnection are no longer delivered.
    if (test_context.quit_requested.load()) return;
    // Reset before the request, so that only a disconnection from now on ends the wait.
    platform::reset_event(test_context.disconnected_event.load());
    if (!request_disconnection(conn_handle)) return;

    const uint32_t waited =
        wait_unless_quitting(test_context.disconnected_event.load(), event_wait_limit_ms);
    // Ended by the quit, or the confirmation came as the quit began: either way nothing is
    // reported, least of all a time-out that would end the process under -x.
    if (test_context.quit_requested.load()) return;
    if (waited == platform::wait_object_0) {
        if (log_enabled(1)) {
            console_printf(
                "%s: Thread %d: got expected BLE_GAP_EVT_DISCONNECTED after calling "
                "sd_ble_gap_disconnect\n",
                make_timestamp().c_str(), thread_id());
        }
    } else if (waited == platform::wait_timeout) {
        console_printf(
            "%s: Thread %d: ERROR: never got BLE_GAP_EVT_DISCONNECTED after waiting %d "
            "milliseconds.\n",
            make_timestamp().c_str(), thread_id(), static_cast<int>(event_wait_limit_ms));
        if (test_context.exit_on_error) {
            console_printf("Exit test program immediately\n");
            platform::exit_process(0);
        }
    } else {
        console_printf(
            "ERROR: WaitForSingleObject returned unexpected value %d while waiting for "
            "BLE_GAP_EVT_DISCONNECTED\n",
            static_cast<int>(waited));
    }
    std::fflush(stdout);
}

void disconnect_all() {
    for (const auto& entry : test_context.phone_registry) {
        if (test_context.quit_requested.load()) return;
        // Read once: the phone may be freed by the event thread while we look at it.
        const uint16_t conn_handle = entry.second->conn_handle.load();
        if (conn_handle != BLE_CONN_HANDLE_INVALID) disconnect_phone(conn_handle);
    }
}

std::vector<held_link> links_held_now() {
    std::vector<held_link> held;
    for (const auto& entry : test_context.phone_registry) {
        phone_record& phone = *entry.second;
        // The count first: should the phone reconnect in between, the count taken is the
        // older one and the new link is spared rather than taken for the old.
        const uint32_t link = phone.links.load();
        if (phone.conn_handle.load() != BLE_CONN_HANDLE_INVALID) held.push_back({&phone, link});
    }
    return held;
}

void disconnect_link(const held_link& held) {
    const uint16_t conn_handle = held.phone->conn_handle.load();
    if (conn_handle != BLE_CONN_HANDLE_INVALID && held.phone->links.load() == held.link) {
        disconnect_phone(conn_handle);
    }
}

void disconnect_links(const std::vector<held_link>& links) {
    for (const held_link& held : links) {
        if (test_context.quit_requested.load()) return;
        disconnect_link(held);
    }
}

void disconnect_followup(uint8_t reason, uint16_t conn_handle) {
    if (log_enabled(1)) {
        console_printf(
            "%s: Thread %d: BLE_GAP_EVT_DISCONNECTED received, reason: %s, conn_handle = %d\n",
            make_timestamp().c_str(), thread_id(), hci_status_name(reason).c_str(), conn_handle);
        std::fflush(stdout);
    }
    // Only a set-up whose own link is gone ends here. The event thread has already freed
    // every phone that held the lost handle, so a phone in set-up that still holds a handle
    // is connected: ending its set-up would mark it free while its link stays up, and
    // nothing would ever read, disconnect or reconnect it again. Handles are reused, so
    // comparing them with this event's handle could not tell the two cases apart.
    phone_record* phone = test_context.phone_in_setup.load();
    if (phone == nullptr || phone->conn_handle.load() != BLE_CONN_HANDLE_INVALID) return;
    // Should the event thread end that set-up first, nothing is ended twice.
    service_discovery_end_for(phone);
}
