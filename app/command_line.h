// Command line of the program.
#pragma once

#include "app/run_config.h"
#include "platform/platform.h"

// Parses argv, printing messages as it goes. On success fills `config`, writes the run
// flags into test_context and returns true; on an error returns false with the exit code
// (1) in `exit_code`.
bool parse_command_line(int argc, const char* const* argv, run_config& config, int& exit_code);

// The whole program: parse, start the run thread, wait for it, return the exit code.
int orvette_main(int argc, const char* const* argv);

// As above, starting the run thread through `start` (tests use it to make the start fail).
using run_thread_starter = platform::thread_handle (*)(platform::thread_entry entry,
                                                       void* argument);
int orvette_main(int argc, const char* const* argv, run_thread_starter start);
