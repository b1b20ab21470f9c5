// The one output operation and the timestamp that opens most lines.
#pragma once

#include <string>

// printf to standard output; adds nothing. The caller tests the log level.
int console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Current local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string make_timestamp();

// The same text for a given system time, in 100-nanosecond ticks since 1970-01-01 UTC.
std::string format_timestamp(long long ticks_100ns);
