// The last step of a phone's set-up: where the 'response' characteristic's Client
// Characteristic Configuration descriptor (CCCD) is. The usual layout puts it right after
// the value, and the challenge writes its notification switch there. When more than that
// one handle lies between the value and the end of the characteristic (the next
// declaration, or the end of the service), another descriptor may come first, such as a
// User Description: the set-up then asks the phone for the descriptors of that range and
// notes where the CCCD is, or that there is none, on the characteristic's record. A switch
// written to the wrong attribute would be refused, or change something else, and the
// challenge would go out to a phone that was never told to answer.
#pragma once

#include "driver/sd_rpc.h"

// Forgets any search, as a new set-up begins.
void cccd_search_forget();
// Searches on the phone in setup when its 'response' characteristic calls for it; ends the
// set-up otherwise, and once the search is over.
void cccd_search_start();
// A descriptor discovery response: taken when it answers the search under way (on the
// link of the phone in setup), ignored otherwise.
void cccd_search_answer(const ble_gattc_evt_t& gattc_evt);
