// Primary service discovery: the first step of a connected phone's set-up, and the end
// step that frees the system for the next phone.
#pragma once

#include <cstdint>

#include "driver/sd_rpc.h"
#include "link/phone_registry.h"

uint32_t service_discovery_start(uint16_t conn_handle);
void on_gattc_evt_prim_srvc_disc_rsp(const ble_gattc_evt_t& gattc_evt);
// Ends the set-up of whatever phone is in setup (or none), whatever the outcome.
uint32_t service_discovery_end();
// Ends the set-up only while `phone` is still the phone in setup. The chain's handlers
// use it: when a disconnection has already ended their set-up and another phone's has
// begun, a late end must not cut the new one short. Returns NRF_SUCCESS when it does
// nothing.
uint32_t service_discovery_end_for(phone_record* phone);
