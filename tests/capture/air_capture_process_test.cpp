// The capture of the simulated air as tshark reads it, from a run of the orvette program
// on a world with GATT traffic, a bystander with malformed advertising data, the beacon, a
// parameter update and a phone that hangs up: every packet decodes, no CRC is wrong, the
// advertising PDUs and CONNECT_INDs are what the world had on the air, and each
// connection's ATT PDUs are the GATT calls and events of the run's own trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/e2e_scenario.h"
#include "tests/support/edge_layout_phone.h"
#include "tests/support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const char* const kUuidA = "a0a489971097bba1b343eddd8f50f6ac";
const char* const kAddressA = "d2:4f:0a:91:3c:01";
const char* const kUuidB = "feedfeadfeadfeadfeadfeadfeadfead";
const char* const kAddressB = "e7:19:b3:5d:20:8a";
const char* const kBystander = "c3:00:00:00:00:42";
const char* const kDongle = "c0:ff:ee:00:51:4d";
const char* const kSetupEnded = "service discovery ended, available for new connection";
const char* const kNoTshark =
    "tshark did not run: this test reads the capture with it. Install the Debian package "
    "tshark (scripts/lib.sh does).";

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

// The columns read from every packet, in this order.
const std::vector<std::string> kFields = {
    "frame.number",                           // 0
    "btle.access_address",                    // 1
    "btle_rf.pdu_type",                       // 2: 0 advertising, 2 central, 3 peripheral
    "btle.advertising_header.pdu_type",       // 3
    "btle.advertising_address",               // 4
    "btle.initiator_address",                 // 5
    "btle.link_layer_data.access_address",    // 6
    "btle.link_layer_data.interval",          // 7
    "btle.link_layer_data.timeout",           // 8
    "btle.advertising_header.randomized_tx",  // 9
    "btle.advertising_header.randomized_rx",  // 10
    "btle.control_opcode",                    // 11
    "btle.control.error_code",                // 12
    "btle.control.interval",                  // 13
    "btatt.opcode",                           // 14
    "btcommon.eir_ad.entry.custom_uuid_128",  // 15
    "btle_rf.channel",                        // 16
    "btle.link_layer_data.hop",               // 17
};

struct packet {
    std::vector<std::string> cells;
    const std::string& operator[](size_t i) const { return cells[i]; }
};

process_result run_tshark(const std::string& pcap, const std::string& config,
                          const std::vector<std::string>& extra) {
    fs::create_directories(config);
    process_options run;
    // A fresh configuration folder: a developer's profile cannot change what is decoded.
    run.args = {"WIRESHARK_CONFIG_DIR=" + config, "tshark", "-n", "-r", pcap};
    run.args.insert(run.args.end(), extra.begin(), extra.end());
    run.time_limit_ms = 60000;
    return run_process("/usr/bin/env", run);
}

std::vector<packet> decode(const std::string& pcap, const std::string& config) {
    std::vector<std::string> args = {"-T", "fields", "-E", "separator=/t", "-E", "occurrence=a"};
    for (const std::string& f : kFields) {
        args.push_back("-e");
        args.push_back(f);
    }
    const process_result r = run_tshark(pcap, config, args);
    EXPECT_TRUE(r.exited && r.exit_code == 0) << kNoTshark << "\n" << describe(r);
    std::vector<packet> packets;
    for (const std::string& line : split(r.out, '\n')) {
        if (line.empty()) continue;
        packet p{split(line, '\t')};
        p.cells.resize(kFields.size());
        packets.push_back(std::move(p));
    }
    return packets;
}

// Frames that match `filter`, as tshark lists them.
std::string frames_matching(const std::string& pcap, const std::string& config,
                            const std::string& filter) {
    const process_result r = run_tshark(pcap, config, {"-Y", filter});
    EXPECT_TRUE(r.exited && r.exit_code == 0) << kNoTshark << "\n" << describe(r);
    return r.out;
}

