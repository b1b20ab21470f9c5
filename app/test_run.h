// The body of the run thread: start-up, console keys, shutdown.
#pragma once

#include <cstdint>

#include "app/run_config.h"

uint32_t test_run(const run_config& config);
