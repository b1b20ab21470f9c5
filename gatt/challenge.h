#pragma once

#include <cstdint>
#include <string>

#include "link/phone_registry.h"

void challenge_response_all();
void send_challenge(const std::string& uuid, phone_record& phone, uint16_t challenge_handle,
                    uint16_t response_handle);
bool set_response_notification(const std::string& uuid, phone_record& phone,
                               uint16_t response_handle, bool on);
