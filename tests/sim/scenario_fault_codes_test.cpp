// Codes a scenario gives by name or by number (result codes, link status codes, event IDs,
// HCI reasons): each name and its number read alike, and what is neither is refused with
// the kind of code named.
#include <gtest/gtest.h>

#include <string>

#include "driver/ble.h"
#include "driver/sd_rpc.h"
#include "sim/scenario/scenario_loader.h"
#include "sim/scenario/scenario_reader.h"

namespace {

std::optional<int64_t> colour_by_name(const std::string& name) {
    if (name == "red") return 1;
    return std::nullopt;
}

const sim::code_kind colour{"colour", &colour_by_name, 0, 9, true, " (or a digit)"};
const sim::code_kind named_only{"colour", &colour_by_name, 0, 9, false};

std::string code_error(const nlohmann::json& value, const sim::code_kind& kind) {
    sim::scenario_reader r;
    int64_t out = -1;
    EXPECT_FALSE(r.code(value, "x", kind, out)) << value;
    EXPECT_EQ(out, -1);
    return r.error();
}

TEST(ScenarioCodes, ANameANumberOrAHexNumber) {
    sim::scenario_reader r;
    int64_t out = 0;
    EXPECT_TRUE(r.code("red", "x", colour, out));
    EXPECT_EQ(out, 1);
    EXPECT_TRUE(r.code(7, "x", colour, out));
    EXPECT_EQ(out, 7);
    EXPECT_TRUE(r.code("0x9", "x", colour, out));
    EXPECT_EQ(out, 9);
    EXPECT_EQ(code_error("blue", colour), "x: unknown colour \"blue\" (or a digit)");
    // Only a lowercase "0x" makes a number of a string; anything else is a name.
    EXPECT_EQ(code_error("0X9", colour), "x: unknown colour \"0X9\" (or a digit)");
    EXPECT_EQ(code_error(10, colour), "x: must be between 0 and 9, not 10");
    EXPECT_EQ(code_error("0xA", colour), "x: must be between 0 and 9, not 10");
    EXPECT_EQ(code_error(true, colour), "x: must be a whole number, not true/false");
    // A kind without a hex form reads every string as a name.
    EXPECT_EQ(code_error("0x1", named_only), "x: unknown colour \"0x1\"");
    EXPECT_TRUE(r.code(1, "x", named_only, out));
}

sim::scenario loaded(const std::string& fault) {
    sim::scenario s;
    std::string error;
    EXPECT_TRUE(sim::load_scenario_text(
        R"({"phones": [{"name": "p", "uuid": "a0a489971097bba1b343eddd8f50f6ac"}], "faults": [)" +
            fault + "]}",
        "test.json", s, error))
        << error;
    return s;
}

std::string refusal(const std::string& fault) {
    sim::scenario s;
    std::string error;
    EXPECT_FALSE(sim::load_scenario_text(
        R"({"phones": [{"name": "p", "uuid": "a0a489971097bba1b343eddd8f50f6ac"}], "faults": [)" +
            fault + "]}",
        "test.json", s, error));
    return error;
}

TEST(ScenarioCodes, EveryFaultReadsItsCodesByNameAndByNumber) {
    const auto result_of = [](const std::string& result) {
        return loaded(R"({"type": "call_result", "call": "sd_ble_enable", "nth": 1, "result": )" +
                      result + "}")
            .faults.at(0)
            .result;
    };
    EXPECT_EQ(result_of(R"("NRF_ERROR_BUSY")"), 0x11u);
    EXPECT_EQ(result_of(R"("0x11")"), 0x11u);
    EXPECT_EQ(result_of("17"), 0x11u);

    const auto gone = [](const std::string& keys) {
        return loaded(R"({"type": "dongle_gone", "at_ms": 5)" + keys + "}").faults.at(0);
    };
    EXPECT_EQ(gone(R"(, "status": "IO_RESOURCES_UNAVAILABLE")").status_code, 5);
    EXPECT_EQ(gone(R"(, "status": 5)").status_code, 5);
    EXPECT_EQ(gone("").result, static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
    EXPECT_EQ(gone(R"(, "result": "NRF_ERROR_SD_RPC_NO_RESPONSE")").result,
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_NO_RESPONSE));

    const auto event_of = [](const std::string& id) {
        return loaded(R"({"type": "event", "at_ms": 5, "event": )" + id + "}")
            .faults.at(0)
            .event_id;
    };
    EXPECT_EQ(event_of(R"("BLE_GAP_EVT_CONNECTED")"), BLE_GAP_EVT_CONNECTED);
    EXPECT_EQ(event_of(R"("0x10")"), BLE_GAP_EVT_CONNECTED);
    EXPECT_EQ(event_of("16"), BLE_GAP_EVT_CONNECTED);

    const auto reason_of = [](const std::string& reason) {
        return loaded(R"({"type": "disconnect", "phone": "p", "at_ms": 5, "reason": )" + reason +
                      "}")
            .faults.at(0)
            .reason;
    };
    EXPECT_EQ(reason_of(R"("BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION")"), 0x13);
    EXPECT_EQ(reason_of(R"("0x13")"), 0x13);
    EXPECT_EQ(reason_of("19"), 0x13);
}

TEST(ScenarioCodes, AnUnknownCodeNamesItsKind) {
    EXPECT_EQ(refusal(R"({"type": "dongle_gone", "at_ms": 5, "status": "0x05"})"),
              "scenario test.json: faults[0].status: unknown status \"0x05\"");
    EXPECT_EQ(refusal(R"({"type": "event", "at_ms": 5, "event": "BLE_NOPE"})"),
              "scenario test.json: faults[0].event: unknown event \"BLE_NOPE\" (give the number)");
    EXPECT_EQ(refusal(R"({"type": "disconnect", "phone": "p", "at_ms": 5, "reason": 0})"),
              "scenario test.json: faults[0].reason: must be between 1 and 255, not 0");
    EXPECT_EQ(refusal(R"({"type": "disconnect", "phone": "p", "at_ms": 5, "reason": "GONE"})"),
              "scenario test.json: faults[0].reason: unknown HCI status \"GONE\"");
    EXPECT_EQ(refusal(R"({"type": "dongle_gone", "at_ms": 5, "result": "NRF_NOPE"})"),
              "scenario test.json: faults[0].result: unknown result code \"NRF_NOPE\"");
}

TEST(ScenarioCodes, TheUnknownFaultMessageListsEveryFaultTypeInOrder) {
    EXPECT_EQ(refusal(R"({"type": "melt"})"),
              "scenario test.json: faults[0].type: unknown fault \"melt\" (known: adv_storm, "
              "call_result, cccd, challenge_silent, connect_fail, connect_late, connect_never, "
              "connect_timeout, disconnect, dongle_gone, event, gatt_silent, out_of_range)");
}

}  // namespace
