// The loader's side of the scenario schema's samples: every file the schema check refuses
// (tests/schema/invalid) and every file only the loader can refuse (tests/schema/loader-only)
// is refused, at the key the file's first line names; every scenario the tests play loads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "sim/scenario/scenario_loader.h"

namespace {

namespace fs = std::filesystem;

const std::string kRefusedAt = "// refused at: ";

std::string first_line(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

int check_refusals(const std::string& folder) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(std::string(ORVETTE_SOURCE_DIR) + folder)) {
        if (entry.path().extension() != ".json") continue;
        const std::string file = entry.path().string();
        const std::string line = first_line(entry.path());
        if (line.rfind(kRefusedAt, 0) != 0) {
            ADD_FAILURE() << file << ": the first line must name the key refused";
            continue;
        }
        const std::string key = line.substr(kRefusedAt.size());
        sim::scenario loaded;
        std::string error;
        EXPECT_FALSE(sim::load_scenario_file(file, loaded, error)) << file;
        EXPECT_EQ(error.rfind("scenario " + file + ": " + key + ": ", 0), 0u)
            << file << "\nerror: " << error;
        ++checked;
    }
    return checked;
}

TEST(ScenarioSchemaSamples, WhatTheSchemaRefusesTheLoaderRefusesAtTheSameKey) {
    EXPECT_GE(check_refusals("/tests/schema/invalid"), 15);
}

TEST(ScenarioSchemaSamples, WhatOnlyTheLoaderCanRefuseItRefuses) {
    EXPECT_GE(check_refusals("/tests/schema/loader-only"), 5);
}

TEST(ScenarioSchemaSamples, EveryScenarioTheTestsPlayLoads) {
    int loaded_count = 0;
    for (const auto& entry :
         fs::recursive_directory_iterator(std::string(ORVETTE_SOURCE_DIR) + "/tests")) {
        if (entry.path().extension() != ".json" ||
            entry.path().parent_path().filename() != "scenarios") {
            continue;
        }
        sim::scenario loaded;
        std::string error;
        EXPECT_TRUE(sim::load_scenario_file(entry.path().string(), loaded, error)) << error;
        ++loaded_count;
    }
    EXPECT_GE(loaded_count, 4);
}

TEST(ScenarioSchemaSamples, ASchemaKeyIsTakenAndIgnored) {
    sim::scenario with;
    sim::scenario without;
    std::string error;
    ASSERT_TRUE(sim::load_scenario_text(R"({"$schema": "../docs/scenario.schema.json", "seed": 7})",
                                        "a.json", with, error))
        << error;
    ASSERT_TRUE(sim::load_scenario_text(R"({"seed": 7})", "a.json", without, error)) << error;
    EXPECT_EQ(with.seed, without.seed);
    EXPECT_EQ(with.devices.size(), without.devices.size());
}

}  // namespace
