#pragma once

#include <cstdint>
#include <string>

#include "driver/sd_rpc.h"

// Matches an advertisement to a monitored phone and, when free, connects to it.
void on_adv_report(const ble_gap_addr_t& peer_addr, std::string uuid, int8_t rssi);
