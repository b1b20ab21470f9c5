// The set-up of one phone: the chain of single requests that learns its database, and
// the one end that every way out of it goes through.
//
// The phone being set up is test_context.phone_in_setup; what the chain keeps between one
// response and the next is one record here. The steps (service discovery, characteristic
// discovery, UUID reads) each depend on this file and on none of the others: a step that
// is done hands on through it, and every outcome ends here.
#pragma once

#include <cstdint>

#include "driver/sd_rpc.h"
#include "link/phone_registry.h"

namespace discovery_chain {

enum class step { services, characteristics, descriptors };

// Starts the record afresh for a new set-up.
void reset();

// Notes the start handle of a step's first request.
void first_request(step which, uint16_t start_handle);
// Notes the start handle of a continuation. Start handles are kept as integers that do not
// wrap: a request made after handle 0xFFFF counts as 0x10000. A continuation must start
// above its predecessor, or a peer that repeats itself (or goes backwards) would keep the
// set-up, and with it every other phone, waiting forever: then false is returned with the
// predecessor's start in `previous`, and nothing is noted.
bool next_request(step which, uint32_t start_handle, uint32_t& previous);
// Notes that a request of the chain has gone out: its answer is due within the limit.
void request_sent();

// The phone in setup when `gattc_evt` answers its chain. A response with no set-up under
// way (a late event of a link that has just gone) or from another connection is not an
// answer to the chain: it is reported and null is returned.
phone_record* phone_for_response(const ble_gattc_evt_t& gattc_evt, const char* response_name);

// Hand-overs between the steps.
void services_done(uint16_t conn_handle);
void characteristics_done();
// The UUID reads are done: the search for the 'response' CCCD, which ends the set-up.
void uuid_reads_done();
// A descriptor discovery response, for the search if it is the search's answer.
void descriptors_answered(const ble_gattc_evt_t& gattc_evt);

// For the keep-alive thread's watch: a set-up whose last request has had no answer for the
// whole limit (a request lost without even a GATT time-out) would hold every other phone
// back for good. It is ended with a line, and the handle of its phone's link is returned
// so that the caller hangs it up and the phone can be set up afresh; otherwise the invalid
// handle is returned.
uint16_t end_if_unanswered();

}  // namespace discovery_chain

// Ends the set-up of whatever phone is in setup (or none), whatever the outcome: starts
// RSSI reporting on a phone that is still connected, frees the system for the next phone
// and starts scanning again.
uint32_t service_discovery_end();
// Ends the set-up only while `phone` is still the phone in setup. The chain's handlers
// use it: when a disconnection has already ended their set-up and another phone's has
// begun, a late end must not cut the new one short. Returns NRF_SUCCESS when it does
// nothing.
uint32_t service_discovery_end_for(phone_record* phone);
