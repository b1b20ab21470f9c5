// Several test phones linked to the orvette program at once, over the emulator's links: each
// phone set up in turn and every link served afterwards. The emulator's handle quirk is
// worked around by phone_row (docs/btvirt.md).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/orvette_run.h"
#include "tests/btvirt/test_phone.h"
#include "tests/support/e2e_scenario.h"
#include "tests/support/process_runner.h"
#include "tests/support/test_support.h"

namespace {

using btvirt_testing::orvette_options;
using btvirt_testing::orvette_run;
using btvirt_testing::phone_row;
using btvirt_testing::scenario_phone;
using btvirt_testing::world;
using testing_support::describe;
using testing_support::line_index;
using testing_support::process_result;

constexpr size_t npos = std::string::npos;
// A standard set-up is 15 requests; two more are into the first keep-alive cycle.
constexpr size_t kPastSetUp = 17;

const std::vector<std::string> kUuids = {
    "a0a489971097bba1b343eddd8f50f6ac", "feedfeadfeadfeadfeadfeadfeadfead",
    "3f2a9c1e5b7d4e60a1c28d9e0f4b7a65", "5a5a5a5a000011112222333344445555",
    "0123456789abcdef0123456789abcdef"};

std::string phones_json(size_t count) {
    std::string text = R"({ "phones": [ )";
    for (size_t i = 0; i < count; ++i) {
        text += std::string(i == 0 ? "" : ", ") + R"({ "name": "p)" + std::to_string(i) +
                R"(", "uuid": ")" + kUuids[i] + R"(", "adv_interval_ms": 50 })";
    }
    return text + " ] }";
}

// Brings `count` phones up one set-up at a time while the program runs, then lets every
// link go through keep-alive cycles; 'q' once the last link has been challenged twice.
void run_row(size_t count) {
    world w;
    phone_row row(w.le_socket_path());
    const std::string scenario = phones_json(count);
    const std::vector<std::string> uuids(kUuids.begin(), kUuids.begin() + count);
    // Half the usual clock: the keep-alive's reconnect-all (every eleventh cycle) must not
    // come before the end, or the links would come back in another order than the dummy
    // links were made for (each phone's single connection below checks that it did not).
    auto options = orvette_options(w.le_socket_path(), uuids, 4, "5");
    const std::string last_challenged = "success setting challenge for phone " + uuids.back() +
                                        " conn_handle = " + std::to_string(count - 1);
    options.steps = {{last_challenged, 0, ""}, {last_challenged, 0, "q"}};
    options.close_stdin = false;
    options.time_limit_ms = 55000;

    ASSERT_TRUE(row.add(scenario_phone(scenario, "p0"), 0));
    orvette_run run(options);
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE("phone " + std::to_string(i));
        if (i > 0) {
            ASSERT_TRUE(row.add(scenario_phone(scenario, "p" + std::to_string(i)), i));
        }
        ASSERT_TRUE(row[i].wait_requests(kPastSetUp, std::chrono::seconds(15)))
            << row[i].requests_heard() << " requests; " << row[i].trouble();
    }
    // Every link served after the last set-up: each phone hears more keep-alive requests.
    std::vector<size_t> heard;
    for (size_t i = 0; i < count; ++i) heard.push_back(row[i].requests_heard());
    for (size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(row[i].wait_requests(heard[i] + 3, std::chrono::seconds(10))) << i;
    }

    const process_result& result = run.result();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_code, 0) << describe(result);
    const std::vector<std::string> lines =
        testing_support::split_lines(testing_support::strip_timestamps(result.out));
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(uuids[i]);
        EXPECT_EQ(row[i].connections(), 1u);
        EXPECT_EQ(row[i].trouble(), "");
        const std::string handle = std::to_string(i);
        EXPECT_NE(line_index(lines, "found service 0x000A UUID = " + uuids[i]), npos)
            << describe(result);
        EXPECT_NE(line_index(lines, "success setting challenge for phone " + uuids[i] +
                                        " conn_handle = " + handle),
                  npos)
            << describe(result);
    }
    EXPECT_EQ(lines.back(), "Exiting");
}

TEST(BtvirtPhoneRow, TwoPhonesAreSetUpInTurnAndBothLinksServed) {
    run_row(2);
}

TEST(BtvirtPhoneRow, FivePhonesAreSetUpInTurnAndAllLinksServed) {
    run_row(5);
}

}  // namespace