int number(const std::string& cell) {
    return cell.empty() ? -1 : static_cast<int>(std::stol(split(cell, ',')[0], nullptr, 0));
}

// The ATT opcode a GATT client call puts on the air, or -1 for a call that sends nothing.
int request_opcode(const trace_line& call) {
    const std::string name = call["call"];
    const auto& args = call["args"];
    // A discovery from handle 0 is answered by the stack itself.
    if (name == "sd_ble_gattc_primary_services_discover") {
        if (args.value("start_handle", -1) == 0) return -1;
        return args.contains("srvc_uuid") && !args["srvc_uuid"].is_null() ? 0x06 : 0x10;
    }
    const bool from_zero =
        args.contains("handle_range") && args["handle_range"].value("start_handle", -1) == 0;
    if (name == "sd_ble_gattc_characteristics_discover") return from_zero ? -1 : 0x08;
    if (name == "sd_ble_gattc_descriptors_discover") return from_zero ? -1 : 0x04;
    if (name == "sd_ble_gattc_read") return args.value("offset", 0) == 0 ? 0x0A : 0x0C;
    if (name == "sd_ble_gattc_write") {
        return args["write_params"].value("write_op", 0) == 2 ? 0x52 : 0x12;
    }
    return -1;
}

// The ATT opcode that brought a GATT client event to the dongle, or -1.
int answer_opcode(const trace_line& event, int request) {
    const std::string name = event["event"];
    if (name == "BLE_GATTC_EVT_HVX") return 0x1B;
    if (event.value("answered_by", "") == "stack") return -1;
    const bool failed = event.value("gatt_status", 0) != 0;
    if (name == "BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP") {
        return failed ? 0x01 : (request == 0x06 ? 0x07 : 0x11);
    }
    if (name == "BLE_GATTC_EVT_CHAR_DISC_RSP") return failed ? 0x01 : 0x09;
    if (name == "BLE_GATTC_EVT_DESC_DISC_RSP") return failed ? 0x01 : 0x05;
    if (name == "BLE_GATTC_EVT_READ_RSP") return failed ? 0x01 : (request == 0x0C ? 0x0D : 0x0B);
    if (name == "BLE_GATTC_EVT_WRITE_RSP") return failed ? 0x01 : 0x13;
    return -1;
}

// One connection as the trace tells it: the peer, and its ATT traffic each way.
struct traced_link {
    std::string peer;
    int interval = 0;
    int timeout = 0;
    std::vector<int> requests;  // central to peripheral
    std::vector<int> answers;   // peripheral to central
    std::vector<int> updates;   // the intervals that parameter updates brought
};

std::vector<traced_link> links_in(const trace_lines& trace) {
    std::vector<traced_link> links;
    std::map<int, size_t> open;  // conn_handle -> index in links
    for (const trace_line& line : trace) {
        if (is_event(line, "BLE_GAP_EVT_CONNECTED")) {
            traced_link l;
            l.peer = lower(line["peer_addr"].get<std::string>());
            l.interval = line["conn_params"]["min_conn_interval"];
            l.timeout = line["conn_params"]["conn_sup_timeout"];
            open[line["conn_handle"].get<int>()] = links.size();
            links.push_back(l);
            continue;
        }
        const bool call = line.contains("call");
        const int handle =
            call ? line["args"].value("conn_handle", -1) : line.value("conn_handle", -1);
        const auto found = open.find(handle);
        if (found == open.end()) continue;
        traced_link& l = links[found->second];
        if (call) {
            if (line["result"] != 0 || line.value("scripted", false)) continue;
            const int op = request_opcode(line);
            if (op >= 0) l.requests.push_back(op);
        } else if (line.contains("event")) {
            if (is_event(line, "BLE_GAP_EVT_CONN_PARAM_UPDATE")) {
                l.updates.push_back(line["conn_params"]["min_conn_interval"]);
                continue;
            }
            if (is_event(line, "BLE_GAP_EVT_DISCONNECTED")) {
                open.erase(found);
                continue;
            }
            const int op = answer_opcode(line, l.requests.empty() ? -1 : l.requests.back());
            if (op >= 0) l.answers.push_back(op);
        }
    }
    return links;
}

