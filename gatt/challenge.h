// The challenge/response exchange with every connected phone: notification of 'response'
// on, the challenge written to 'challenge', three seconds for the answer, notification off.
#pragma once

#include <cstdint>
#include <string>

#include "link/phone_registry.h"

// The characteristics' UUIDs, compared with discovered ones ignoring case.
extern const char* const challenge_characteristic_uuid;
extern const char* const response_characteristic_uuid;

void challenge_response_all();
// `cccd_handle` is where the set-up found the 'response' CCCD, 0 for right after the value.
void send_challenge(const std::string& uuid, phone_record& phone, uint16_t challenge_handle,
                    uint16_t response_handle, uint16_t cccd_handle = 0);
// Switches notification of 'response' on or off; true if a write response confirmed it.
bool set_response_notification(const std::string& uuid, phone_record& phone,
                               uint16_t response_handle, bool on, uint16_t cccd_handle = 0);

constexpr uint32_t challenge_answer_time_ms = 3000;
constexpr uint16_t challenge_length = 19;
