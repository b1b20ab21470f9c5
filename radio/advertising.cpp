// Placeholder: replaced by the real implementation.
#include "radio/advertising.h"

uint32_t advertising_data_set() { return 0; }
uint32_t advertising_start() { return 0; }
uint32_t advertising_stop() { return 0; }
void AdvertisingThread(void*) {}