std::string hex_list(const std::vector<int>& values) {
    std::string text;
    char buffer[8];
    for (int v : values) {
        std::snprintf(buffer, sizeof buffer, "%02x ", v);
        text += buffer;
    }
    return text;
}

nlohmann::json two_phones_world() {
    return {{"seed", 61},
            {"time_scale", 20},
            {"phones",
             {{{"name", "phone-a"},
               {"uuid", kUuidA},
               {"address", "D2:4F:0A:91:3C:01"},
               {"adv_interval_ms", 50}},
              {{"name", "phone-b"},
               {"uuid", kUuidB},
               {"address", "E7:19:B3:5D:20:8A"},
               {"adv_interval_ms", 50},
               {"conn_param_request",
                {{"after_connect_ms", 1000},
                 {"min_interval", 24},
                 {"max_interval", 40},
                 {"slave_latency", 0},
                 {"sup_timeout", 400}}}}}},
            // The manufacturer data's length runs past the end of the advertisement.
            {"advertisers",
             {{{"name", "broken"},
               {"address", "C3:00:00:00:00:42"},
               {"adv_interval_ms", 100},
               {"data_hex", "0201060bff4c0002"}}}},
            {"faults",
             {{{"type", "disconnect"},
               {"phone", "phone-a"},
               {"connection", 1},
               {"after_connect_ms", 2500},
               {"reason", "0x13"}}}}};
}

// Adds "pcap" (a file beside the trace) to the scenario file and returns its path.
std::string add_pcap_key(const e2e_scenario& scenario, const std::string& name) {
    std::ifstream in(scenario.scenario_path());
    nlohmann::json world = nlohmann::json::parse(in);
    const std::string path = (fs::path(scenario.dir()) / name).string();
    world["pcap"] = path;
    std::ofstream(scenario.scenario_path(), std::ios::trunc) << world.dump(2);
    return path;
}

}  // namespace

