// Placeholder: replaced by the real implementation.
#include "link/connection.h"

void on_adv_report(const ble_gap_addr_t&, std::string, int8_t) {}
