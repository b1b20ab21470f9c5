#include "gatt/discovery_chain.h"

#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "gatt/cccd_search.h"
#include "gatt/characteristic_discovery.h"
#include "gatt/uuid_reads.h"
#include "radio/scanning.h"

namespace discovery_chain {
namespace {

constexpr uint8_t rssi_threshold_dbm = 10;
constexpr uint8_t rssi_skip_count = 0;

// What the chain keeps between one response and the next. Responses come on the event
// thread, the first request on the work thread and the watch on the keep-alive thread.
struct chain_record {
    uint32_t service_request_start = 1;
    uint32_t characteristic_request_start = 1;
    uint32_t descriptor_request_start = 1;
    uint64_t last_request_tick = 0;  // 0 while no request of the chain is out
};

std::mutex record_lock;
chain_record record;

uint32_t& request_start(step which) {
    switch (which) {
        case step::services:
            return record.service_request_start;
        case step::characteristics:
            break;
        case step::descriptors:
            return record.descriptor_request_start;
    }
    return record.characteristic_request_start;
}

void start_rssi_reporting(uint16_t conn_handle) {
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gap_rssi_start(test_context.adapter, conn_handle, rssi_threshold_dbm,
                                       rssi_skip_count);
    }
    if (result != NRF_SUCCESS) {
        console_printf_flush("%s: sd_ble_gap_rssi_start failed error %s\n",
                             make_timestamp().c_str(), error_code_name(result).c_str());
    } else if (log_enabled(3)) {
        console_printf_flush("sd_ble_gap_rssi_start succeeded\n");
    }
}

// The one end of a set-up, for `phone` as the caller read it from phone_in_setup (or
// null). `keep_link` says whether a phone that still holds its link is taken as set up.
uint32_t end_setup(phone_record* phone, bool keep_link) {
    // A run that is quitting closes the driver next: it starts nothing on the way out.
    const bool quitting = test_context.quit_requested.load();
    if (phone != nullptr && keep_link && !quitting) {
        const uint16_t conn_handle = phone->conn_handle.load();
        if (conn_handle != BLE_CONN_HANDLE_INVALID) start_rssi_reporting(conn_handle);
    }
    if (log_enabled(3))
        console_printf_flush("service discovery ended, available for new connection\n");
    {
        std::lock_guard<std::mutex> guard(record_lock);
        record.last_request_tick = 0;
    }
    // Clears only the set-up this call ended: a new one begun meanwhile stays.
    test_context.phone_in_setup.compare_exchange_strong(phone, nullptr);
    if (quitting) return NRF_SUCCESS;
    return scan_start();
}

}  // namespace

void reset() {
    {
        std::lock_guard<std::mutex> guard(record_lock);
        record = chain_record{};
    }
    cccd_search_forget();
}

void first_request(step which, uint16_t start_handle) {
    std::lock_guard<std::mutex> guard(record_lock);
    request_start(which) = start_handle;
}

bool next_request(step which, uint32_t start_handle, uint32_t& previous) {
    std::lock_guard<std::mutex> guard(record_lock);
    previous = request_start(which);
    if (start_handle <= previous) return false;
    request_start(which) = start_handle;
    return true;
}

void request_sent() {
    std::lock_guard<std::mutex> guard(record_lock);
    // Never 0, which stands for "nothing out".
    record.last_request_tick = platform::tick_count() | 1;
}

phone_record* phone_for_response(const ble_gattc_evt_t& gattc_evt, const char* response_name) {
    phone_record* phone = test_context.phone_in_setup.load();
    if (phone == nullptr) {
        console_printf_flush(
            "%s: WARNING: %s for conn_handle = %d ignored, no phone is being set up\n",
            make_timestamp().c_str(), response_name, gattc_evt.conn_handle);
        return nullptr;
    }
    const uint16_t setup_handle = phone->conn_handle.load();
    if (gattc_evt.conn_handle != setup_handle) {
        console_printf_flush(
            "%s: WARNING: %s for conn_handle = %d ignored, the phone being set up has conn_handle "
            "= %d\n",
            make_timestamp().c_str(), response_name, gattc_evt.conn_handle, setup_handle);
        return nullptr;
    }
    return phone;
}

void services_done(uint16_t conn_handle) {
    characteristics_discovery_start(conn_handle);
}

void characteristics_done() {
    characteristic_metadata_discovery_start();
}

void uuid_reads_done() {
    cccd_search_start();
}

void descriptors_answered(const ble_gattc_evt_t& gattc_evt) {
    cccd_search_answer(gattc_evt);
}

uint16_t end_if_unanswered() {
    phone_record* phone = test_context.phone_in_setup.load();
    if (phone == nullptr) return BLE_CONN_HANDLE_INVALID;
    {
        std::lock_guard<std::mutex> guard(record_lock);
        const uint64_t sent = record.last_request_tick;
        // Compared by addition: the tick is written by another thread and may be a little
        // later than the one read here.
        if (sent == 0 || platform::tick_count() < sent + event_wait_limit_ms) {
            return BLE_CONN_HANDLE_INVALID;
        }
    }
    const uint16_t conn_handle = phone->conn_handle.load();
    console_printf_flush(
        "%s: ERROR: set-up of phone %s conn_handle = %d got no answer after waiting %d "
        "milliseconds, disconnect it so that it can be set up again\n",
        make_timestamp().c_str(), phone->uuid.c_str(), conn_handle,
        static_cast<int>(event_wait_limit_ms));
    // Its database is incomplete: the phone is not taken as set up, and no RSSI reporting
    // starts on a link that is about to go.
    end_setup(phone, false);
    return conn_handle;
}

}  // namespace discovery_chain

uint32_t service_discovery_end() {
    return discovery_chain::end_setup(test_context.phone_in_setup.load(), true);
}

uint32_t service_discovery_end_for(phone_record* phone) {
    if (phone == nullptr || test_context.phone_in_setup.load() != phone) return NRF_SUCCESS;
    return discovery_chain::end_setup(phone, true);
}