TEST(AirCaptureProcess, TsharkReadsTheAirAsTheTraceTellsIt) {
    const e2e_scenario scenario(two_phones_world());
    const std::string pcap = add_pcap_key(scenario, "air.pcap");
    const process_result result = run_orvette_on(
        scenario, {std::string("-u") + kUuidA, std::string("-u") + kUuidB, "-v3"},
        {{"BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION", 0, ""}, {kSetupEnded, 200, "q"}}, 90000);
    ASSERT_TRUE(ended_cleanly(result));
    ASSERT_TRUE(fs::exists(pcap));
    const std::string config = (fs::path(scenario.dir()) / "wireshark").string();

    // Every packet decodes, save the bystander's advertisements, whose data is malformed
    // on purpose and goes on the air as it is; and every CRC holds.
    EXPECT_EQ(frames_matching(pcap, config,
                              std::string("_ws.malformed && !(btle.advertising_address == ") +
                                  kBystander + ")"),
              "");
    EXPECT_NE(frames_matching(pcap, config, "_ws.malformed"), "");
    EXPECT_EQ(frames_matching(pcap, config, "btle.crc.incorrect || _ws.expert.group == 0x01000000"),
              "");

    const std::vector<packet> packets = decode(pcap, config);
    ASSERT_FALSE(packets.empty());
    const trace_lines trace = scenario.read_trace();
    const std::vector<traced_link> traced = links_in(trace);

    // Advertising: the phones' ADV_IND with their UUID, the
    // bystander's bytes as they are, the beacon as a non-connectable advertisement.
    std::map<std::string, std::map<std::string, int>> adv_types;  // address -> type -> count
    bool phone_uuid_seen = false;
    std::vector<packet> connect_inds;
    for (const packet& p : packets) {
        if (p[2] != "0" && !p[2].empty()) continue;
        if (p[1] != "0x8e89bed6") continue;
        const int type = number(p[3]);
        if (type == 5) {
            connect_inds.push_back(p);
            continue;
        }
        adv_types[lower(p[4])][std::to_string(type)]++;
        if (lower(p[4]) == kAddressA && lower(p[15]).find("a0a48997") != std::string::npos) {
            phone_uuid_seen = true;
        }
        if (lower(p[4]) == kAddressA) {
            EXPECT_EQ(p[9], "1");  // random static address
        }
    }
    EXPECT_GT(adv_types[kAddressA]["0"], 0);
    EXPECT_GT(adv_types[kAddressB]["0"], 0);
    EXPECT_GT(adv_types[kBystander]["2"], 0);
    EXPECT_GT(adv_types[kDongle]["2"], 0);
    EXPECT_TRUE(phone_uuid_seen);

    // One CONNECT_INDs per connection, in the trace's order, from the dongle to the phone,
    // with the interval and time-out the connection got.
    ASSERT_EQ(connect_inds.size(), traced.size());
    std::map<std::string, size_t> by_access_address;  // -> index in traced
    for (size_t i = 0; i < traced.size(); ++i) {
        SCOPED_TRACE("connection " + std::to_string(i));
        const packet& c = connect_inds[i];
        EXPECT_EQ(lower(c[4]), traced[i].peer);
        EXPECT_EQ(lower(c[5]), kDongle);
        EXPECT_EQ(c[9], "1");
        EXPECT_EQ(c[10], "1");
        EXPECT_EQ(number(c[7]), traced[i].interval);
        EXPECT_EQ(number(c[8]), traced[i].timeout);
        EXPECT_GE(number(c[17]), 5);
        by_access_address[lower(c[6])] = i;
    }
    ASSERT_GE(traced.size(), 3u);  // phone A twice, phone B once

    // Per connection: the ATT opcodes each way, the parameter update and the termination.
    std::vector<traced_link> seen(traced.size());
    std::vector<std::vector<int>> terminations(traced.size());
    for (const packet& p : packets) {
        if (p[2] != "2" && p[2] != "3") continue;
        const auto found = by_access_address.find(lower(p[1]));
        ASSERT_NE(found, by_access_address.end()) << "a data PDU on an unknown access address";
        traced_link& l = seen[found->second];
        const bool from_central = p[2] == "2";
        const int rf = number(p[16]);
        EXPECT_TRUE(rf != 0 && rf != 12 && rf != 39) << "data PDU on an advertising channel";
        if (!p[14].empty()) (from_central ? l.requests : l.answers).push_back(number(p[14]));
        const int control = number(p[11]);
        if (control == 0x00 && from_central) l.updates.push_back(number(p[13]));
        if (control == 0x02)
            terminations[found->second].push_back(number(p[12]) | (from_central ? 0x100 : 0));
    }
    size_t updates = 0;
    size_t peer_terminations = 0;
    for (size_t i = 0; i < traced.size(); ++i) {
        SCOPED_TRACE("connection " + std::to_string(i) + " with " + traced[i].peer);
        // A request the program made just as the link ended may never have reached the air.
        std::vector<int> requests = traced[i].requests;
        if (requests.size() == seen[i].requests.size() + 1) requests.pop_back();
        EXPECT_EQ(hex_list(seen[i].requests), hex_list(requests));
        EXPECT_EQ(hex_list(seen[i].answers), hex_list(traced[i].answers));
        // An update whose instant the link (or the run) did not live to see is on the air
        // without its event.
        std::vector<int> seen_updates = seen[i].updates;
        if (seen_updates.size() == traced[i].updates.size() + 1) seen_updates.pop_back();
        EXPECT_EQ(seen_updates, traced[i].updates);
        updates += seen[i].updates.size();
        for (int t : terminations[i]) peer_terminations += t == 0x13 ? 1 : 0;
    }
    EXPECT_GE(updates, 1u);
    EXPECT_GE(peer_terminations, 1u);  // phone A hung up with reason 0x13
}

