#include "app/command_line.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/test_context.h"
#include "app/test_run.h"
#include "app/uuid_check.h"
#include "diag/console.h"

namespace {

constexpr size_t uuid_text_length = 32;

void print_usage() {
    console_printf(
        "Usage: Orvette.exe <-cCOMport> <-u<uuid-no-dashes>>* [-s] [-x] [-v[0-2]] "
        "[-i<interval>] [-w<window>\n");
    console_printf(
        "\tExample: Orvette.exe -cCOM10 -ua0a489971097bba1b343eddd8f50f6ac "
        "-ufeedfeadfeadfeadfeadfeadfeadfead -v1\n");
    console_printf(
        "\tThe test program will always beacon (emit advertisements) unless the -s (silent) "
        "option is specified.\n");
    console_printf(
        "\tThe program will keep running after encountering serious errors unless the -x "
        "(exit) option is specified\n");
    console_printf("\tThe test program will always scan for advertisements.\n");
    console_printf(
        "\tIf you specify one or more UUIDs using the -u option, the test program will connect "
        "to peripherals that advertise those UUIDs.\n");
    console_printf(
        "\t-i and -w can be used to alter the scan interval (default 160) and window (default "
        "80)\n");
}

// A decimal number as scanf's "%u" reads it: leading white space and a '+' are allowed and
// anything after the digits is ignored. Unlike "%u", a minus sign is refused (it would wrap
// "-5" round to 4294967291) and so is a value that does not fit the 16 bits the stack takes:
// cut to 16 bits, -i65696 would be announced as 65696 and scan at 160.
bool parse_scan_number(const char* text, uint32_t& value) {
    while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text))) ++text;
    if (*text == '+') ++text;
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
    uint64_t parsed = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        parsed = parsed * 10 + static_cast<uint64_t>(*text - '0');
        if (parsed > UINT16_MAX) return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool fail_with_usage(int& exit_code) {
    print_usage();
    exit_code = 1;
    return false;
}

// Kept reachable for the life of the process: the run thread owns it and nothing frees it.
// Atomic so that the store is not optimised away as unread, which would leave the record
// looking lost to a leak checker.
std::atomic<run_config*> live_config{nullptr};

void run_thread_entry(void* argument) {
    test_run(*static_cast<run_config*>(argument));
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, run_config& config, int& exit_code) {
    if (argc < 2) return fail_with_usage(exit_code);

    std::string port;
    std::set<std::string> uuids;
    std::vector<std::string> uuids_in_given_order;
    int32_t level = 0;
    bool silent = false;
    bool exit_on_error = false;
    uint32_t interval = 0;
    uint32_t window = 0;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || arg[0] != '-') return fail_with_usage(exit_code);
        const char option = arg[1];
        const char* value = option != '\0' ? arg + 2 : arg + 1;

        if (option == 'v' && std::strlen(value) == 1 &&
            std::isdigit(static_cast<unsigned char>(value[0]))) {
            level = value[0] - '0';
            console_printf("logging level %d\n", level);
        } else if (option == 'c') {
            port = value;
        } else if (option == 'u') {
            if (std::strlen(value) != uuid_text_length) return fail_with_usage(exit_code);
            if (uuids.insert(value).second) uuids_in_given_order.emplace_back(value);
        } else if (option == 's') {
            silent = true;
            console_printf("'silent' option specified, no beaconing\n");
        } else if (option == 'x') {
            exit_on_error = true;
        } else if (option == 'i') {
            if (!parse_scan_number(value, interval)) {
                console_printf("ERROR: invalid scan interval\n");
                exit_code = 1;
                return false;
            }
            console_printf("use scan interval %u\n", interval);
        } else if (option == 'w') {
            if (!parse_scan_number(value, window)) {
                console_printf("ERROR: invalid scan window\n");
                exit_code = 1;
                return false;
            }
            console_printf("use scan window %u\n", window);
        } else {
            return fail_with_usage(exit_code);
        }
    }
    if (port.empty()) return fail_with_usage(exit_code);
    for (const std::string& uuid : uuids_in_given_order) {
        const std::string why = why_uuid_never_matches(uuid);
        if (!why.empty()) console_printf("%s", never_matching_uuid_warning(uuid, why).c_str());
    }

    config.port = port;
    config.uuids = uuids;
    config.log_level = level;

    test_context.has_uuids = !uuids.empty();
    test_context.exit_on_error = exit_on_error;
    test_context.scan_interval = static_cast<uint16_t>(interval & 0xFFFF);
    test_context.scan_window = static_cast<uint16_t>(window & 0xFFFF);
    test_context.silent = silent;
    exit_code = 0;
    return true;
}

int orvette_main(int argc, const char* const* argv) {
    return orvette_main(argc, argv, platform::start_thread);
}

int orvette_main(int argc, const char* const* argv, run_thread_starter start) {
    auto* config = new run_config();
    int exit_code = 1;
    if (!parse_command_line(argc, argv, *config, exit_code)) {
        delete config;
        std::fflush(stdout);
        return exit_code;
    }
    live_config = config;

    platform::thread_handle run_thread = start(run_thread_entry, config);
    if (run_thread == nullptr) {
        const uint32_t error = platform::last_error();
        // No thread took ownership of the configuration.
        live_config = nullptr;
        delete config;
        console_printf("ERROR: failed to start the test run thread. error = %u\n", error);
        std::fflush(stdout);
        return 1;
    }
    platform::join_thread(run_thread);
    std::fflush(stdout);
    return 0;
}
