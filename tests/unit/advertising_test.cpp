// Beacon advertising: the data each build carries, the driver calls of a cycle, the thread.
#include "radio/advertising.h"

#include "diag/code_names.h"
#include "tests/unit/gatt_fixture.h"

namespace testing_support {
namespace {

class advertising_test : public gatt_fixture {
  protected:
    void SetUp() override {
        gatt_fixture::SetUp();
        adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
        beacon_uuid_byte = 222;
        beacon_major = 1;
        beacon_minor = 1;
        test_context.log_level = 5;
    }

    std::vector<std::string> call_names() const {
        std::vector<std::string> names;
        for (const auto& call : backend->calls()) names.push_back(call.name);
        return names;
    }
};

TEST_F(advertising_test, first_build_is_a_complete_beacon_frame) {
    capture();
    EXPECT_EQ(NRF_SUCCESS, advertising_data_set());
    EXPECT_EQ("Advertising data set successfully\n", finish_capture());

    const auto configures = backend->calls_named("gap_adv_set_configure");
    ASSERT_EQ(1u, configures.size());
    std::vector<uint8_t> expected = {0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
    expected.insert(expected.end(), 16, 0xDF);
    expected.insert(expected.end(), {0x00, 0x02, 0x00, 0x01, 0xC0});
    EXPECT_EQ(expected, configures[0].data);
    // handle in, type, interval, duration, max_adv_evts, primary_phy
    EXPECT_EQ((std::vector<int64_t>{BLE_GAP_ADV_SET_HANDLE_NOT_SET,
                                    BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED, 160, 0,
                                    0, BLE_GAP_PHY_AUTO}),
              configures[0].args);
    EXPECT_EQ(0, adv_handle);  // the stack's handle is used from now on
}

TEST_F(advertising_test, major_and_minor_run_a_cycle_of_39_builds) {
    test_context.log_level = 0;
    std::vector<std::pair<int, int>> numbers;
    std::vector<uint8_t> uuid_bytes;
    for (int build = 0; build < 40; ++build) {
        advertising_data_set();
        const auto data = backend->calls_named("gap_adv_set_configure").back().data;
        ASSERT_EQ(30u, data.size());
        numbers.emplace_back(data[26], data[28]);
        uuid_bytes.push_back(data[9]);
        EXPECT_EQ(std::vector<uint8_t>(16, data[9]),
                  std::vector<uint8_t>(data.begin() + 9, data.begin() + 25));
    }
    EXPECT_EQ(std::make_pair(2, 1), numbers[0]);
    EXPECT_EQ(std::make_pair(2, 2), numbers[1]);
    EXPECT_EQ(std::make_pair(3, 2), numbers[2]);
    EXPECT_EQ(std::make_pair(20, 20), numbers[37]);
    EXPECT_EQ(std::make_pair(1, 1), numbers[38]);
    EXPECT_EQ(std::make_pair(2, 1), numbers[39]);
    EXPECT_EQ(0x00, uuid_bytes[33]);
    EXPECT_EQ(0x01, uuid_bytes[34]);
}

TEST_F(advertising_test, refused_configure_is_reported_with_its_code) {
    backend->push_result("gap_adv_set_configure", NRF_ERROR_INVALID_PARAM);
    capture();
    EXPECT_EQ(uint32_t{NRF_ERROR_INVALID_PARAM}, advertising_data_set());
    EXPECT_EQ("TS: Failed to set advertisement data. Error " +
                  error_code_name(NRF_ERROR_INVALID_PARAM) + "\n",
              finish_capture());
}

TEST_F(advertising_test, start_stops_the_set_first_and_a_set_not_advertising_is_no_error) {
    adv_handle = 0;
    backend->push_result("gap_adv_stop", NRF_ERROR_INVALID_STATE);
    capture();
    EXPECT_EQ(NRF_SUCCESS, advertising_start());
    EXPECT_EQ("Started advertising\n", finish_capture());
    EXPECT_EQ((std::vector<std::string>{"gap_adv_stop", "gap_adv_start"}), call_names());
    EXPECT_EQ((std::vector<int64_t>{0, 1}), backend->calls_named("gap_adv_start")[0].args);
}

TEST_F(advertising_test, start_reports_unexpected_stop_and_refused_start) {
    backend->push_result("gap_adv_stop", BLE_ERROR_INVALID_ADV_HANDLE);
    backend->push_result("gap_adv_start", NRF_ERROR_CONN_COUNT);
    capture();
    EXPECT_EQ(uint32_t{NRF_ERROR_CONN_COUNT}, advertising_start());
    EXPECT_EQ("TS: sd_ble_gap_adv_stop got unexpected error " +
                  error_code_name(BLE_ERROR_INVALID_ADV_HANDLE) +
                  "\n"
                  "TS: Failed to start advertising. Error " +
                  error_code_name(NRF_ERROR_CONN_COUNT) + "\n",
              finish_capture());
}

TEST_F(advertising_test, stop_reports_only_success_and_unexpected_codes) {
    backend->push_result("gap_adv_stop", NRF_SUCCESS);
    backend->push_result("gap_adv_stop", NRF_ERROR_INVALID_STATE);
    backend->push_result("gap_adv_stop", BLE_ERROR_INVALID_ADV_HANDLE);
    capture();
    EXPECT_EQ(0u, advertising_stop());
    EXPECT_EQ(0u, advertising_stop());
    EXPECT_EQ(0u, advertising_stop());
    EXPECT_EQ(
        "Stopped advertising\n"
        "TS: sd_ble_gap_adv_stop got unexpected error " +
            error_code_name(BLE_ERROR_INVALID_ADV_HANDLE) + "\n",
        finish_capture());
}

class advertising_thread_test : public advertising_test {
  protected:
    void SetUp() override {
        advertising_test::SetUp();
        platform::set_time_scale(500);
        stop = platform::create_event(true, false);
    }
    platform::event_handle stop = nullptr;
};

TEST_F(advertising_thread_test, silent_run_waits_one_period_and_never_calls_the_driver) {
    test_context.silent = true;
    capture();
    const uint64_t started = platform::tick_count();
    AdvertisingThread(stop);
    EXPECT_GE(platform::tick_count() - started, advertising_period_ms);
    EXPECT_EQ("Option specified to not beacon, exiting the thread\n", finish_capture());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(advertising_thread_test, stop_before_the_first_cycle_ends_the_thread) {
    test_context.silent = true;
    platform::set_event(stop);
    capture();
    AdvertisingThread(stop);
    EXPECT_EQ("AdvertisingThread exiting\n", finish_capture());
}

TEST_F(advertising_thread_test, each_cycle_stops_rebuilds_and_restarts_the_set) {
    test_context.log_level = 4;
    capture();
    platform::thread_handle thread = platform::start_thread(AdvertisingThread, stop);
    const bool two_cycles =
        eventually([this] { return backend->calls_named("gap_adv_start").size() >= 2; });
    platform::set_event(stop);
    platform::join_thread(thread);
    EXPECT_EQ("AdvertisingThread exiting\n", finish_capture());  // nothing else below level 5
    ASSERT_TRUE(two_cycles);
    std::vector<std::string> names = call_names();
    names.resize(7);
    EXPECT_EQ((std::vector<std::string>{"gap_adv_set_configure", "gap_adv_stop", "gap_adv_start",
                                        "gap_adv_stop", "gap_adv_set_configure", "gap_adv_stop",
                                        "gap_adv_start"}),
              names);
    const auto configures = backend->calls_named("gap_adv_set_configure");
    EXPECT_EQ(0xDF, configures[0].data[9]);
    EXPECT_EQ(0xE0, configures[1].data[9]);
}

}  // namespace
}  // namespace testing_support
