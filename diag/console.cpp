#include "diag/console.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"

int console_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // One vprintf per message: the C library locks stdout for the call, so a message is
    // never torn by another thread's output.
    const int written = std::vprintf(format, args);
    va_end(args);
    return written;
}

int console_printf_flush(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    return written;
}

void flush_output() {
    std::fflush(stdout);
}

int thread_id() {
    return static_cast<int>(platform::current_thread_id());
}

std::string make_timestamp() {
    using namespace std::chrono;
    // 100-nanosecond ticks since 1970, as the Windows system time gives them.
    const long long ticks = duration_cast<duration<long long, std::ratio<1, 10000000>>>(
                                system_clock::now().time_since_epoch())
                                .count();
    return format_timestamp(ticks);
}

std::string format_timestamp(long long ticks_100ns) {
    const std::time_t seconds = static_cast<std::time_t>(ticks_100ns / 10000000);
    const long long milliseconds = ticks_100ns / 10000 - static_cast<long long>(seconds) * 1000;

    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03lld", milliseconds);
    return text;
}
