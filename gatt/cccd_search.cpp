#include "gatt/cccd_search.h"

#include <algorithm>
#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "gatt/challenge.h"
#include "gatt/discovery_chain.h"
#include "gatt/gatt_text.h"

namespace {

constexpr uint16_t cccd_uuid = 0x2902;

// The search under way. Responses come on the event thread; the start runs there too, but
// a disconnection ends the set-up from the work thread.
struct search_record {
    phone_record* phone = nullptr;  // null while no search is under way
    uint16_t conn_handle = BLE_CONN_HANDLE_INVALID;
    uint16_t value_handle = 0;  // of the 'response' characteristic searched for
    uint16_t start_handle = 0;  // of the request out
    uint16_t last_handle = 0;   // the last handle of the characteristic
};

std::mutex search_lock;
search_record search;

// The handles after a characteristic's value that belong to it: [first, last], empty when
// first > last. Kept wide, as a value at 0xFFFF has none after it.
struct handle_range {
    uint32_t first = 0;
    uint32_t last = 0;
};

// The 'response' characteristic the challenge will use (the last one in the phone's own
// services, as its look-up takes it) and the handles that belong to it after its value.
bool find_response(phone_record& phone, uint16_t& value_handle, handle_range& range) {
    std::lock_guard<std::mutex> guard(phone.services_lock);
    bool found = false;
    for (const gatt_service& service : phone.services) {
        if (service.uuid128 != phone.uuid) continue;
        for (const gatt_characteristic& candidate : service.characteristics) {
            if (!uuid_equal_ignoring_case(candidate.uuid128, response_characteristic_uuid)) {
                continue;
            }
            found = true;
            value_handle = candidate.value_handle;
            range.first = uint32_t{candidate.value_handle} + 1;
            range.last = service.end_handle;
            for (const gatt_characteristic& next : service.characteristics) {
                if (next.decl_handle > candidate.value_handle) {
                    range.last = std::min<uint32_t>(range.last, uint32_t{next.decl_handle} - 1);
                }
            }
        }
    }
    return found;
}

// Notes the outcome on every record of the characteristic: 0 with `missing` false keeps
// the usual place. The records may have gone meanwhile with the link.
void note_outcome(phone_record& phone, uint16_t value_handle, uint16_t cccd_handle, bool missing) {
    std::lock_guard<std::mutex> guard(phone.services_lock);
    for (gatt_service& service : phone.services) {
        if (service.uuid128 != phone.uuid) continue;
        for (gatt_characteristic& c : service.characteristics) {
            if (c.value_handle != value_handle ||
                !uuid_equal_ignoring_case(c.uuid128, response_characteristic_uuid)) {
                continue;
            }
            c.cccd_handle = cccd_handle;
            c.cccd_missing = missing;
        }
    }
}

void report_missing(phone_record& phone, uint16_t conn_handle, uint16_t value_handle) {
    console_printf_flush(
        "%s: phone %s conn_handle = %d has no Client Characteristic Configuration descriptor for "
        "its 'response' characteristic value 0x%04X, it cannot be notified\n",
        make_timestamp().c_str(), phone.uuid.c_str(), conn_handle, value_handle);
}

void end_search() {
    std::lock_guard<std::mutex> guard(search_lock);
    search = search_record{};
}

// Asks for the descriptors in [first, last]; false when the call was refused (reported).
bool request_descriptors(uint16_t conn_handle, uint16_t first, uint16_t last) {
    const ble_gattc_handle_range_t range{first, last};
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gattc_descriptors_discover(test_context.adapter, conn_handle, &range);
    }
    if (result != NRF_SUCCESS) {
        console_printf_flush(
            "%s: sd_ble_gattc_descriptors_discover error %s, conn_handle = %d start_handle = %d\n",
            make_timestamp().c_str(), error_code_name(result).c_str(), conn_handle, first);
        return false;
    }
    discovery_chain::request_sent();
    if (log_enabled(3)) {
        console_printf_flush("sd_ble_gattc_descriptors_discover success for start_handle 0x%04X\n",
                             first);
    }
    return true;
}

// The search is over without a CCCD: the phone is left out of the challenge rather than
// have its switch written to whatever is at value + 1.
void conclude_missing(phone_record* phone, uint16_t conn_handle, uint16_t value_handle) {
    end_search();
    note_outcome(*phone, value_handle, 0, true);
    report_missing(*phone, conn_handle, value_handle);
    service_discovery_end_for(phone);
}

}  // namespace

