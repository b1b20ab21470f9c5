// The body of the run thread: start-up, console keys, shutdown.
#pragma once

#include <cstdint>
#include <functional>

#include "app/run_config.h"

uint32_t test_run(const run_config& config);

// Where the console loop reads its keys: one character per call, EOF at the end of input.
// getchar by default; tests hand in a scripted source. Set it before test_run starts.
using console_key_source = std::function<int()>;
void set_console_key_source(console_key_source source);
