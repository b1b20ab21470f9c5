// Full starts and resumes of the scanner, and what each prints at which level.
#include "radio/scanning.h"

#include <gtest/gtest.h>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "tests/support/scripted_backend.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// gap_scan_start args: has_params, interval, window, active, timeout, scan_phys, buffer_len.
enum { has_params, interval, window, active, timeout, scan_phys, buffer_len };

class ScanningTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_test_context();
        backend = make_scripted_adapter();
        add_phones({"a0a489971097bba1b343eddd8f50f6ac"});
    }
    std::string run(uint32_t (*operation)(), uint32_t expected_result) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(operation(), expected_result);
        return strip_timestamps(testing::internal::GetCapturedStdout());
    }
    scripted_backend* backend = nullptr;
};

TEST_F(ScanningTest, WithoutMonitoredPhonesNeitherOperationTouchesTheDriver) {
    test_context.has_uuids = false;
    EXPECT_EQ(run(scan_start, NRF_SUCCESS), "");
    EXPECT_EQ(run(scan_restart, NRF_SUCCESS), "");
    EXPECT_TRUE(backend->calls().empty());
    EXPECT_EQ(test_context.last_scan_start_tick.load(), 0u);
}

TEST_F(ScanningTest, FullStartIsPassiveOnOneMegabitWithTheDefaultOrChosenTiming) {
    struct case_t {
        uint16_t configured_interval, configured_window;
        int64_t expected_interval, expected_window;
    };
    for (const case_t& c : {case_t{0, 0, 160, 80}, case_t{96, 48, 96, 48}}) {
        backend->clear_calls();
        test_context.scan_interval = c.configured_interval;
        test_context.scan_window = c.configured_window;
        EXPECT_EQ(run(scan_start, NRF_SUCCESS), "");
        const auto calls = backend->calls_named("gap_scan_start");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].args, (std::vector<int64_t>{1, c.expected_interval, c.expected_window, 0,
                                                       0, BLE_GAP_PHY_1MBPS, 100}));
    }
    EXPECT_NE(test_context.last_scan_start_tick.load(), 0u);

    test_context.log_level = 6;
    EXPECT_EQ(run(scan_start, NRF_SUCCESS), "scan start success\n");
}

TEST_F(ScanningTest, RefusedFullStartIsReportedAtEveryLevel) {
    backend->push_result("gap_scan_start", NRF_ERROR_INVALID_PARAM);
    EXPECT_EQ(
        run(scan_start, NRF_ERROR_INVALID_PARAM),
        "TS: Scan start failed with error " + error_code_name(NRF_ERROR_INVALID_PARAM) + "\n");
}

TEST_F(ScanningTest, ResumeHandsTheBufferBackWithoutParameters) {
    test_context.log_level = 6;
    EXPECT_EQ(run(scan_restart, NRF_SUCCESS), "");
    test_context.log_level = 7;
    EXPECT_EQ(run(scan_restart, NRF_SUCCESS), "Scan re-start succeeded\n");

    const auto calls = backend->calls_named("gap_scan_start");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args[has_params], 0);
    EXPECT_EQ(calls[0].args[buffer_len], 100);
    EXPECT_NE(test_context.last_scan_start_tick.load(), 0u);
}

TEST_F(ScanningTest, ResumeOfAStoppedScannerFallsBackToAFullStart) {
    // Quiet below level 7 when the full start works.
    backend->push_result("gap_scan_start", NRF_ERROR_INVALID_STATE);
    test_context.log_level = 6;
    EXPECT_EQ(run(scan_restart, NRF_SUCCESS), "");
    auto calls = backend->calls_named("gap_scan_start");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args[has_params], 0);
    EXPECT_EQ(calls[1].args[has_params], 1);
    EXPECT_EQ(calls[1].args[interval], 160);
    EXPECT_EQ(calls[1].args[window], 80);

    backend->push_result("gap_scan_start", NRF_ERROR_INVALID_STATE);
    test_context.log_level = 7;
    EXPECT_EQ(run(scan_restart, NRF_SUCCESS),
              "TS: re-called sd_ble_gap_scan_start with non-null params after "
              "NRF_ERROR_INVALID_STATE, now successful.\n");

    test_context.log_level = 0;
    backend->push_result("gap_scan_start", NRF_ERROR_INVALID_STATE);
    backend->push_result("gap_scan_start", NRF_ERROR_INVALID_STATE);
    EXPECT_EQ(run(scan_restart, NRF_ERROR_INVALID_STATE),
              "TS: re-called sd_ble_gap_scan_start with non-null params after "
              "NRF_ERROR_INVALID_STATE, still get NRF_ERROR_INVALID_STATE.\n");

    backend->push_result("gap_scan_start", NRF_ERROR_INVALID_STATE);
    backend->push_result("gap_scan_start", NRF_ERROR_NO_MEM);
    EXPECT_EQ(run(scan_restart, NRF_ERROR_NO_MEM),
              "TS: re-called sd_ble_gap_scan_start with non-null params after "
              "NRF_ERROR_INVALID_STATE, which changed result to different error " +
                  error_code_name(NRF_ERROR_NO_MEM) + ".\n");
}

TEST_F(ScanningTest, ResumeRefusedForAnotherReasonIsNotRetried) {
    backend->push_result("gap_scan_start", NRF_ERROR_BUSY);
    EXPECT_EQ(run(scan_restart, NRF_ERROR_BUSY),
              "TS: Scan re-start failed with error " + error_code_name(NRF_ERROR_BUSY) + "\n");
    EXPECT_EQ(backend->calls_named("gap_scan_start").size(), 1u);
}

}  // namespace
