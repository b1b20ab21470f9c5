// Placeholder: replaced by the real implementation.
#include "gatt/keepalive.h"

bool keepalive_read_all() { return false; }
void KeepAliveThread(void*) {}
