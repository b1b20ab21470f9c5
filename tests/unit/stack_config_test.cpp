// The stack's memory layout is fixed in three items, in order, under one hold of the lock.
#include "radio/stack_config.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/test_context.h"
#include "tests/support/scripted_backend.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

ble_cfg_t decode(const recorded_call& call) {
    ble_cfg_t cfg;
    std::memset(&cfg, 0, sizeof cfg);
    if (call.data.size() == sizeof cfg) std::memcpy(&cfg, call.data.data(), sizeof cfg);
    return cfg;
}

class StackConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_test_context();
        backend = make_scripted_adapter();
    }
    scripted_backend* backend = nullptr;
};

TEST_F(StackConfigTest, SetsRoleCountsThenGattThenGapForTheGivenTagAndPrintsNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(ble_stack_configure(1), NRF_SUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const auto calls = backend->calls_named("cfg_set");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].args, (std::vector<int64_t>{BLE_GAP_CFG_ROLE_COUNT, 0}));
    EXPECT_EQ(calls[1].args, (std::vector<int64_t>{BLE_CONN_CFG_GATT, 0}));
    EXPECT_EQ(calls[2].args, (std::vector<int64_t>{BLE_CONN_CFG_GAP, 0}));

    const ble_cfg_t roles = decode(calls[0]);
    EXPECT_EQ(roles.gap_cfg.role_count_cfg.adv_set_count, 1);
    EXPECT_EQ(roles.gap_cfg.role_count_cfg.periph_role_count, 0);
    EXPECT_EQ(roles.gap_cfg.role_count_cfg.central_role_count, 5);
    EXPECT_EQ(roles.gap_cfg.role_count_cfg.central_sec_count, 0);
    EXPECT_EQ(roles.gap_cfg.role_count_cfg.qos_channel_survey_role_available, 0);

    const ble_cfg_t gatt = decode(calls[1]);
    EXPECT_EQ(gatt.conn_cfg.conn_cfg_tag, 1);
    EXPECT_EQ(gatt.conn_cfg.params.gatt_conn_cfg.att_mtu, 150);

    const ble_cfg_t gap = decode(calls[2]);
    EXPECT_EQ(gap.conn_cfg.conn_cfg_tag, 1);
    EXPECT_EQ(gap.conn_cfg.params.gap_conn_cfg.conn_count, 5);
    EXPECT_EQ(gap.conn_cfg.params.gap_conn_cfg.event_length, 6);
}

TEST_F(StackConfigTest, StopsAtTheFirstRefusedItemWithItsLineAndCodeAndReleasesTheLock) {
    struct case_t {
        size_t failing_step;
        uint32_t code;
        const char* line;
    };
    const case_t cases[] = {
        {1, NRF_ERROR_INVALID_PARAM,
         "sd_ble_cfg_set() failed when attempting to set BLE_GAP_CFG_ROLE_COUNT. Error "},
        {2, NRF_ERROR_NO_MEM,
         "sd_ble_cfg_set() failed when attempting to set BLE_CONN_CFG_GATT. Error "},
        {3, NRF_ERROR_INVALID_STATE,
         "sd_ble_cfg_set() failed when attempting to set BLE_CONN_CFG_GAP. Error "},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.failing_step);
        backend->clear_calls();
        for (size_t step = 1; step < c.failing_step; ++step) backend->push_result("cfg_set", 0);
        backend->push_result("cfg_set", c.code);

        testing::internal::CaptureStdout();
        EXPECT_EQ(ble_stack_configure(1), c.code);
        const std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(backend->calls_named("cfg_set").size(), c.failing_step);
        const auto lines = split_lines(out);
        ASSERT_EQ(lines.size(), 1u) << out;
        EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << lines[0];
        // The test run goes on to take the lock for sd_ble_enable.
        ASSERT_TRUE(test_context.driver_lock.try_lock());
        test_context.driver_lock.unlock();
    }
}

}  // namespace
