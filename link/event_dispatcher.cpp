#include "link/event_dispatcher.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "driver/wire/ad_structures.h"
#include "driver/wire/uuid_text.h"
#include "gatt/characteristic_discovery.h"
#include "gatt/discovery_chain.h"
#include "gatt/gattc_request.h"
#include "gatt/service_discovery.h"
#include "gatt/uuid_reads.h"
#include "link/connection.h"
#include "link/disconnection.h"
#include "queue/message_queue.h"
#include "radio/scanning.h"

namespace {

constexpr uint16_t gatt_status_write_not_permitted = BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED;

// Calls of ble_event_handler in progress; the shutdown waits for none to be left before it
// closes the driver.
std::atomic<int> handler_calls{0};

struct handler_call {
    handler_call() { handler_calls++; }
    ~handler_call() { handler_calls--; }
    handler_call(const handler_call&) = delete;
    handler_call& operator=(const handler_call&) = delete;
};

const char* role_name(uint8_t role) {
    switch (role) {
        case BLE_GAP_ROLE_INVALID:
            return "invalid";
        case BLE_GAP_ROLE_PERIPH:
            return "peripheral";
        case BLE_GAP_ROLE_CENTRAL:
            return "central";
        default:
            return "(programming error)";
    }
}

// Frees every phone that holds the handle, so that its next advertisement can start a new
// attempt. The handle and the database go together under the phone's lock, so a walker
// never sees a free phone with the old connection's services.
void free_phones_holding(uint16_t conn_handle) {
    for (const auto& entry : test_context.phone_registry) {
        phone_record& phone = *entry.second;
        std::lock_guard<std::mutex> guard(phone.services_lock);
        if (phone.conn_handle.load() != conn_handle) continue;
        phone.conn_handle = BLE_CONN_HANDLE_INVALID;
        phone.services.clear();
    }
}

bool held_by_a_phone(uint16_t conn_handle) {
    const auto& phones = test_context.phone_registry;
    return std::any_of(phones.begin(), phones.end(), [conn_handle](const auto& entry) {
        return entry.second->conn_handle.load() == conn_handle;
    });
}

// A link that answers no attempt of ours would stay up for good and belong to no phone:
// the phone stops advertising once connected, so nothing would ever read, disconnect or
// reconnect it, and it would hold one of the dongle's connection slots. Hanging it up
// sends the phone back to advertising, and its next advertisement starts a proper attempt.
// A repeated event for a link some phone already holds is left alone.
void hang_up_unrecorded_link(uint16_t conn_handle) {
    if (held_by_a_phone(conn_handle)) return;
    request_disconnection(conn_handle);
}

void report_unexpected_connection(uint16_t conn_handle) {
    console_printf(
        "%s: ERROR: got connection event BLE_GAP_EVT_CONNECTED when we are not attempting "
        "to connect\n",
        make_timestamp().c_str());
    hang_up_unrecorded_link(conn_handle);
}

void on_connected(const ble_gap_evt_t& gap_evt) {
    // One load: the work thread may end the set-up at any moment. A phone in set-up that
    // already holds a handle is being discovered, not connected: this event answers no
    // attempt of ours (a late answer to one given up on), and taking its handle would lose
    // the phone's own link.
    phone_record* phone = test_context.phone_in_setup.load();
    if (phone == nullptr || phone->conn_handle.load() != BLE_CONN_HANDLE_INVALID) {
        report_unexpected_connection(gap_evt.conn_handle);
        return;
    }
    // No new link comes with the invalid handle or with one a phone holds: taking such an
    // event as the attempt's outcome would leave the real request pending in the stack
    // (refusing every later scan start) and give two phones one handle.
    if (gap_evt.conn_handle == BLE_CONN_HANDLE_INVALID || held_by_a_phone(gap_evt.conn_handle)) {
        console_printf(
            "%s: ERROR: BLE_GAP_EVT_CONNECTED with conn_handle = %d answers no connection "
            "attempt, ignored\n",
            make_timestamp().c_str(), gap_evt.conn_handle);
        return;
    }
    if (log_enabled(2)) {
        console_printf("%s: Got BLE_GAP_EVT_CONNECTED %s\n", make_timestamp().c_str(),
                       role_name(gap_evt.params.connected.role));
    }
    test_context.connect_failed = false;
    phone->links.fetch_add(1);
    phone->conn_handle = gap_evt.conn_handle;
    platform::set_event(test_context.connected_event.load());
}

void on_disconnected(const ble_gap_evt_t& gap_evt) {
    if (log_enabled(1)) {
        console_printf(
            "%s: event handler thread got BLE_GAP_EVT_DISCONNECTED, post to worker thread to "
            "handle\n",
            make_timestamp().c_str());
    }
    const uint8_t reason = gap_evt.params.disconnected.reason;
    const uint16_t conn_handle = gap_evt.conn_handle;
    free_phones_holding(conn_handle);
    if (gattc_request_pending_on(conn_handle) && log_enabled(1)) {
        console_printf(
            "%s: BLE_GAP_EVT_DISCONNECTED while GATTC read/write in progress. Cancel "
            "read/write.\n",
            make_timestamp().c_str());
    }
    gattc_request_abort(conn_handle);
    platform::set_event(test_context.disconnected_event.load());
    the_message_queue.post(disconnect_work{reason, conn_handle});
}

void on_gap_timeout(const ble_gap_evt_t& gap_evt) {
    switch (gap_evt.params.timeout.src) {
        case BLE_GAP_TIMEOUT_SRC_CONN:
            if (test_context.phone_in_setup.load() != nullptr) {
                console_printf("%s: BLE_GAP_TIMEOUT_SRC_CONN timeout for connection\n",
                               make_timestamp().c_str());
                test_context.connect_failed = true;
                platform::set_event(test_context.connected_event.load());
            } else {
                console_printf(
                    "%s: ERROR: got timeout event BLE_GAP_TIMEOUT_SRC_CONN when we are not "
                    "attempting to connect\n",
                    make_timestamp().c_str());
            }
            break;
        case BLE_GAP_TIMEOUT_SRC_SCAN:
            scan_start();
            break;
        default:
            break;
    }
}

void on_rssi_changed(const ble_gap_evt_t& gap_evt) {
    const ble_gap_evt_rssi_changed_t& changed = gap_evt.params.rssi_changed;
    // Every phone that is not connected holds the invalid handle: a report naming it
    // belongs to none of them.
    if (gap_evt.conn_handle != BLE_CONN_HANDLE_INVALID) {
        for (const auto& entry : test_context.phone_registry) {
            phone_record& phone = *entry.second;
            if (phone.conn_handle.load() != gap_evt.conn_handle) continue;
            phone.rssi_event_count++;
            phone.last_rssi = changed.rssi;
        }
    }
    if (log_enabled(7)) {
        console_printf("connection %d RSSI = %d (channel %d)\n", gap_evt.conn_handle, changed.rssi,
                       changed.ch_index);
    }
}

void on_adv_report_event(const ble_gap_evt_t& gap_evt) {
    const ble_gap_evt_adv_report_t& report = gap_evt.params.adv_report;
    test_context.adv_reports_total++;
    // The report's data lives in the scan buffer only until the resume below hands it back
    // to the driver, so the UUID text is taken here.
    std::string uuid;
    if (find_uuid128(report.data.p_data, report.data.len, uuid)) {
        const bool connectable = (report.type.type & BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE) != 0;
        the_message_queue.post(
            adv_report_work{report.peer_addr, std::move(uuid), report.rssi, connectable});
    } else if (log_enabled(6)) {
        console_printf("advertisement received that does not have 128-bit UUID\n");
    }
    the_message_queue.post(scan_resume_work{});
}

void on_write_response(const ble_gattc_evt_t& gattc_evt) {
    if (gattc_evt.gatt_status != BLE_GATT_STATUS_SUCCESS) {
        const char* name = gattc_evt.gatt_status == gatt_status_write_not_permitted
                               ? "BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED"
                               : "";
        console_printf("%s: Error. Write operation failed. Error code 0x%X %s\n",
                       make_timestamp().c_str(), gattc_evt.gatt_status, name);
    } else if (log_enabled(4)) {
        console_printf("Received event BLE_GATTC_EVT_WRITE_RSP with successfull GATT status\n");
    }
    gattc_request_answer(gattc_request_kind::write, gattc_evt.conn_handle, gattc_evt.gatt_status);
}

void on_gattc_timeout(const ble_gattc_evt_t& gattc_evt) {
    if (gattc_request_pending_on(gattc_evt.conn_handle)) {
        if (log_enabled(1)) {
            console_printf("%s: current GATTC read/write got  BLE_GATTC_EVT_TIMEOUT\n",
                           make_timestamp().c_str());
        }
        gattc_request_abort(gattc_evt.conn_handle);
    } else {
        console_printf("%s: received BLE_GATTC_EVT_TIMEOUT when not doing a GATTC read/write\n",
                       make_timestamp().c_str());
    }
    // The stack takes no further GATT request on a link after its time-out, so a set-up
    // on it can never be answered: end it rather than hold every other phone back until
    // this one happens to disconnect.
    phone_record* in_setup = test_context.phone_in_setup.load();
    if (in_setup != nullptr && in_setup->conn_handle.load() == gattc_evt.conn_handle) {
        service_discovery_end_for(in_setup);
    }
}

// After the quit key nothing new is started and nothing is printed, but a thread that is
// still waiting for an answer (a keep-alive read, a notification switch, a disconnection)
// is woken as usual; otherwise the shutdown, which joins that thread, would sit out the
// full 65 s limit and end in its time-out path instead of closing the driver.
void wake_waiters_after_quit(const ble_evt_t& event) {
    switch (event.header.evt_id) {
        case BLE_GAP_EVT_DISCONNECTED:
            free_phones_holding(event.evt.gap_evt.conn_handle);
            gattc_request_abort(event.evt.gap_evt.conn_handle);
            platform::set_event(test_context.disconnected_event.load());
            break;
        case BLE_GATTC_EVT_READ_RSP:
            gattc_request_answer(gattc_request_kind::read, event.evt.gattc_evt.conn_handle,
                                 event.evt.gattc_evt.gatt_status);
            break;
        case BLE_GATTC_EVT_WRITE_RSP:
            gattc_request_answer(gattc_request_kind::write, event.evt.gattc_evt.conn_handle,
                                 event.evt.gattc_evt.gatt_status);
            break;
        case BLE_GATTC_EVT_TIMEOUT:
            gattc_request_abort(event.evt.gattc_evt.conn_handle);
            break;
        default:
            break;
    }
}

void dispatch(const ble_evt_t& event) {
    const ble_gap_evt_t& gap_evt = event.evt.gap_evt;
    const ble_gattc_evt_t& gattc_evt = event.evt.gattc_evt;
    switch (event.header.evt_id) {
        case BLE_GAP_EVT_CONNECTED:
            on_connected(gap_evt);
            break;
        case BLE_GAP_EVT_DISCONNECTED:
            on_disconnected(gap_evt);
            break;
        case BLE_GAP_EVT_TIMEOUT:
            on_gap_timeout(gap_evt);
            break;
        case BLE_GAP_EVT_RSSI_CHANGED:
            on_rssi_changed(gap_evt);
            break;
        case BLE_GAP_EVT_ADV_REPORT:
            on_adv_report_event(gap_evt);
            break;
        case BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST:
            on_conn_params_update_request(gap_evt);
            break;
        case BLE_GAP_EVT_SCAN_REQ_REPORT:
            console_printf("BLE_GAP_EVT_SCAN_REQ_REPORT event is not handled\n");
            break;
        case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST:
            if (log_enabled(6)) {
                console_printf(
                    "BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST received. No action taken.\n");
            }
            break;
        case BLE_GAP_EVT_ADV_SET_TERMINATED:
            console_printf("BLE_GAP_EVT_ADV_SET_TERMINATED event is not handled, adv_handle = %d\n",
                           gap_evt.params.adv_set_terminated.adv_handle);
            break;
        case BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP:
            on_gattc_evt_prim_srvc_disc_rsp(gattc_evt);
            break;
        case BLE_GATTC_EVT_CHAR_DISC_RSP:
            on_gattc_evt_char_disc_rsp(gattc_evt);
            break;
        case BLE_GATTC_EVT_DESC_DISC_RSP:
            on_gattc_evt_desc_disc_rsp(gattc_evt);
            break;
        case BLE_GATTC_EVT_READ_RSP:
            on_gattc_evt_read_response(gattc_evt);
            break;
        case BLE_GATTC_EVT_WRITE_RSP:
            on_write_response(gattc_evt);
            break;
        case BLE_GATTC_EVT_HVX:
            if (log_enabled(4)) {
                const ble_gattc_evt_hvx_t& hvx = gattc_evt.params.hvx;
                console_printf(
                    "Received data for characteristic handle 0x%04X #bytes = %d hvx handle = "
                    "0x%04X\n",
                    hvx.handle, hvx.len, hvx.handle);
            }
            std::fflush(stdout);
            break;
        case BLE_GATTC_EVT_TIMEOUT:
            on_gattc_timeout(gattc_evt);
            break;
        case BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE:
            if (log_enabled(4)) {
                console_printf(
                    "%s: BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE received. Expected after challenge "
                    "sent.\n",
                    make_timestamp().c_str());
            }
            break;
        case BLE_GATTS_EVT_WRITE:
            console_printf("%s: BLE_GATTS_EVT_WRITE not handled\n", make_timestamp().c_str());
            break;
        default:
            console_printf("%s: Received an un-handled event with ID: %d\n",
                           make_timestamp().c_str(), event.header.evt_id);
            break;
    }
}

}  // namespace

