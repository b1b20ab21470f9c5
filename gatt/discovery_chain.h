// What the set-up chain keeps between one response and the next, beside the records of
// the phone itself. Only the chain's own functions use it.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/sd_rpc.h"
#include "link/phone_registry.h"

namespace discovery_chain {

// Start handles of the last primary service and characteristic requests, kept as
// integers that do not wrap: a request made after handle 0xFFFF counts as 0x10000. A
// continuation must start above its predecessor, or a peer that repeats itself (or goes
// backwards) would keep the set-up, and with it every other phone, waiting forever.
extern std::atomic<uint32_t> service_request_start;
extern std::atomic<uint32_t> characteristic_request_start;

// The phone in setup when `gattc_evt` answers its chain. A response with no set-up under
// way (a late event of a link that has just gone) or from another connection is not an
// answer to the chain: it is reported and null is returned.
phone_record* phone_for_response(const ble_gattc_evt_t& gattc_evt, const char* response_name);

}  // namespace discovery_chain
