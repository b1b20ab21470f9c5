// The pipeline benchmark's reports must take the paths it names them after, or its figures
// would silently measure a shorter road: each ends in exactly one scan resume, and only the
// ones with a 128-bit UUID reach on_adv_report, without ever starting a connection.
#include <gtest/gtest.h>

#include "app/test_context.h"
#include "bench/adv_reports.h"
#include "link/event_dispatcher.h"
#include "tests/support/gap_events.h"
#include "tests/support/scripted_backend.h"
#include "tests/support/test_support.h"

using namespace testing_support;
using namespace adv_pipeline_bench;

namespace {

class PipelineBenchReportsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(drain_message_queue());
        backend = start_scripted_run();
        test_context.has_uuids = true;
        test_context.first_event_pending = false;
        phone = add_phones({monitored_uuid})[0];
        phone->conn_handle = 0;
    }
    void TearDown() override { drain_message_queue(); }

    // Delivers the report as the driver's event thread would; returns what the pipeline
    // printed once the work it posted has run.
    std::string deliver(report_index index) {
        ble_evt_t event = make_report(report_kinds()[index]);
        testing::internal::CaptureStdout();
        ble_event_handler(test_context.adapter.load(), &event);
        EXPECT_TRUE(drain_message_queue());
        return strip_timestamps(testing::internal::GetCapturedStdout());
    }

    size_t resumes() const {
        size_t count = 0;
        for (const auto& call : backend->calls_named("gap_scan_start")) {
            if (call.args.at(0) == 0) ++count;  // started without parameters
        }
        return count;
    }

    scripted_backend* backend = nullptr;
    phone_record* phone = nullptr;
};

TEST_F(PipelineBenchReportsTest, EachReportEndsInOneResumeAndPrintsNothingAtLevelZero) {
    for (const report_index index : {no_uuid128, unmonitored, monitored_connected}) {
        SCOPED_TRACE(report_kinds()[index].name);
        backend->clear_calls();
        EXPECT_EQ(deliver(index), "");
        EXPECT_EQ(resumes(), 1u);
        EXPECT_EQ(backend->calls().size(), 1u);  // nothing but the resume
    }
    EXPECT_EQ(test_context.adv_reports_total.load(), 3);
}

TEST_F(PipelineBenchReportsTest, OnlyReportsWithAUuidReachOnAdvReport) {
    deliver(no_uuid128);
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 0);

    deliver(unmonitored);
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 1);
    EXPECT_EQ(test_context.all_devices.snapshot(), std::vector<std::string>{unmonitored_uuid});

    // The monitored phone is found, and left alone because it is connected.
    test_context.log_level = 6;
    EXPECT_EQ(deliver(monitored_connected),
              std::string("Advertisement RSSI = -55, MAC = D2:4F:0A:91:3C:01, UUID = ") +
                  monitored_uuid + "\n");
    EXPECT_EQ(test_context.adv_reports_uuid128.load(), 2);
    EXPECT_TRUE(backend->calls_named("gap_connect").empty());
    EXPECT_EQ(phone->conn_handle.load(), 0);
}

}  // namespace