void cccd_search_forget() {
    end_search();
}

void cccd_search_start() {
    end_search();
    phone_record* phone = test_context.phone_in_setup.load();
    if (phone == nullptr) return;  // the set-up has already been ended elsewhere
    const uint16_t conn_handle = phone->conn_handle.load();
    uint16_t value_handle = 0;
    handle_range range;
    if (conn_handle == BLE_CONN_HANDLE_INVALID || !find_response(*phone, value_handle, range) ||
        range.first == range.last) {
        // Nothing to search: no link, no 'response' (the challenge says so), or the
        // usual layout with only the CCCD after the value.
        service_discovery_end_for(phone);
        return;
    }
    if (range.first > range.last) {
        conclude_missing(phone, conn_handle, value_handle);
        return;
    }
    const auto first = static_cast<uint16_t>(range.first);
    const auto last = static_cast<uint16_t>(range.last);
    if (log_enabled(3)) {
        console_printf_flush(
            "Discovering descriptors of 'response' characteristic value 0x%04X in handles 0x%04X "
            "to 0x%04X, conn_handle = %d\n",
            value_handle, first, last, conn_handle);
    }
    discovery_chain::first_request(discovery_chain::step::descriptors, first);
    {
        std::lock_guard<std::mutex> guard(search_lock);
        search.phone = phone;
        search.conn_handle = conn_handle;
        search.value_handle = value_handle;
        search.start_handle = first;
        search.last_handle = last;
    }
    if (!request_descriptors(conn_handle, first, last)) {
        conclude_missing(phone, conn_handle, value_handle);
    }
}

void cccd_search_answer(const ble_gattc_evt_t& gattc_evt) {
    search_record now;
    {
        std::lock_guard<std::mutex> guard(search_lock);
        now = search;
    }
    phone_record* phone = test_context.phone_in_setup.load();
    // Only the search's own link answers it; a set-up ended by a disconnection has
    // another phone in setup, or none, or its phone's handle invalid.
    if (now.phone == nullptr || phone != now.phone || gattc_evt.conn_handle != now.conn_handle ||
        phone->conn_handle.load() != now.conn_handle) {
        return;
    }
    if (gattc_evt.gatt_status != BLE_GATT_STATUS_SUCCESS) {
        // Not found past the last answer, or a phone that cannot say: either way the
        // CCCD's place is unknown.
        conclude_missing(phone, now.conn_handle, now.value_handle);
        return;
    }
    const uint16_t count = gattc_evt.params.desc_disc_rsp.count;
    const ble_gattc_desc_t* descs = gattc_evt.params.desc_disc_rsp.descs;
    uint32_t highest = 0;
    for (uint16_t i = 0; i < count; ++i) {
        const ble_gattc_desc_t& d = descs[i];
        // Only what lies in the range asked for belongs to the characteristic.
        if (d.handle < now.start_handle || d.handle > now.last_handle) continue;
        highest = std::max<uint32_t>(highest, d.handle);
        if (d.uuid.type != BLE_UUID_TYPE_BLE || d.uuid.uuid != cccd_uuid) continue;
        end_search();
        note_outcome(*phone, now.value_handle, d.handle, false);
        if (log_enabled(3)) {
            console_printf_flush(
                "'response' characteristic value 0x%04X has its Client Characteristic "
                "Configuration descriptor at handle 0x%04X, conn_handle = %d\n",
                now.value_handle, d.handle, now.conn_handle);
        }
        service_discovery_end_for(phone);
        return;
    }
    // Further descriptors may follow in another response, from past the last one listed.
    const uint32_t next = highest + 1;
    uint32_t previous = 0;
    if (highest == 0 || next > now.last_handle ||
        !discovery_chain::next_request(discovery_chain::step::descriptors, next, previous)) {
        conclude_missing(phone, now.conn_handle, now.value_handle);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(search_lock);
        search.start_handle = static_cast<uint16_t>(next);
    }
    if (!request_descriptors(now.conn_handle, static_cast<uint16_t>(next), now.last_handle)) {
        conclude_missing(phone, now.conn_handle, now.value_handle);
    }
}
