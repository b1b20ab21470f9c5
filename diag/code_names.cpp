// Placeholder: replaced by the real implementation.
#include "diag/code_names.h"

std::string error_code_name(uint32_t) { return "TODO"; }
std::string hci_status_name(uint32_t) { return "TODO"; }
