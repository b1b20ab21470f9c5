// Placeholder: replaced by the real implementation.
#include "diag/driver_callbacks.h"

void on_status(adapter_t*, sd_rpc_app_status_t, const char*) {}
void on_log(adapter_t*, sd_rpc_log_severity_t, const char*) {}
