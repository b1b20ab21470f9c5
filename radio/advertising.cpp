#include "radio/advertising.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"

uint8_t adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
uint8_t beacon_uuid_byte = 222;
int32_t beacon_major = 1;
int32_t beacon_minor = 1;

namespace {

constexpr int32_t beacon_number_max = 20;
constexpr uint32_t beacon_interval = 160;  // 100 ms in units of 0.625 ms

// Handed to the stack by pointer, so it must outlive each configure; a build only happens
// while the set is stopped.
uint8_t beacon_data[beacon_data_length];
ble_gap_adv_params_t beacon_adv_params;
ble_gap_adv_data_t beacon_adv_data;

void build_beacon_data() {
    static const uint8_t head[9] = {0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
    std::memcpy(beacon_data, head, sizeof head);

    beacon_uuid_byte = static_cast<uint8_t>(beacon_uuid_byte + 1);
    std::memset(beacon_data + 9, beacon_uuid_byte, 16);

    // Walks (2,1), (2,2), (3,2) ... (20,20), then back to (1,1): 39 builds per round.
    if (beacon_major <= beacon_minor) {
        ++beacon_major;
    } else {
        ++beacon_minor;
    }
    if (beacon_major > beacon_number_max || beacon_minor > beacon_number_max) {
        beacon_major = 1;
        beacon_minor = 1;
    }
    beacon_data[25] = 0x00;
    beacon_data[26] = static_cast<uint8_t>(beacon_major);
    beacon_data[27] = 0x00;
    beacon_data[28] = static_cast<uint8_t>(beacon_minor);
    beacon_data[29] = 0xC0;  // -64 dBm expected at 1 m

    std::memset(&beacon_adv_params, 0, sizeof beacon_adv_params);
    beacon_adv_params.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
    beacon_adv_params.p_peer_addr = nullptr;
    beacon_adv_params.interval = beacon_interval;
    beacon_adv_params.duration = 0;
    beacon_adv_params.max_adv_evts = 0;
    beacon_adv_params.filter_policy = BLE_GAP_ADV_FP_ANY;
    beacon_adv_params.primary_phy = BLE_GAP_PHY_AUTO;

    std::memset(&beacon_adv_data, 0, sizeof beacon_adv_data);
    beacon_adv_data.adv_data.p_data = beacon_data;
    beacon_adv_data.adv_data.len = beacon_data_length;
    beacon_adv_data.scan_rsp_data.p_data = nullptr;
    beacon_adv_data.scan_rsp_data.len = 0;
}

void report_unexpected_stop(uint32_t result) {
    console_printf("%s: sd_ble_gap_adv_stop got unexpected error %s\n", make_timestamp().c_str(),
                   error_code_name(result).c_str());
}

uint32_t stop_set() {
    std::lock_guard<std::mutex> guard(test_context.driver_lock);
    return sd_ble_gap_adv_stop(test_context.adapter, adv_handle);
}

}  // namespace

uint32_t advertising_data_set() {
    build_beacon_data();
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gap_adv_set_configure(test_context.adapter, &adv_handle, &beacon_adv_data,
                                              &beacon_adv_params);
    }
    if (beacon_data[0] != 0x02 || beacon_data[1] != 0x01 || beacon_data[2] != 0x06 ||
        beacon_data[3] != 0x1A) {
        console_printf(
            "%s: advertising data buffer has been corrupted. Initial bytes should be 02 01 06 1A "
            "but are %02x %02x %02x %02x\n",
            "after sd_ble_gap_adv_set_configure", beacon_data[0], beacon_data[1], beacon_data[2],
            beacon_data[3]);
    }
    if (result != NRF_SUCCESS) {
        console_printf("%s: Failed to set advertisement data. Error %s\n", make_timestamp().c_str(),
                       error_code_name(result).c_str());
        std::fflush(stdout);
        return result;
    }
    if (log_enabled(5)) console_printf("Advertising data set successfully\n");
    std::fflush(stdout);
    return NRF_SUCCESS;
}

uint32_t advertising_start() {
    const uint32_t stopped = stop_set();
    if (stopped != NRF_SUCCESS && stopped != NRF_ERROR_INVALID_STATE) {
        report_unexpected_stop(stopped);
        std::fflush(stdout);
    }
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gap_adv_start(test_context.adapter, adv_handle, test_context.conn_cfg_tag);
    }
    if (result != NRF_SUCCESS) {
        console_printf("%s: Failed to start advertising. Error %s\n", make_timestamp().c_str(),
                       error_code_name(result).c_str());
        std::fflush(stdout);
        return result;
    }
    if (log_enabled(5)) console_printf("Started advertising\n");
    std::fflush(stdout);
    return NRF_SUCCESS;
}

uint32_t advertising_stop() {
    const uint32_t result = stop_set();
    if (result == NRF_SUCCESS) {
        if (log_enabled(5)) console_printf("Stopped advertising\n");
    } else if (result != NRF_ERROR_INVALID_STATE) {
        report_unexpected_stop(result);
    }
    std::fflush(stdout);
    return 0;
}

void AdvertisingThread(void* stop_event) {
    auto stop = static_cast<platform::event_handle>(stop_event);
    bool first_cycle = true;
    for (;;) {
        if (platform::wait_for_event(stop, advertising_period_ms) != platform::wait_timeout) {
            console_printf("AdvertisingThread exiting\n");
            std::fflush(stdout);
            return;
        }
        if (test_context.silent) {
            console_printf("Option specified to not beacon, exiting the thread\n");
            std::fflush(stdout);
            return;
        }
        if (!first_cycle) advertising_stop();
        // Results are only reported: a refused configure leaves the last accepted data on
        // the air, and a refused start waits for the next cycle.
        advertising_data_set();
        advertising_start();
        first_cycle = false;
    }
}
