#include "gatt/uuid_reads.h"

#include <mutex>
#include <string>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "driver/wire/hex_text.h"
#include "gatt/discovery_chain.h"
#include "gatt/gatt_text.h"
#include "gatt/gattc_request.h"

namespace {

constexpr uint16_t service_uuid_length = 16;
constexpr uint16_t declaration_length_uuid128 = 19;

uint32_t read_attribute(uint16_t conn_handle, uint16_t handle) {
    std::lock_guard<std::mutex> guard(test_context.driver_lock);
    return sd_ble_gattc_read(test_context.adapter, conn_handle, handle, 0);
}

void report_read_failure(uint32_t result, uint16_t conn_handle) {
    console_printf(
        "%s: sd_ble_gattc_read failed during characteristic_metadata_discovery_start error %s, "
        "conn_handle = %d\n",
        make_timestamp().c_str(), error_code_name(result).c_str(), conn_handle);
    flush_output();
}

// What the walk of a response over the phone's records found.
enum class answer_kind { service, characteristic, unmatched };

void print_keepalive_answer(const ble_gattc_evt_t& gattc_evt) {
    if (!log_enabled(5)) return;
    const ble_gattc_evt_read_rsp_t& rsp = gattc_evt.params.read_rsp;
    const char value = rsp.len == 1 ? static_cast<char>(rsp.data[0] + 0x30) : ' ';
    console_printf(
        "%s: keepalive conn_handle = %d characteristic handle 0x%04X #bytes = %d value %c\n",
        make_timestamp().c_str(), gattc_evt.conn_handle, rsp.handle, rsp.len, value);
    flush_output();
}

// Service answer: fills the first pending 128-bit service that starts at the read handle.
// `length_refused` tells whether such a service was found but the answer had the wrong
// length; that service then still waits and no read of the chain is outstanding.
bool take_service_answer(phone_record& phone, const ble_gattc_evt_t& gattc_evt,
                         bool& length_refused) {
    const ble_gattc_evt_read_rsp_t& rsp = gattc_evt.params.read_rsp;
    const uint8_t* data = rsp.data;
    std::lock_guard<std::mutex> guard(phone.services_lock);
    for (gatt_service& service : phone.services) {
        if (service.uuid_type != BLE_UUID_TYPE_UNKNOWN || !service.uuid128.empty() ||
            service.start_handle != rsp.handle) {
            continue;
        }
        if (rsp.len == service_uuid_length) {
            service.uuid128 = uuid128_text(data);
            if (log_enabled(3)) {
                console_printf("found service 0x%04X UUID = %s\n", service.start_handle,
                               service.uuid128.c_str());
                flush_output();
            }
            return true;
        }
        length_refused = true;
        console_printf("%s: on_gattc_evt_read_response conn_handle = %d has unexpected length\n",
                       make_timestamp().c_str(), gattc_evt.conn_handle);
        flush_output();
    }
    return false;
}

// Characteristic answer: the chain reads only characteristics not yet read, so its answer
// goes to the first unread one with that declaration handle. A characteristic recorded
// in two overlapping services has two unread records; matching an already-read one
// instead would read the second forever.
bool take_characteristic_answer(phone_record& phone, const ble_gattc_evt_t& gattc_evt) {
    const ble_gattc_evt_read_rsp_t& rsp = gattc_evt.params.read_rsp;
    const uint8_t* data = rsp.data;
    std::lock_guard<std::mutex> guard(phone.services_lock);
    gatt_characteristic* match = nullptr;
    for (gatt_service& service : phone.services) {
        for (gatt_characteristic& characteristic : service.characteristics) {
            if (characteristic.decl_handle == rsp.handle && !characteristic.metadata_read) {
                match = &characteristic;
                break;
            }
        }
        if (match != nullptr) break;
    }
    if (match == nullptr) return false;

    match->metadata_read = true;
    if (log_enabled(3)) {
        console_printf(
            "MATCHED on_gattc_evt_read_response conn_handle = %d read handle = 0x%04X #bytes = %d "
            "offset = %d data = %s\n",
            gattc_evt.conn_handle, rsp.handle, rsp.len, rsp.offset,
            wire::hex_text(data, rsp.len, " ").c_str());
        flush_output();
    }
    if (rsp.len == declaration_length_uuid128) {
        const uint16_t received_value_handle = static_cast<uint16_t>(data[1] + 256 * data[2]);
        const std::string text = uuid128_text(data + 3);
        if (received_value_handle == match->value_handle) {
            match->uuid128 = text;
            if (log_enabled(3)) {
                console_printf("FOUND characteristic handle 0x%04X UUID = %s\n",
                               match->value_handle, text.c_str());
                flush_output();
            }
        } else {
            console_printf(
                "%s: UNEXPECTED received value handle 0x%04X != expected value handle 0x%04X\n",
                make_timestamp().c_str(), received_value_handle, match->value_handle);
            flush_output();
        }
    }
    return true;
}

}  // namespace

