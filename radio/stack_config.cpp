// Placeholder: replaced by the real implementation.
#include "radio/stack_config.h"

uint32_t ble_stack_configure(uint8_t) { return 0; }
