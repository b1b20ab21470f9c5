// The orvette program as a process against test phones of ours on emulated controllers: a
// phone's whole road over real HCI and ATT, served from a scenario phone's database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/test_phone.h"
#include "tests/support/process_runner.h"
#include "tests/support/test_support.h"

namespace {

using btvirt_testing::scenario_phone;
using btvirt_testing::test_phone;
using btvirt_testing::world;
using testing_support::process_options;
using testing_support::run_process;

constexpr const char* kUuidA = "a0a489971097bba1b343eddd8f50f6ac";

std::string one_phone(const std::string& uuid) {
    return R"({ "phones": [ { "name": "a", "uuid": ")" + uuid + R"(", "adv_interval_ms": 50 } ] })";
}

TEST(BtvirtPhoneRoad, Explore) {
    world w;
    test_phone phone(w.le_socket_path(), scenario_phone(one_phone(kUuidA), "a"));
    ASSERT_TRUE(phone.start());
    process_options options;
    options.args = {"-chci:unix:" + w.le_socket_path(), std::string("-u") + kUuidA, "-v9", "-s"};
    options.env = {{"ORVETTE_TIME_SCALE", "10"}};
    options.steps = {{"service discovery ended, available for new connection", 2000, "d"},
                     {"service discovery ended, available for new connection", 2000, "q"}};
    options.time_limit_ms = 30000;
    const auto result = run_process(ORVETTE_BINARY, options);
    std::printf("%s\n---ERR\n%s\n", result.out.c_str(), result.err.c_str());
    std::printf("trouble: %s requests %zu\n", phone.trouble().c_str(), phone.requests_heard());
}

}  // namespace
