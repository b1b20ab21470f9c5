#include "gatt/characteristic_discovery.h"

#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "gatt/discovery_chain.h"

namespace {

constexpr uint16_t cccd_uuid = 0x2902;

// Files one discovered characteristic under every recorded service whose range holds
// both its handles. Returns false if none does.
bool file_characteristic(phone_record& phone, const ble_gattc_char_t& found, uint16_t conn_handle) {
    const uint16_t decl = found.handle_decl;
    const uint16_t value = found.handle_value;
    bool filed = false;
    std::lock_guard<std::mutex> guard(phone.services_lock);
    for (gatt_service& service : phone.services) {
        const bool holds = service.start_handle <= decl && decl <= service.end_handle &&
                           service.start_handle <= value && value <= service.end_handle;
        if (!holds) continue;
        if (log_enabled(3)) {
            console_printf(
                "Service 0x%04X Characteristic desc 0x%04X, value 0x%04X UUID type %d, short UUID: "
                "0x%04X, conn_handle = %d\n",
                service.start_handle, decl, value, found.uuid.type, found.uuid.uuid, conn_handle);
            flush_output();
        }
        gatt_characteristic characteristic;
        characteristic.decl_handle = decl;
        characteristic.value_handle = value;
        service.characteristics.push_back(std::move(characteristic));
        filed = true;
    }
    return filed;
}

void print_descriptors(const ble_gattc_evt_t& gattc_evt) {
    if (gattc_evt.gatt_status != BLE_GATT_STATUS_SUCCESS) {
        console_printf("%s: Descriptor discovery failed. Error code 0x%X\n",
                       make_timestamp().c_str(), gattc_evt.gatt_status);
        flush_output();
        return;
    }
    const uint16_t count = gattc_evt.params.desc_disc_rsp.count;
    console_printf("%s: Received descriptor discovery response, descriptor count: %d\n",
                   make_timestamp().c_str(), count);
    flush_output();
    const ble_gattc_desc_t* descs = gattc_evt.params.desc_disc_rsp.descs;
    for (uint16_t i = 0; i < count; ++i) {
        console_printf("Descriptor handle: 0x%04X, UUID: 0x%04X\n", descs[i].handle,
                       descs[i].uuid.uuid);
        flush_output();
        if (descs[i].uuid.uuid == cccd_uuid) {
            console_printf("Press enter to toggle notifications on the HRM characteristic\n");
            flush_output();
        }
    }
}

}  // namespace

uint32_t characteristics_discovery_start(uint16_t conn_handle) {
    phone_record* phone = test_context.phone_in_setup.load();
    bool have_service = false;
    uint16_t start_handle = 0;
    if (phone != nullptr) {
        std::lock_guard<std::mutex> guard(phone->services_lock);
        if (!phone->services.empty()) {
            have_service = true;
            start_handle = phone->services.front().start_handle;
        }
    }

    uint32_t result = NRF_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        if (log_enabled(3)) {
            console_printf("Discovering characteristics conn_handle = %d\n", conn_handle);
            flush_output();
        }
        if (!have_service) {
            // No recorded service, so no range to search and no characteristic could be
            // filed anywhere: the set-up ends here instead of waiting for nothing.
            console_printf(
                "%s: no service recorded to discover characteristics in, conn_handle = %d\n",
                make_timestamp().c_str(), conn_handle);
            flush_output();
        } else {
            discovery_chain::first_request(discovery_chain::step::characteristics, start_handle);
            const ble_gattc_handle_range_t range{start_handle, 0xFFFF};
            result =
                sd_ble_gattc_characteristics_discover(test_context.adapter, conn_handle, &range);
            if (result == NRF_SUCCESS) {
                discovery_chain::request_sent();
                if (log_enabled(3)) {
                    console_printf(
                        "sd_ble_gattc_characteristics_discover success for start_handle 0x%04X\n",
                        start_handle);
                    flush_output();
                }
                return NRF_SUCCESS;
            }
            console_printf(
                "%s: sd_ble_gattc_characteristics_discover error %s, conn_handle = %d start_handle "
                "= %d\n",
                make_timestamp().c_str(), error_code_name(result).c_str(), conn_handle,
                start_handle);
            flush_output();
        }
    }
    // Nothing is outstanding now; ending keeps the set-up from blocking every other phone.
    service_discovery_end_for(phone);
    return result;
}

