// The orvette program as a process on an emulated controller: the whole start of a phone's
// road over real HCI, with a controller nobody here wrote.
#include <gtest/gtest.h>

#include <string>

#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/hci_peer.h"
#include "tests/btvirt/test_phone.h"
#include "tests/support/process_runner.h"

namespace {

using btvirt_testing::hci_peer;
using btvirt_testing::world;
using testing_support::process_options;
using testing_support::run_process;

constexpr const char* uuid = "a0a489971097bba1b343eddd8f50f6ac";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(BtvirtProcess, OrvetteFindsAnAdvertiserOfItsUuidConnectsAndQuitsInOrder) {
    world w;
    hci_peer phone(w.le_socket_path());
    ASSERT_TRUE(phone.reset());
    hci::advertising_parameters every_50_ms;
    every_50_ms.interval_min = 80;
    every_50_ms.interval_max = 80;
    ASSERT_TRUE(phone.start_advertising(every_50_ms, btvirt_testing::flags_and_uuid128(uuid)));

    process_options options;
    options.args = {"-chci:unix:" + w.le_socket_path(), std::string("-u") + uuid, "-v4", "-s"};
    // 'q' once the set-up has begun: a quit while the attempt is still waking up would end
    // the attempt instead, which is another test's business.
    options.steps = {{"sd_ble_gattc_primary_services_discover success", 0, "q\n"}};
    options.time_limit_ms = 30000;
    const auto result = run_process(ORVETTE_BINARY, options);
    ASSERT_TRUE(result.exited) << testing_support::describe(result);
    EXPECT_EQ(result.exit_code, 0) << testing_support::describe(result);
    EXPECT_TRUE(contains(result.out, "HCI controller on hci:unix:")) << result.out;
    EXPECT_TRUE(contains(result.out, std::string("FOUND phone with UUID ") + uuid)) << result.out;
    EXPECT_TRUE(contains(result.out, "Got BLE_GAP_EVT_CONNECTED central")) << result.out;
    EXPECT_TRUE(contains(result.out, "Discovering primary services conn_handle = 0")) << result.out;
    EXPECT_TRUE(contains(result.out, "Exiting")) << result.out;
}

TEST(BtvirtProcess, TimeScaleThatIsNoPositiveNumberIsRefusedWithALineAndTheRunGoesOn) {
    world w;
    // A phone that advertises again once each run has dropped its link.
    btvirt_testing::test_phone phone(
        w.le_socket_path(),
        btvirt_testing::scenario_phone(std::string(R"({ "phones": [ { "name": "a", "uuid": ")") +
                                           uuid + R"(", "adv_interval_ms": 50 } ] })",
                                       "a"));
    ASSERT_TRUE(phone.start());

    size_t runs = 0;
    for (const char* garbage : {"abc", "0", "-2", "10x", "nan", ""}) {
        SCOPED_TRACE(std::string("ORVETTE_TIME_SCALE=") + garbage);
        process_options options;
        options.args = {"-chci:unix:" + w.le_socket_path(), std::string("-u") + uuid, "-v4"};
        options.env = {{"ORVETTE_TIME_SCALE", garbage}};
        options.steps = {{"Got BLE_GAP_EVT_CONNECTED central", 0, "q\n"}};
        options.time_limit_ms = 30000;
        const auto result = run_process(ORVETTE_BINARY, options);
        ASSERT_TRUE(result.exited) << testing_support::describe(result);
        EXPECT_EQ(result.exit_code, 0) << testing_support::describe(result);
        EXPECT_TRUE(contains(result.out, std::string("ORVETTE_TIME_SCALE=") + garbage +
                                             " ignored: it must be a number greater than 0"))
            << result.out;
        EXPECT_TRUE(contains(result.out, "Got BLE_GAP_EVT_CONNECTED central")) << result.out;
        ASSERT_TRUE(phone.wait_disconnections(++runs));
    }
}

}  // namespace
