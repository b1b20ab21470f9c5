// Declaration reads that fetch the 128-bit UUIDs of a phone's services and
// characteristics, and the handler of every read response (discovery and keep-alive).
#pragma once

#include "driver/sd_rpc.h"

void characteristic_metadata_discovery_start();
void on_gattc_evt_read_response(const ble_gattc_evt_t& gattc_evt);
