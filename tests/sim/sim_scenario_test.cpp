// Scenario files: every example loads, the built-in default world is the example file,
// and every kind of mistake is refused with one line naming the file, key and problem.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/backends.h"
#include "sim/scenario/default_world.h"
#include "sim/scenario/scenario_loader.h"
#include "tests/sim/sim_session.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string load_error(const std::string& text) {
    sim::scenario s;
    std::string error;
    EXPECT_FALSE(sim::load_scenario_text(text, "test.json", s, error)) << text;
    return error;
}

TEST(SimScenario, EveryExampleLoads) {
    register_backends();
    int loaded = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(ORVETTE_SOURCE_DIR) + "/examples")) {
        if (entry.path().extension() != ".json") continue;
        sim::scenario s;
        std::string error;
        EXPECT_TRUE(sim::load_scenario_file(entry.path().string(), s, error)) << error;
        EXPECT_FALSE(s.devices.empty()) << entry.path();
        // And the dongle opens on it (its time scale is put back afterwards).
        const std::string port = "sim:" + entry.path().string();
        adapter_t* adapter = sd_rpc_adapter_create(sd_rpc_transport_layer_create(
            sd_rpc_data_link_layer_create_bt_three_wire(
                sd_rpc_physical_layer_create_uart(port.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE,
                                                  SD_RPC_PARITY_NONE),
                250),
            1500));
        EXPECT_EQ(sd_rpc_open(adapter, nullptr, nullptr, nullptr),
                  static_cast<uint32_t>(NRF_SUCCESS))
            << entry.path();
        EXPECT_EQ(sd_rpc_close(adapter), static_cast<uint32_t>(NRF_SUCCESS));
        platform::set_time_scale(1.0);
        ++loaded;
    }
    EXPECT_GE(loaded, 4);
}

TEST(SimScenario, DefaultWorldIsTheExampleFile) {
    const auto built_in = nlohmann::json::parse(sim::default_world_text());
    const auto file = nlohmann::json::parse(
        read_file(std::string(ORVETTE_SOURCE_DIR) + "/examples/default.json"));
    EXPECT_EQ(built_in, file);
    const sim::scenario world = sim::default_world();
    ASSERT_GE(world.devices.size(), 2u);
    EXPECT_EQ(world.devices[0].uuid, "a0a489971097bba1b343eddd8f50f6ac");
    EXPECT_EQ(world.devices[1].uuid, "feedfeadfeadfeadfeadfeadfeadfead");
    EXPECT_FALSE(world.time_scale.has_value());  // real time
}

