// Beacon advertising: beacon-layout data that changes every cycle.
#pragma once

#include <cstdint>

uint32_t advertising_data_set();
uint32_t advertising_start();
uint32_t advertising_stop();
// Thread body; its argument is the manual-reset stop event (platform::event_handle).
void AdvertisingThread(void* stop_event);

constexpr uint32_t advertising_period_ms = 3000;
constexpr uint16_t beacon_data_length = 30;

// The beacon's state, used only by AdvertisingThread (and by the run thread once that
// thread has ended). The set handle is the stack's once the first configure succeeds.
extern uint8_t adv_handle;        // starts at BLE_GAP_ADV_SET_HANDLE_NOT_SET
extern uint8_t beacon_uuid_byte;  // raised before each build: the first beacon carries 0xDF
extern int32_t beacon_major;      // 1 to 20
extern int32_t beacon_minor;      // 1 to 20
