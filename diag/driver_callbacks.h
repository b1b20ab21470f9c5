// The driver's status and log callbacks: they only print.
#pragma once

#include "driver/sd_rpc.h"

void on_status(adapter_t* adapter, sd_rpc_app_status_t code, const char* message);
void on_log(adapter_t* adapter, sd_rpc_log_severity_t severity, const char* message);
