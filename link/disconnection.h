#pragma once

#include <cstdint>

void disconnect_phone(uint16_t conn_handle);
void disconnect_all();
void disconnect_followup(uint8_t reason, uint16_t conn_handle);
