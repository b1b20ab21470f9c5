// The challenge/response exchange with every connected phone: notification of 'response'
// on, the challenge written to 'challenge', three seconds for the answer, notification off.
#pragma once

#include <cstdint>
#include <string>

#include "link/phone_registry.h"

void challenge_response_all();
void send_challenge(const std::string& uuid, phone_record& phone, uint16_t challenge_handle,
                    uint16_t response_handle);
// Switches notification of 'response' on or off; true if a write response confirmed it.
bool set_response_notification(const std::string& uuid, phone_record& phone,
                               uint16_t response_handle, bool on);

constexpr uint32_t challenge_answer_time_ms = 3000;
constexpr uint16_t challenge_length = 19;
