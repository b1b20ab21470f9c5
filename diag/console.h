// The one output operation and the timestamp that opens most lines.
#pragma once

#include <string>

#if defined(__GNUC__) || defined(__clang__)
#define ORVETTE_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define ORVETTE_PRINTF_FORMAT(format_index, first_arg)
#endif

// printf to standard output; adds nothing. The caller tests the log level.
int console_printf(const char* format, ...) ORVETTE_PRINTF_FORMAT(1, 2);

// console_printf, then a flush of standard output, so that the line shows at once.
int console_printf_flush(const char* format, ...) ORVETTE_PRINTF_FORMAT(1, 2);

// Flushes standard output, so that what was printed shows on the console at once.
void flush_output();

// The calling thread's identifier as the "Thread %d" of a line shows it.
int thread_id();

// Current local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string make_timestamp();

// The same text for a given system time, in 100-nanosecond ticks since 1970-01-01 UTC.
std::string format_timestamp(long long ticks_100ns);
