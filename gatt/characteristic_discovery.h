// Characteristic discovery, the second step of a phone's set-up, and the handler of
// descriptor discovery responses, which prints them and hands them to the set-up's search
// for a CCCD (gatt/cccd_search.h).
#pragma once

#include <cstdint>

#include "driver/sd_rpc.h"

uint32_t characteristics_discovery_start(uint16_t conn_handle);
void on_gattc_evt_char_disc_rsp(const ble_gattc_evt_t& gattc_evt);
void on_gattc_evt_desc_disc_rsp(const ble_gattc_evt_t& gattc_evt);