TEST(SimScenario, MistakesNameTheKeyAndTheProblem) {
    const std::string phone = R"("uuid": "a0a489971097bba1b343eddd8f50f6ac")";
    struct mistake {
        std::string text;
        std::string expected;
    };
    const std::vector<mistake> mistakes = {
        {R"({"colour": 1})", "scenario test.json: colour: unknown key"},
        {R"({"phones": [{)" + phone + R"(, "colour": 1}]})", "phones[0].colour: unknown key"},
        {R"({"seed": "x"})", "seed: must be a whole number"},
        {R"({"seed": -1})", "seed: must be between 0 and"},
        {R"({"time_scale": 0})", "time_scale: must be between 0.01 and 1000"},
        {R"({"phones": {}})", "phones: must be a list"},
        {R"({"phones": [{"uuid": "abc"}]})", "phones[0].uuid: must be 32 hex digits"},
        {R"({"phones": [{"name": "p"}]})", "phones[0].uuid: is missing"},
        {R"({"phones": [{)" + phone + R"(, "adv_interval_ms": 5}]})",
         "phones[0].adv_interval_ms: must be between 20 and 10240"},
        {R"({"phones": [{)" + phone +
             R"(, "name": "x"}, {"uuid": "feedfeadfeadfeadfeadfeadfeadfead", "name": "x"}]})",
         "phones[1].name: \"x\" is used twice"},
        {R"({"phones": [{)" + phone + R"(, "address": "11:22:33:44:55:66"}]})",
         "phones[0].address: a random static address"},
        {R"({"phones": [{)" + phone + R"(, "rssi": {"track": [[0, -50], [0, -60]]}}]})",
         "phones[0].rssi.track[1][0]: times must increase"},
        {R"({"phones": [{)" + phone + R"(, "response_latency": [2, 1]}]})",
         "phones[0].response_latency: the maximum is below"},
        {R"({"phones": [{)" + phone + R"(, "gatt": {"services": 3}}]})", "phones[0].gatt.services"},
        {R"({"advertisers": [{"data": {"uuid128": ["a0a489971097bba1b343eddd8f50f6ac", "feedfeadfeadfeadfeadfeadfeadfead"]}}]})",
         "advertisers[0].data: makes 34 bytes, more than the 31"},
        {R"({"advertisers": [{"data_hex": "0x12"}]})",
         "advertisers[0].data_hex: must be pairs of hex digits"},
        {R"({"faults": [{"type": "melt"}]})", "faults[0].type: unknown fault \"melt\""},
        {R"({"faults": [{"type": "gatt_silent", "phone": "nobody"}]})",
         "faults[0].phone: no phone is named \"nobody\""},
        {R"({"faults": [{"type": "call_result", "call": "sd_ble_gap_scan_start", "result": "NRF_ERROR_BUSY"}]})",
         "faults[0]: needs one of: nth, from_ms"},
        {R"({"faults": [{"type": "call_result", "call": "sd_fly", "result": 1, "nth": 1}]})",
         "faults[0].call: \"sd_fly\" is not a driver call"},
        {R"({"faults": [{"type": "call_result", "call": "sd_ble_enable", "result": "NRF_NOPE", "nth": 1}]})",
         "faults[0].result: unknown result code"},
        {R"({"phones": [{)" + phone +
             R"(, "name": "p"}], "faults": [{"type": "out_of_range", "phone": "p", "from_ms": 10, "until_ms": 5}]})",
         "faults[0].until_ms: must be later than from_ms"},
        {R"({"pcap": 1})", "pcap: must be a string"},
        {R"({"pcap": ""})", "pcap: must name a file"},
        {R"({"pcap_empty_pdus": "yes"})", "pcap_empty_pdus: must be true or false"},
        {"{\n  \"seed\": 1,\n  oops\n}", "not valid JSON: parse error at line 3"},
    };
    for (const mistake& m : mistakes) {
        const std::string error = load_error(m.text);
        EXPECT_NE(error.find(m.expected), std::string::npos)
            << "scenario: " << m.text << "\nerror: " << error;
        EXPECT_EQ(error.rfind("scenario test.json: ", 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(SimScenario, AnUnusableScenarioFailsTheOpenWithOneLineAndStartsNothing) {
    sim_testing::session s(
        R"({"phones": [{"uuid": "a0a489971097bba1b343eddd8f50f6ac", "adv_interval_ms": "fast"}]})");
    EXPECT_EQ(s.open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_INVALID_ARGUMENT));
    const auto logs = s.logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(logs[0].find(s.path()), std::string::npos) << logs[0];
    EXPECT_NE(logs[0].find("phones[0].adv_interval_ms: must be a number"), std::string::npos)
        << logs[0];
    EXPECT_EQ(sd_ble_enable(s.adapter(), nullptr),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE));
    platform::sleep_ms(50);
    EXPECT_TRUE(s.statuses().empty());
    EXPECT_EQ(s.event_count(), 0u);
}

TEST(SimScenario, TheTraceFileHasOneJsonLinePerCallAndEvent) {
    const std::string trace = sim_testing::write_temp_file("trace.jsonl", "");
    {
        sim_testing::session s(
            sim_testing::one_phone_world("", R"(, "trace": ")" + trace + "\"", 20));
        ASSERT_EQ(s.open(), static_cast<uint32_t>(NRF_SUCCESS));
        ASSERT_EQ(s.enable(), static_cast<uint32_t>(NRF_SUCCESS));
        ASSERT_EQ(s.start_scan(), static_cast<uint32_t>(NRF_SUCCESS));
        ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_ADV_REPORT, 20000), 0);
    }
    std::ifstream in(trace);
    std::string line;
    bool report = false;
    bool enable = false;
    while (std::getline(in, line)) {
        const auto j = nlohmann::json::parse(line);  // every line is JSON
        ASSERT_TRUE(j.contains("t")) << line;
        report = report || j.value("event", "") == "BLE_GAP_EVT_ADV_REPORT";
        enable = enable || (j.value("call", "") == "sd_ble_enable" && j["result"] == 0);
    }
    EXPECT_TRUE(report);
    EXPECT_TRUE(enable);

    // A trace that cannot be written stops the open, like any other scenario problem.
    sim_testing::session bad(
        sim_testing::one_phone_world("", R"(, "trace": "/nonexistent/dir/t.jsonl")"));
    EXPECT_EQ(bad.open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_INVALID_ARGUMENT));
    ASSERT_EQ(bad.logs().size(), 1u);
    EXPECT_NE(bad.logs()[0].find("/nonexistent/dir/t.jsonl"), std::string::npos);
}

TEST(SimScenario, AMissingFileFailsLikeAMissingSerialPort) {
    register_backends();
    const std::string port = "sim:/nonexistent/orvette/world.json";
    auto* phy = sd_rpc_physical_layer_create_uart(port.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE,
                                                  SD_RPC_PARITY_NONE);
    adapter_t* adapter = sd_rpc_adapter_create(
        sd_rpc_transport_layer_create(sd_rpc_data_link_layer_create_bt_three_wire(phy, 250), 1500));
    static std::string logged;
    logged.clear();
    const uint32_t result =
        sd_rpc_open(adapter, nullptr, nullptr,
                    [](adapter_t*, sd_rpc_log_severity_t, const char* text) { logged += text; });
    EXPECT_EQ(result, static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIAL_PORT));
    EXPECT_NE(logged.find("/nonexistent/orvette/world.json: cannot open the file"),
              std::string::npos)
        << logged;
}

}  // namespace
