#include "link/phone_registry.h"

#include <cstdio>

#include "app/test_context.h"
#include "diag/console.h"

void device_set::insert(const std::string& uuid) {
    std::lock_guard<std::mutex> guard(lock);
    uuids.insert(uuid);
}

std::vector<std::string> device_set::snapshot() const {
    std::lock_guard<std::mutex> guard(lock);
    return std::vector<std::string>(uuids.begin(), uuids.end());
}

void show_phone_status() {
    for (const auto& entry : test_context.phone_registry) {
        const phone_record& phone = *entry.second;
        // One load: the event thread may free the phone while this line is built.
        const uint16_t conn_handle = phone.conn_handle.load();
        if (conn_handle == BLE_CONN_HANDLE_INVALID) {
            console_printf("%s: %s not connected\n", make_timestamp().c_str(), phone.uuid.c_str());
        } else {
            console_printf("%s: %s connection %d #RSSI events = %d last RSSI = %d\n",
                           make_timestamp().c_str(), phone.uuid.c_str(), conn_handle,
                           phone.rssi_event_count.load(), phone.last_rssi.load());
        }
        std::fflush(stdout);
    }
}

void show_all_devices() {
    // A copy, so that the work thread is not held up by the printing.
    const std::vector<std::string> devices = test_context.all_devices.snapshot();
    console_printf("%s: all devices: ", make_timestamp().c_str());
    for (const auto& uuid : devices) console_printf("%s ", uuid.c_str());
    console_printf("\n");
    std::fflush(stdout);
}
