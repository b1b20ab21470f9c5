// The body of the run thread: start-up, console keys, shutdown.
#pragma once

#include <cstdint>
#include <functional>

#include "app/run_config.h"
#include "platform/platform.h"

uint32_t test_run(const run_config& config);

// Where the console loop reads its keys: one character per call, EOF at the end of input.
// getchar by default; tests hand in a scripted source. Set it before test_run starts.
using console_key_source = std::function<int()>;
void set_console_key_source(console_key_source source);

// How the start-up starts its two periodic threads: platform::start_thread by default;
// tests hand in one that fails, to see the start-up stop what it had started.
using thread_starter = std::function<platform::thread_handle(platform::thread_entry, void*)>;
void set_thread_starter(thread_starter starter);
