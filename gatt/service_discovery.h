// Primary service discovery: the first step of a connected phone's set-up.
#pragma once

#include <cstdint>

#include "driver/sd_rpc.h"

uint32_t service_discovery_start(uint16_t conn_handle);
void on_gattc_evt_prim_srvc_disc_rsp(const ble_gattc_evt_t& gattc_evt);
