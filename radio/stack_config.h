#pragma once

#include <cstdint>

// Sets the stack's role counts and the one connection configuration `conn_cfg_tag`.
uint32_t ble_stack_configure(uint8_t conn_cfg_tag);
