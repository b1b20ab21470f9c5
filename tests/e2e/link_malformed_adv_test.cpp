// The orvette program against the simulated dongle in a room full of broken advertising
// data: nothing may crash or read past a report, only well-formed single-UUID lists count as
// UUIDs, and the monitored phone is still connected.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char* const kPhoneUuid = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kFoundAfterZeros = "11111111222222223333333344444444";
const char* const kFoundAfterLongData = "22222222333333334444444455555555";
const char* const kBeyondTheBuffer = "33333333444444445555555566666666";
const char* const kIncompleteList = "44444444555555556666666677777777";
const char* const kCutShort = "55555555666666667777777788888888";
const char* const kPairFirst = "66666666777777778888888899999999";
const char* const kPairSecond = "77777777888888889999999900000000";
const char* const kAfterPair = "88888888999999990000000011111111";

// The UUID's 16 bytes as they go over the air: least significant first.
std::string air(const std::string& uuid) {
    std::string bytes;
    for (size_t i = uuid.size(); i >= 2; i -= 2) bytes += uuid.substr(i - 2, 2) + " ";
    return bytes;
}

std::string filler(size_t count) {
    std::string bytes;
    for (size_t i = 0; i < count; ++i) bytes += "a5 ";
    return bytes;
}

struct broken_sender {
    const char* name;
    const char* address;
    std::string data_hex;
};

std::vector<broken_sender> broken_senders() {
    return {
        {"zero-lengths", "C0:00:00:00:00:01", "00 00 02 01 06 00"},
        {"zeros-then-uuid", "C0:00:00:00:00:02", "00 00 11 07 " + air(kFoundAfterZeros)},
        {"runs-past-end", "C0:00:00:00:00:03", "02 01 06 11 07 00 11"},
        // A one-UUID list whose last byte is missing.
        {"list-cut-short", "C0:00:00:00:00:04", "11 07 " + air(kCutShort).substr(0, 45)},
        // A 33-byte list of two UUIDs, then a one-UUID list that must not be looked at.
        {"two-uuid-list", "C0:00:00:00:00:05",
         "21 07 " + air(kPairFirst) + air(kPairSecond) + "11 07 " + air(kAfterPair)},
        // 49 bytes: a list after more than 31 bytes still counts.
        {"long-with-uuid", "C0:00:00:00:00:06",
         "1e ff " + filler(29) + "11 07 " + air(kFoundAfterLongData)},
        // 108 bytes: the list ends past the 100 bytes the report buffer holds.
        {"past-the-buffer", "C0:00:00:00:00:07",
         "59 ff " + filler(88) + "11 07 " + air(kBeyondTheBuffer)},
        {"length-byte-last", "C0:00:00:00:00:08", "02 01 06 05"},
        {"incomplete-list", "C0:00:00:00:00:09", "11 06 " + air(kIncompleteList)},
        {"huge-length", "C0:00:00:00:00:0A", "ff 07 " + filler(20)},
    };
}

nlohmann::json broken_room() {
    nlohmann::json advertisers = nlohmann::json::array();
    for (const auto& sender : broken_senders()) {
        advertisers.push_back({{"name", sender.name},
                               {"address", sender.address},
                               {"adv_interval_ms", 50},
                               {"rssi", -60},
                               {"data_hex", sender.data_hex}});
    }
    return {{"seed", 41},
            {"time_scale", 10},
            {"phones",
             {{{"name", "phone-a"},
               {"uuid", kPhoneUuid},
               {"address", "D2:4F:0A:91:3C:01"},
               {"adv_interval_ms", 100}}}},
            {"advertisers", advertisers}};
}

}  // namespace

TEST(LinkMalformedAdvertising, BrokenDataNeverCountsAsAUuidAndThePhoneIsStillConnected) {
    const e2e_scenario scenario(broken_room());
    // Level 6 shows each unmonitored UUID as it is handled: the two good ones are waited
    // for, then the room is given another moment before the display.
    const process_result result =
        run_orvette_on(scenario, {std::string("-u") + kPhoneUuid, "-v6"},
                       {{"service discovery ended, available for new connection", 0, ""},
                        {std::string("UUID = ") + kFoundAfterZeros, 0, ""},
                        {std::string("UUID = ") + kFoundAfterLongData, 300, "s"},
                        {"all devices: ", 0, "q"}},
                       60000);
    ASSERT_TRUE(ended_cleanly(result));

    // Only the well-formed single-UUID lists, each once, beside the phone.
    const auto devices = lines_with(result.out, "all devices: ");
    ASSERT_EQ(devices.size(), 1u) << describe(result);
    EXPECT_EQ(strip_timestamps(devices[0]), std::string("TS: all devices: ") + kFoundAfterZeros +
                                                " " + kFoundAfterLongData + " " + kPhoneUuid + " ");
    EXPECT_TRUE(contains(result.out, std::string("FOUND phone with UUID ") + kPhoneUuid));

    // Every broken sender was heard, the longest cut to the report buffer.
    const trace_lines trace = scenario.read_trace();
    const size_t close = trace_call_index(trace, "sd_rpc_close");
    std::map<std::string, size_t> reports;
    std::map<std::string, int> longest;
    for (size_t i = 0; i < close && i < trace.size(); ++i) {
        if (!is_event(trace[i], "BLE_GAP_EVT_ADV_REPORT")) continue;
        const std::string address = trace[i]["peer_addr"];
        ++reports[address];
        longest[address] = std::max(longest[address], trace[i]["len"].get<int>());
    }
    for (const auto& sender : broken_senders()) {
        EXPECT_GE(reports[sender.address], 1u) << sender.name;
    }
    EXPECT_EQ(longest["C0:00:00:00:00:07"], 100);
    EXPECT_EQ(longest["C0:00:00:00:00:06"], 49);
}
