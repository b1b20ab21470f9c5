// Placeholder: replaced by the real implementation.
#include "link/disconnection.h"

void disconnect_phone(uint16_t) {}
void disconnect_all() {}
void disconnect_followup(uint8_t, uint16_t) {}
