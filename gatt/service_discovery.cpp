#include "gatt/service_discovery.h"

#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "gatt/discovery_chain.h"

namespace {

bool is_end_status(uint16_t gatt_status) {
    return gatt_status == BLE_GATT_STATUS_ATTERR_INVALID_HANDLE ||
           gatt_status == BLE_GATT_STATUS_ATTERR_INVALID_PDU ||
           gatt_status == BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND;
}

// Records the services of one response. Returns false if it met a UUID type it cannot
// handle, after reporting it; the services before it stay recorded.
bool record_services(phone_record& phone, const ble_gattc_evt_t& gattc_evt, uint16_t& last_end) {
    const ble_gattc_service_t* services = gattc_evt.params.prim_srvc_disc_rsp.services;
    const uint16_t count = gattc_evt.params.prim_srvc_disc_rsp.count;
    std::lock_guard<std::mutex> guard(phone.services_lock);
    for (uint16_t i = 0; i < count; ++i) {
        const ble_gattc_service_t& found = services[i];
        const uint16_t start = found.handle_range.start_handle;
        const uint16_t end = found.handle_range.end_handle;
        switch (found.uuid.type) {
            case BLE_UUID_TYPE_UNKNOWN: {
                if (log_enabled(3)) {
                    console_printf(
                        "service type 128-bit UUID: handle_range start = 0x%04X end = 0x%04X "
                        "conn_handle = %d\n",
                        start, end, gattc_evt.conn_handle);
                    flush_output();
                }
                gatt_service service;
                service.uuid_type = BLE_UUID_TYPE_UNKNOWN;
                service.start_handle = start;
                service.end_handle = end;
                phone.services.push_back(std::move(service));
                break;
            }
            case BLE_UUID_TYPE_BLE: {
                if (log_enabled(3)) {
                    console_printf(
                        "service type 16-bit, UUID = 0x%04X, handle_range start = 0x%04X end = "
                        "0x%04X conn_handle = %d\n",
                        found.uuid.uuid, start, end, gattc_evt.conn_handle);
                    flush_output();
                }
                gatt_service service;
                service.uuid_type = BLE_UUID_TYPE_BLE;
                service.uuid16 = found.uuid.uuid;
                service.start_handle = start;
                service.end_handle = end;
                phone.services.push_back(std::move(service));
                break;
            }
            case BLE_UUID_TYPE_VENDOR_BEGIN:
                if (log_enabled(1)) {
                    console_printf(
                        "%s: service type 128-bit, octets 12-13 = 0x%04X (not handled by test "
                        "program), handle_range start = 0x%04X end = 0x%04X conn_handle = %d\n",
                        make_timestamp().c_str(), found.uuid.uuid, start, end,
                        gattc_evt.conn_handle);
                    flush_output();
                }
                break;
            default:
                console_printf("%s: Unknown service type discovered: 0x%04X conn_handle = %d\n",
                               make_timestamp().c_str(), found.uuid.type, gattc_evt.conn_handle);
                flush_output();
                return false;
        }
        last_end = end;
    }
    return true;
}

}  // namespace

uint32_t service_discovery_start(uint16_t conn_handle) {
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        if (log_enabled(3)) {
            console_printf("Discovering primary services conn_handle = %d\n", conn_handle);
            flush_output();
        }
        discovery_chain::reset();
        discovery_chain::first_request(discovery_chain::step::services, 0x0001);
        result = sd_ble_gattc_primary_services_discover(test_context.adapter, conn_handle, 0x0001,
                                                        nullptr);
        if (result == NRF_SUCCESS) {
            discovery_chain::request_sent();
            if (log_enabled(3)) {
                console_printf(
                    "sd_ble_gattc_primary_services_discover success for start_handle = 0x%04X\n",
                    1);
                flush_output();
            }
            return NRF_SUCCESS;
        }
        console_printf(
            "%s: Failed to initiate or continue a GATT Primary Service Discovery procedure. Error "
            "%s\n",
            make_timestamp().c_str(), error_code_name(result).c_str());
        flush_output();
    }
    service_discovery_end();
    return result;
}

void on_gattc_evt_prim_srvc_disc_rsp(const ble_gattc_evt_t& gattc_evt) {
    phone_record* phone =
        discovery_chain::phone_for_response(gattc_evt, "primary service discovery response");
    if (phone == nullptr) return;

    if (is_end_status(gattc_evt.gatt_status)) {
        if (log_enabled(3)) {
            console_printf("finished finding services, conn_handle = %d\n", gattc_evt.conn_handle);
            flush_output();
        }
        discovery_chain::services_done(gattc_evt.conn_handle);
        return;
    }
    if (gattc_evt.gatt_status != BLE_GATT_STATUS_SUCCESS) {
        console_printf("%s: Service discovery failed. Error code 0x%X %s error handle 0x%04X\n",
                       make_timestamp().c_str(), gattc_evt.gatt_status, "", gattc_evt.error_handle);
        flush_output();
        service_discovery_end_for(phone);
        return;
    }
    if (gattc_evt.params.prim_srvc_disc_rsp.count == 0) {
        console_printf("%s: Service discovery has zero count\n", make_timestamp().c_str());
        flush_output();
        service_discovery_end_for(phone);
        return;
    }

    uint16_t last_end = 0;
    if (!record_services(*phone, gattc_evt, last_end)) {
        // Nothing is outstanding once the walk stops here, so the set-up is ended rather
        // than left to wait for an answer that cannot come.
        service_discovery_end_for(phone);
        return;
    }

    const uint32_t next_start = static_cast<uint32_t>(last_end) + 1;
    uint32_t previous_start = 0;
    if (!discovery_chain::next_request(discovery_chain::step::services, next_start,
                                       previous_start)) {
        console_printf(
            "%s: Service discovery does not advance past start handle 0x%04X, conn_handle = %d\n",
            make_timestamp().c_str(), previous_start, gattc_evt.conn_handle);
        flush_output();
        service_discovery_end_for(phone);
        return;
    }

    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gattc_primary_services_discover(test_context.adapter, gattc_evt.conn_handle,
                                                        static_cast<uint16_t>(next_start), nullptr);
    }
    if (result == NRF_SUCCESS) {
        discovery_chain::request_sent();
        if (log_enabled(3)) {
            console_printf("sd_ble_gattc_primary_services_discover success for handle 0x%04X\n",
                           next_start);
            flush_output();
        }
        return;
    }
    console_printf("%s: Failed to continue a GATT Primary Service Discovery procedure. Error %s\n",
                   make_timestamp().c_str(), error_code_name(result).c_str());
    flush_output();
    service_discovery_end_for(phone);
}