void characteristic_metadata_discovery_start() {
    phone_record* phone = test_context.phone_in_setup.load();
    if (phone == nullptr) return;  // the set-up has already been ended elsewhere
    const uint16_t conn_handle = phone->conn_handle.load();
    if (conn_handle == BLE_CONN_HANDLE_INVALID) {
        service_discovery_end_for(phone);
        return;
    }

    bool have_service = false;
    bool have_characteristic = false;
    uint16_t handle = 0;
    {
        std::lock_guard<std::mutex> guard(phone->services_lock);
        for (const gatt_service& service : phone->services) {
            if (service.uuid_type == BLE_UUID_TYPE_UNKNOWN && service.uuid128.empty()) {
                have_service = true;
                handle = service.start_handle;
                break;
            }
        }
        // Services first: their UUIDs are what the characteristics are looked up under.
        for (const gatt_service& service : phone->services) {
            if (have_service || have_characteristic) break;
            for (const gatt_characteristic& characteristic : service.characteristics) {
                if (!characteristic.metadata_read) {
                    have_characteristic = true;
                    handle = characteristic.decl_handle;
                    break;
                }
            }
        }
    }

    if (!have_service && !have_characteristic) {
        if (log_enabled(3)) {
            console_printf("entirely done getting metadata from phone\n");
            flush_output();
        }
        discovery_chain::uuid_reads_done();
        return;
    }

    const uint32_t result = read_attribute(conn_handle, handle);
    if (result != NRF_SUCCESS) {
        report_read_failure(result, conn_handle);
        service_discovery_end_for(phone);
        return;
    }
    discovery_chain::request_sent();
    if (log_enabled(3)) {
        if (have_service) {
            console_printf(
                "sd_ble_gattc_read success to find 128-bit UUID of service 0x%04X, conn_handle = "
                "%d\n",
                handle, conn_handle);
        } else {
            console_printf(
                "sd_ble_gattc_read started for characteristic description handle 0x%04X, "
                "conn_handle = %d\n",
                handle, conn_handle);
        }
        flush_output();
    }
}

void on_gattc_evt_read_response(const ble_gattc_evt_t& gattc_evt) {
    phone_record* phone = test_context.phone_in_setup.load();
    // Only the phone in setup has a chain read outstanding; an answer from any other
    // connection is a keep-alive answer and must not touch the phone's records.
    if (phone == nullptr || gattc_evt.conn_handle != phone->conn_handle.load()) {
        gattc_request_answer(gattc_request_kind::read, gattc_evt.conn_handle,
                             gattc_evt.gatt_status);
        print_keepalive_answer(gattc_evt);
        return;
    }
    // The stack runs one GATT procedure per link, so on the set-up's link an answer that
    // the chain takes is its own read's. It must not wake a keep-alive read waiting on
    // another phone: that read would count as answered and its own failure go unseen.

    const ble_gattc_evt_read_rsp_t& rsp = gattc_evt.params.read_rsp;
    if (gattc_evt.gatt_status != BLE_GATT_STATUS_SUCCESS) {
        console_printf("%s: on_gattc_evt_read_response conn_handle = %d error 0x%04X\n",
                       make_timestamp().c_str(), gattc_evt.conn_handle, gattc_evt.gatt_status);
        flush_output();
        service_discovery_end_for(phone);
        return;
    }

    bool length_refused = false;
    if (take_service_answer(*phone, gattc_evt, length_refused) ||
        take_characteristic_answer(*phone, gattc_evt)) {
        characteristic_metadata_discovery_start();
        return;
    }

    // Not the chain's answer, so possibly the one a waiting request expects.
    gattc_request_answer(gattc_request_kind::read, gattc_evt.conn_handle, gattc_evt.gatt_status);
    console_printf(
        "%s: on_gattc_evt_read_response conn_handle = %d read handle = 0x%04X #bytes = %d offset = "
        "%d was not for any characteristic we are discovering\n",
        make_timestamp().c_str(), gattc_evt.conn_handle, rsp.handle, rsp.len, rsp.offset);
    flush_output();
    if (length_refused) {
        // That answer was the one the chain waited for: with nothing outstanding, waiting
        // on would hold the set-up until the phone disconnects.
        service_discovery_end_for(phone);
    }
}
