// Scenario text that no sensible file holds but a typo or a damaged file can: it is refused
// with one line like any other mistake, and never escapes the loader as an exception
// (which would end the program from inside sd_rpc_open).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/scenario/scenario_loader.h"
#include "tests/sim/sim_session.h"

TEST(SimScenarioHostileText, NumbersBeyondADoubleAreRefusedAsInvalidJsonWhereverTheyStand) {
    const std::string phone = R"("uuid": "a0a489971097bba1b343eddd8f50f6ac")";
    const std::vector<std::string> texts = {
        R"({"seed": 1e999})",
        R"({"time_scale": -1E400})",
        R"({"phones": [{)" + phone + R"(, "rssi": {"track": [[0, -50], [1e309, -60]]}}]})",
        R"([1e999])",
    };
    for (const std::string& text : texts) {
        sim::scenario loaded;
        std::string error;
        bool accepted = true;
        ASSERT_NO_THROW(accepted = sim::load_scenario_text(text, "test.json", loaded, error))
            << text;
        EXPECT_FALSE(accepted) << text;
        EXPECT_EQ(error.rfind("scenario test.json: not valid JSON: number overflow", 0), 0u)
            << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(SimScenarioHostileText, AnOverflowingNumberFailsTheOpenLikeAnyOtherMistake) {
    sim_testing::session s(R"({"seed": 1e999})");
    EXPECT_EQ(s.open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_INVALID_ARGUMENT));
    const auto logs = s.logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(logs[0].find("not valid JSON: number overflow parsing '1e999'"), std::string::npos)
        << logs[0];
}
