// Placeholder: replaced by the real implementation.
#include "gatt/challenge.h"

void challenge_response_all() {}
void send_challenge(const std::string&, phone_record&, uint16_t, uint16_t) {}
bool set_response_notification(const std::string&, phone_record&, uint16_t, bool) { return false; }
