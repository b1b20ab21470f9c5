#include "diag/driver_callbacks.h"

#include <cstdio>

#include "diag/console.h"

// Both run on the driver's own threads, possibly while another thread holds driver_lock
// inside a driver call: they must only print, never take a lock or touch shared state.

namespace {

// The driver owns the text; a null one must not reach "%s".
const char* text_or_empty(const char* message) {
    return message != nullptr ? message : "";
}

}  // namespace

void on_status(adapter_t*, sd_rpc_app_status_t code, const char* message) {
    console_printf("%s: Status: %d, message: %s\n", make_timestamp().c_str(),
                   static_cast<int>(code), text_or_empty(message));
    std::fflush(stdout);
}

void on_log(adapter_t*, sd_rpc_log_severity_t severity, const char* message) {
    const char* label = "Log";  // trace, debug and anything out of range
    switch (severity) {
        case SD_RPC_LOG_INFO:
            label = "Info";
            break;
        case SD_RPC_LOG_WARNING:
            label = "Warning";
            break;
        case SD_RPC_LOG_ERROR:
            label = "Error";
            break;
        case SD_RPC_LOG_FATAL:
            label = "Fatal";
            break;
        default:
            break;
    }
    console_printf("%s: %s: %s\n", make_timestamp().c_str(), label, text_or_empty(message));
    std::fflush(stdout);
}