TEST(AirCaptureProcess, TheCccdSearchIsOnTheAirAndTheContinuationFromHandleZeroIsNot) {
    const e2e_scenario scenario(
        nlohmann::json::parse(R"({ "seed": 5, "time_scale": 20, "phones": [ )" +
                              testing_support::edge_layout_phone("a", kUuidA) + " ] }"));
    const std::string pcap = add_pcap_key(scenario, "air.pcap");
    const process_result result = run_orvette_on(scenario, {std::string("-u") + kUuidA, "-v3"},
                                                 {{kSetupEnded, 200, "q"}}, 60000);
    ASSERT_TRUE(ended_cleanly(result));
    const std::string config = (fs::path(scenario.dir()) / "wireshark").string();
    EXPECT_EQ(frames_matching(pcap, config, "_ws.malformed || btle.crc.incorrect"), "");
    // The 'response' characteristic's range after its value, and the phone's answer.
    EXPECT_NE(frames_matching(pcap, config,
                              "btatt.opcode == 0x04 && btatt.starting_handle == 0x000b && "
                              "btatt.ending_handle == 0x000c"),
              "");
    EXPECT_NE(frames_matching(pcap, config, "btatt.opcode == 0x05 && btatt.uuid16 == 0x2901"), "");
    // No request ever names handle 0.
    EXPECT_EQ(frames_matching(pcap, config, "btatt.starting_handle == 0"), "");

    const std::vector<traced_link> traced = links_in(scenario.read_trace());
    ASSERT_EQ(traced.size(), 1u);
    std::vector<int> requests;
    std::vector<int> answers;
    for (const packet& p : decode(pcap, config)) {
        if ((p[2] != "2" && p[2] != "3") || p[14].empty()) continue;
        (p[2] == "2" ? requests : answers).push_back(number(p[14]));
    }
    EXPECT_EQ(hex_list(requests), hex_list(traced[0].requests));
    EXPECT_EQ(hex_list(answers), hex_list(traced[0].answers));
    EXPECT_NE(std::find(requests.begin(), requests.end(), 0x04), requests.end());
}

TEST(AirCaptureProcess, TheEnvironmentWinsAndAnUnwritableFileOnlyWarns) {
    nlohmann::json world = two_phones_world();
    world.erase("faults");
    const e2e_scenario scenario(world);
    const std::string from_scenario = add_pcap_key(scenario, "scenario.pcap");
    const std::string from_environment = (fs::path(scenario.dir()) / "environment.pcap").string();
    process_options run;
    run.args = {scenario.port_option(), std::string("-u") + kUuidA, "-v3"};
    run.steps = {{kSetupEnded, 0, "q"}};
    run.time_limit_ms = 60000;
    run.env = {{"ORVETTE_SIM_PCAP", from_environment}};
    const process_result result = run_process(ORVETTE_BINARY, run);
    ASSERT_TRUE(ended_cleanly(result));
    EXPECT_TRUE(fs::exists(from_environment));
    EXPECT_FALSE(fs::exists(from_scenario));
    const std::string config = (fs::path(scenario.dir()) / "wireshark").string();
    EXPECT_NE(frames_matching(from_environment, config, "btle.advertising_header.pdu_type == 5"),
              "");

    // A capture that cannot be made: one warning, and the run goes on.
    run.env = {{"ORVETTE_SIM_PCAP", "/nonexistent/orvette/air.pcap"}};
    const process_result unwritable = run_process(ORVETTE_BINARY, run);
    ASSERT_TRUE(ended_cleanly(unwritable));
    const auto warnings = lines_with(unwritable.out, "Warning: air capture: ");
    ASSERT_EQ(warnings.size(), 1u) << describe(unwritable);
    EXPECT_NE(warnings[0].find("/nonexistent/orvette/air.pcap"), std::string::npos);
    EXPECT_FALSE(lines_with(unwritable.out, kSetupEnded).empty());
}
