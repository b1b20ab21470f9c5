// Whole numbers at and past the edge of 64 bits. The JSON parser hands a number too large
// for 64 bits over as a double: it is out of range, not "a number with a fraction".
#include <gtest/gtest.h>

#include <string>

#include "sim/scenario/scenario_loader.h"

namespace {

const std::string kPhone = R"("uuid": "a0a489971097bba1b343eddd8f50f6ac")";

std::string load_error(const std::string& text) {
    sim::scenario loaded;
    std::string error;
    EXPECT_FALSE(sim::load_scenario_text(text, "w.json", loaded, error)) << text;
    return error;
}

TEST(ScenarioWholeNumbers, TheSeedTakesEverySixtyFourBitValue) {
    struct accepted {
        std::string text;
        uint64_t seed;
    };
    for (const accepted& a : std::vector<accepted>{
             {"18446744073709551615", UINT64_MAX},
             {"\"0xFFFFFFFFFFFFFFFF\"", UINT64_MAX},
             {"9223372036854775808", 1ull << 63},
             {"0", 0},
         }) {
        sim::scenario loaded;
        std::string error;
        ASSERT_TRUE(sim::load_scenario_text("{\"seed\": " + a.text + "}", "w.json", loaded, error))
            << a.text << ": " << error;
        EXPECT_EQ(loaded.seed, a.seed) << a.text;
    }
}

TEST(ScenarioWholeNumbers, BeyondSixtyFourBitsIsOutOfRange) {
    const std::string range = "must be between 0 and 18446744073709551615, not ";
    EXPECT_EQ(load_error(R"({"seed": 18446744073709551616})"),
              "scenario w.json: seed: " + range + "18446744073709551616");
    EXPECT_EQ(load_error(R"({"seed": 100000000000000000000000})"),
              "scenario w.json: seed: " + range + "1e+23");
    EXPECT_EQ(load_error(R"({"seed": -1})"), "scenario w.json: seed: " + range + "-1");
    EXPECT_EQ(load_error(R"({"seed": -9223372036854775809})"),
              "scenario w.json: seed: " + range + "-9223372036854775808");
    // Other whole numbers, signed and unsigned, the same way.
    EXPECT_EQ(load_error(R"({"advertisers": [{"count": 18446744073709551616}]})"),
              "scenario w.json: advertisers[0].count: must be between 1 and 1000, not "
              "18446744073709551616");
    EXPECT_EQ(load_error(R"({"advertisers": [{"count": 9223372036854775808}]})"),
              "scenario w.json: advertisers[0].count: must be between 1 and 1000, not "
              "9223372036854775808");
    EXPECT_EQ(load_error(R"({"advertisers": [{"rssi": -18446744073709551616}]})"),
              "scenario w.json: advertisers[0].rssi: must be between -127 and 20, not "
              "-18446744073709551616");
    EXPECT_EQ(
        load_error(
            R"({"phones": [{)" + kPhone +
            R"(, "gatt": {"services": [{"uuid": "1800", "start": 18446744073709551616}]}}]})"),
        "scenario w.json: phones[0].gatt.services[0].start: value 18446744073709551616 is "
        "outside 1..65535");
}

TEST(ScenarioWholeNumbers, AFractionIsStillAFraction) {
    EXPECT_EQ(load_error(R"({"seed": 1.5})"),
              "scenario w.json: seed: must be a whole number, not a number with a fraction");
    EXPECT_EQ(load_error(R"({"advertisers": [{"count": 2.0}]})"),
              "scenario w.json: advertisers[0].count: must be a whole number, not a number with "
              "a fraction");
}

TEST(ScenarioWholeNumbers, ANamedCodeMustBeOneTheKeyTakes) {
    // Reason 0 is success, which no link ends with: as a number and as a name alike.
    const std::string world =
        R"({"phones": [{"name": "p", )" + kPhone +
        R"(}], "faults": [{"type": "disconnect", "phone": "p", "at_ms": 1, "reason": )";
    EXPECT_EQ(load_error(world + "0}]}"),
              "scenario w.json: faults[0].reason: must be between 1 and 255, not 0");
    EXPECT_EQ(load_error(world + R"("BLE_HCI_STATUS_CODE_SUCCESS"}]})"),
              "scenario w.json: faults[0].reason: must be between 1 and 255, not "
              "BLE_HCI_STATUS_CODE_SUCCESS (0)");
}

}  // namespace