void ble_event_handler(adapter_t*, ble_evt_t* p_ble_evt) {
    // Counted before quit_requested is read: a call that still saw the flag clear is then
    // always seen by the shutdown's wait.
    const handler_call counted;
    if (test_context.quit_requested.load()) {
        if (p_ble_evt != nullptr) wake_waiters_after_quit(*p_ble_evt);
        return;
    }
    if (test_context.first_event_pending.exchange(false)) {
        console_printf("%s: Nordic events are received on thread %d\n", make_timestamp().c_str(),
                       thread_id());
        std::fflush(stdout);
    }
    if (p_ble_evt == nullptr) {
        console_printf("%s: Received an empty BLE event\n", make_timestamp().c_str());
    } else {
        dispatch(*p_ble_evt);
    }
    std::fflush(stdout);
}

bool ble_event_handler_busy() {
    return handler_calls.load() != 0;
}

void on_conn_params_update_request(const ble_gap_evt_t& gap_evt) {
    std::lock_guard<std::mutex> guard(test_context.driver_lock);
    console_printf("%s: on_conn_params_update_request conn_handle = %d\n", make_timestamp().c_str(),
                   gap_evt.conn_handle);
    std::fflush(stdout);
    // The phone's wishes are taken as they are.
    const uint32_t result =
        sd_ble_gap_conn_param_update(test_context.adapter.load(), gap_evt.conn_handle,
                                     &gap_evt.params.conn_param_update_request.conn_params);
    if (result != NRF_SUCCESS) {
        console_printf("%s: Conn params update failed, error %s\n", make_timestamp().c_str(),
                       error_code_name(result).c_str());
        std::fflush(stdout);
    }
}

