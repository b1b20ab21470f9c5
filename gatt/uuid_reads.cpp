// Placeholder: replaced by the real implementation.
#include "gatt/uuid_reads.h"

void characteristic_metadata_discovery_start() {}
void on_gattc_evt_read_response(const ble_gattc_evt_t&) {}
