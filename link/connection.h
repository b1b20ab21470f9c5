#pragma once

#include <cstdint>
#include <string>

#include "driver/sd_rpc.h"

// Matches an advertisement to a monitored phone and, when free, connects to it. A report
// that is not connectable (a beacon, or a spoofer with a phone's UUID) is recorded and
// counted but never connected to: the attempt could only end at its time limit.
void on_adv_report(const ble_gap_addr_t& peer_addr, const std::string& uuid, int8_t rssi,
                   bool connectable = true);

// For the shutdown, once quit_requested is set: ends a connection attempt that waits for
// its outcome, and waits (limited) until it has withdrawn its request, so that the driver
// is closed only after it.
void end_connection_attempt_for_quit();
