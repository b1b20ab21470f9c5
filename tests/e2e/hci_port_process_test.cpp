// The program on HCI ports it cannot open: one line that says why (and what to do), the
// usual open failure, and a run that ends instead of hanging.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process_runner.h"
#include "tests/support/test_support.h"

using testing_support::contains;
using testing_support::describe;
using testing_support::process_options;
using testing_support::run_process;

namespace {

struct port_case {
    std::string port;
    std::string line;  // part of the driver's error line
};

void expect_clear_failure(const port_case& c) {
    process_options options;
    options.args = {"-c" + c.port, "-ua0a489971097bba1b343eddd8f50f6ac"};
    options.time_limit_ms = 30000;
    const auto result = run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << c.port << "\n" << describe(result);
    EXPECT_EQ(result.exit_code, 0) << describe(result);
    EXPECT_TRUE(contains(result.out, ": Error: " + c.line)) << c.port << "\n" << result.out;
    EXPECT_TRUE(contains(result.out, "Error 0x803c NRF_ERROR_SD_RPC_SERIAL_PORT")) << result.out;
}

}  // namespace

TEST(HciPortProcess, PortsThatCannotBeOpenedSayWhyAndTheRunEnds) {
    std::vector<port_case> cases = {
        {"hci:user:x", "\"hci:user:x\": the HCI index after \"hci:user:\" must be a number"},
        {"hci:@9600", "\"hci:@9600\": "},
#if defined(_WIN32)
        {"hci:COM199", "hci:COM199: cannot open the serial port"},
#else
        {"hci:/dev/ttyNOPE", "hci:/dev/ttyNOPE: cannot open the serial port: No such file"},
        {"hci:unix:/nonexistent/socket",
         "hci:unix:/nonexistent/socket: cannot connect to the Unix socket"},
#endif
    };
#if defined(__linux__)
    // Whatever this kernel lacks (Bluetooth, an hci9, the capability), the line names the
    // device and says what to do.
    cases.push_back({"hci:user:9", "hci:user:9: "});
#endif
    for (const port_case& c : cases) expect_clear_failure(c);
}
