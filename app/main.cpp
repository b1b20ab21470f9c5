#include "app/backends.h"
#include "app/command_line.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    // Not in orvette_main: tests that run it capture standard output, and expect what was
    // flushed to be in the file when the flush returns.
    platform::write_console_output_in_background();
    register_backends();
    return orvette_main(argc, argv);
}
