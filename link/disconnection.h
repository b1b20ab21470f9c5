#pragma once

#include <cstdint>

// Asks the stack to end the link and says how that went; true when the request was taken.
// Does not wait for the disconnection.
bool request_disconnection(uint16_t conn_handle);
// The same, then waits (limited) for the disconnection.
void disconnect_phone(uint16_t conn_handle);
void disconnect_all();
void disconnect_followup(uint8_t reason, uint16_t conn_handle);
