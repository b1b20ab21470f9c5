// Console output alone: lines written through console_printf with a flush after each, as
// the event handler flushes after every event, to wherever standard output goes (a file or
// a pipe: the caller decides). The figure goes to standard error.
//
//   console_output_bench [LINES] > file
//   console_output_bench [LINES] | cat > /dev/null
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "diag/console.h"

int main(int argc, char** argv) {
    const long lines = argc > 1 ? std::max(2L, std::atol(argv[1])) : 400000L;
    const auto start = std::chrono::steady_clock::now();
    // Two lines of what level 7 prints for every report of an advertising storm and every
    // keep-alive answer: one with a timestamp, one without.
    for (long i = 0; i < lines; i += 2) {
        console_printf(
            "%s: keepalive conn_handle = %d characteristic handle 0x%04X #bytes = %d value %c\n",
            make_timestamp().c_str(), 0, 0x000C, 1, '1');
        std::fflush(stdout);
        console_printf("Scan re-start succeeded\n");
        std::fflush(stdout);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "%ld lines in %.3f s = %.0f lines/s\n", lines, seconds, lines / seconds);
    return 0;
}
