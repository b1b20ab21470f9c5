// Placeholder: replaced by the real implementation.
#include "app/command_line.h"

bool parse_command_line(int, const char* const*, run_config&, int& exit_code) { exit_code = 1; return false; }
int orvette_main(int, const char* const*) { return 1; }
