// The driver's status and log callbacks print every report, whatever the logging level.
#include "diag/driver_callbacks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/test_context.h"
#include "tests/support/test_support.h"

namespace {

template <typename Call>
std::string printed(Call call) {
    testing::internal::CaptureStdout();
    call();
    std::fflush(stdout);
    return testing_support::strip_timestamps(testing::internal::GetCapturedStdout());
}

class DriverCallbacks : public testing::Test {
  protected:
    void SetUp() override {
        testing_support::reset_test_context();
        test_context.log_level = 0;
    }
};

}  // namespace

TEST_F(DriverCallbacks, StatusPrintsAtLevelZeroWithItsNumber) {
    EXPECT_EQ(printed([] { on_status(nullptr, PKT_SEND_MAX_RETRIES_REACHED, "no reply"); }),
              "TS: Status: 0, message: no reply\n");
    EXPECT_EQ(printed([] { on_status(nullptr, CONNECTION_ACTIVE, "Connection active"); }),
              "TS: Status: 7, message: Connection active\n");
}

TEST_F(DriverCallbacks, LogLinesAreLabelledBySeverity) {
    const struct {
        int severity;
        const char* expected;
    } cases[] = {
        {0, "TS: Log: text\n"},     {1, "TS: Log: text\n"},   {2, "TS: Info: text\n"},
        {3, "TS: Warning: text\n"}, {4, "TS: Error: text\n"}, {5, "TS: Fatal: text\n"},
        {7, "TS: Log: text\n"},  // out of range
    };
    for (const auto& c : cases) {
        EXPECT_EQ(printed([&] {
                      on_log(nullptr, static_cast<sd_rpc_log_severity_t>(c.severity), "text");
                  }),
                  c.expected)
            << c.severity;
    }
}

TEST_F(DriverCallbacks, MissingTextPrintsAsEmpty) {
    EXPECT_EQ(printed([] { on_log(nullptr, SD_RPC_LOG_WARNING, nullptr); }), "TS: Warning: \n");
    EXPECT_EQ(printed([] { on_status(nullptr, RESET_PERFORMED, nullptr); }),
              "TS: Status: 6, message: \n");
}

TEST_F(DriverCallbacks, TextIsPrintedVerbatimNotAsAFormat) {
    EXPECT_EQ(printed([] { on_log(nullptr, SD_RPC_LOG_ERROR, "100%s done %d"); }),
              "TS: Error: 100%s done %d\n");
}
