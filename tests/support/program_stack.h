// Test helpers that stand where the program stands: its stack configuration, and byte
// tables written as hex text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/sd_rpc.h"

namespace testing_support {

// The program's stack configuration (one advertising set, five central links with tag 1,
// ATT MTU 150, event length 6), then sd_ble_enable; the first refusal, or NRF_SUCCESS.
uint32_t enable_program_stack(adapter_t* adapter);

// The bytes of hex text ("0E 04 01 03 0C 00"); a malformed table fails the calling test.
std::vector<uint8_t> hex(const std::string& text);

}  // namespace testing_support
