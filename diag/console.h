// The one output operation and the timestamp that opens most lines.
#pragma once

#include <string>

// printf to standard output; adds nothing. The caller tests the log level.
int console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Current local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string make_timestamp();
