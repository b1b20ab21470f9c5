// Beacon advertising: iBeacon-layout data that changes every cycle.
#pragma once

#include <cstdint>

uint32_t advertising_data_set();
uint32_t advertising_start();
uint32_t advertising_stop();
// Thread body; its argument is the manual-reset stop event (platform::event_handle).
void AdvertisingThread(void* stop_event);
