// Scanning: a full start with parameters, and a resume with a full start as fallback.
#pragma once

#include <cstdint>

#include "driver/sd_rpc.h"

uint32_t scan_start();
uint32_t scan_restart();

// The buffer the driver fills with each report's data; valid until the next resume.
extern uint8_t scan_buffer[100];