bool find_uuid128(const uint8_t* data, uint16_t len, std::string& uuid) {
    wire::ad_walker walk(data, len);
    wire::ad_structure_view structure;
    while (walk.next(structure)) {
        if (structure.type != wire::ad_type::complete_uuid128_list) continue;
        // A list of several UUIDs names no single phone; a shorter one holds none.
        if (structure.value_length != wire::uuid128_length) return false;
        uuid = wire::uuid128_text(structure.value);
        return true;
    }
    return false;
}

void adv_report_work::operator()() const {
    try {
        on_adv_report(peer_addr, uuid, rssi, connectable);
    } catch (const std::exception& e) {
        console_printf("caught exception from on_adv_report: %s\n", e.what());
    } catch (...) {
        console_printf("caught non-std::exception from on_adv_report\n");
    }
}

void scan_resume_work::operator()() const {
    try {
        // While a phone is being set up the scanner stays paused; the end of the set-up
        // makes the full start. A run that is quitting is about to close the driver: a
        // restart then would only fail against it.
        if (test_context.phone_in_setup.load() == nullptr && !test_context.quit_requested.load()) {
            scan_restart();
        }
    } catch (const std::exception& e) {
        console_printf("caught exception from scan re-start: %s\n", e.what());
    } catch (...) {
        console_printf("caught non-std::exception from scan re-start\n");
    }
}

void disconnect_work::operator()() const {
    try {
        disconnect_followup(reason, conn_handle);
    } catch (const std::exception& e) {
        console_printf("caught exception from disconnect handler: %s\n", e.what());
    } catch (...) {
        console_printf("caught non-std::exception from disconnect handler\n");
    }
}