void on_gattc_evt_char_disc_rsp(const ble_gattc_evt_t& gattc_evt) {
    phone_record* phone =
        discovery_chain::phone_for_response(gattc_evt, "characteristic discovery response");
    if (phone == nullptr) return;

    const uint16_t conn_handle = gattc_evt.conn_handle;
    if (gattc_evt.gatt_status == BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND) {
        if (log_enabled(3)) {
            console_printf("Characteristic discovery done conn_handle = %d\n", conn_handle);
            flush_output();
        }
        discovery_chain::characteristics_done();
        return;
    }
    if (gattc_evt.gatt_status != BLE_GATT_STATUS_SUCCESS) {
        console_printf("%s: Characteristic discovery failed. Error code 0x%X, conn_handle = %d\n",
                       make_timestamp().c_str(), gattc_evt.gatt_status, conn_handle);
        flush_output();
        discovery_chain::characteristics_done();
        return;
    }
    const uint16_t count = gattc_evt.params.char_disc_rsp.count;
    if (count == 0) {
        console_printf(
            "%s: Characteristic discovery has 0 characteristics (unexpected!), conn_handle = %d\n",
            make_timestamp().c_str(), conn_handle);
        flush_output();
        discovery_chain::characteristics_done();
        return;
    }

    const ble_gattc_char_t* chars = gattc_evt.params.char_disc_rsp.chars;
    for (uint16_t i = 0; i < count; ++i) {
        const ble_gattc_char_t& found = chars[i];
        if (!file_characteristic(*phone, found, conn_handle)) {
            console_printf(
                "%s: UNFOUND Characteristic desc handle 0x%04X, value handle 0x%04X UUID type %d, "
                "short UUID: 0x%04X, conn_handle = %d\n",
                make_timestamp().c_str(), found.handle_decl, found.handle_value, found.uuid.type,
                found.uuid.uuid, conn_handle);
            flush_output();
        }
    }

    const uint32_t next = static_cast<uint32_t>(chars[count - 1].handle_decl) + 1;
    uint32_t previous_start = 0;
    if (!discovery_chain::next_request(discovery_chain::step::characteristics, next,
                                       previous_start)) {
        // A peer that repeats or goes backwards would be asked again forever; what has
        // been recorded gets its UUID reads, as after any other faulty answer.
        console_printf(
            "%s: Characteristic discovery does not advance past start handle 0x%04X, conn_handle = "
            "%d\n",
            make_timestamp().c_str(), previous_start, conn_handle);
        flush_output();
        discovery_chain::characteristics_done();
        return;
    }

    const uint16_t next_start = static_cast<uint16_t>(next);
    const ble_gattc_handle_range_t range{next_start, 0xFFFF};
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gattc_characteristics_discover(test_context.adapter, conn_handle, &range);
    }
    if (result == NRF_SUCCESS) {
        discovery_chain::request_sent();
        if (log_enabled(3)) {
            console_printf(
                "sd_ble_gattc_characteristics_discover success for start_handle 0x%04X\n",
                next_start);
            flush_output();
        }
        return;
    }
    console_printf(
        "%s: sd_ble_gattc_characteristics_discover error %s, conn_handle = %d for start_handle = "
        "%d\n",
        make_timestamp().c_str(), error_code_name(result).c_str(), conn_handle, next_start);
    flush_output();
    service_discovery_end_for(phone);
}

void on_gattc_evt_desc_disc_rsp(const ble_gattc_evt_t& gattc_evt) {
    print_descriptors(gattc_evt);
    // Printed first, so that the search's own lines follow what the phone said.
    discovery_chain::descriptors_answered(gattc_evt);
}
