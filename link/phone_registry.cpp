// Placeholder: replaced by the real implementation.
#include "link/phone_registry.h"

void device_set::insert(const std::string&) {}
std::vector<std::string> device_set::snapshot() const { return {}; }
void show_phone_status() {}
void show_all_devices() {}
