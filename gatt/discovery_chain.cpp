#include "gatt/discovery_chain.h"

#include "app/test_context.h"
#include "diag/console.h"
#include "gatt/gatt_text.h"

namespace discovery_chain {

std::atomic<uint32_t> service_request_start{1};
std::atomic<uint32_t> characteristic_request_start{1};

phone_record* phone_for_response(const ble_gattc_evt_t& gattc_evt, const char* response_name) {
    phone_record* phone = test_context.phone_in_setup.load();
    if (phone == nullptr) {
        console_printf("%s: WARNING: %s for conn_handle = %d ignored, no phone is being set up\n",
                       make_timestamp().c_str(), response_name, gattc_evt.conn_handle);
        flush_output();
        return nullptr;
    }
    const uint16_t setup_handle = phone->conn_handle.load();
    if (gattc_evt.conn_handle != setup_handle) {
        console_printf(
            "%s: WARNING: %s for conn_handle = %d ignored, the phone being set up has conn_handle "
            "= %d\n",
            make_timestamp().c_str(), response_name, gattc_evt.conn_handle, setup_handle);
        flush_output();
        return nullptr;
    }
    return phone;
}

}  // namespace discovery_chain
