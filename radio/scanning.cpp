// Placeholder: replaced by the real implementation.
#include "radio/scanning.h"

uint8_t scan_buffer[100];
uint32_t scan_start() { return 0; }
uint32_t scan_restart() { return 0; }
