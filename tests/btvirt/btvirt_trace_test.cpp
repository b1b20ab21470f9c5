// The HCI trace of a whole run of the program on an emulated controller, read back by a
// protocol analyser nobody here wrote (tshark): the file must open, every packet must decode
// without a malformed part, and commands, events and ATT must be where and how they were
// sent. Our own tests read the trace with our own idea of the format; an independent reader
// catches the mistakes both sides would share.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hci/btsnoop.h"
#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/hci_peer.h"
#include "tests/support/process_runner.h"

namespace {

namespace fs = std::filesystem;
using btvirt_testing::hci_peer;
using btvirt_testing::world;
using testing_support::process_options;
using testing_support::process_result;
using testing_support::run_process;

constexpr const char* uuid = "a0a489971097bba1b343eddd8f50f6ac";

// The runner starts a program by its path; the analyser is found the way a shell would.
std::string find_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        const fs::path candidate = fs::path(folder) / name;
        std::error_code e;
        if (fs::is_regular_file(candidate, e) &&
            (fs::status(candidate, e).permissions() & fs::perms::owner_exec) != fs::perms::none) {
            return candidate.string();
        }
    }
    return "";
}

// The records of a btsnoop file as our own reading sees them: how many, and whether the
// file holds exactly the header and whole records. The analyser must see the same number.
struct snoop_outline {
    bool header_ok = false;
    size_t records = 0;
    bool whole = false;  // the file ends where a record ends
    std::string trouble;
};

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
           uint32_t{b[at + 3]};
}

snoop_outline outline(const std::string& path) {
    snoop_outline o;
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    const std::vector<uint8_t> header{'b', 't', 's', 'n', 'o', 'o', 'p', 0,
                                      0,   0,   0,   1,   0,   0,   3,   0xEA};
    if (b.size() < header.size() || !std::equal(header.begin(), header.end(), b.begin())) {
        o.trouble = "the file does not start with a btsnoop header for H4 (" +
                    std::to_string(b.size()) + " bytes in all)";
        return o;
    }
    o.header_ok = true;
    size_t at = header.size();
    while (at + 24 <= b.size()) {
        const uint32_t original = be32(b, at);
        const uint32_t included = be32(b, at + 4);
        if (original != included) {
            o.trouble = "record " + std::to_string(o.records + 1) + " is cut short";
            return o;
        }
        if (at + 24 + included > b.size()) break;
        at += 24 + included;
        ++o.records;
    }
    o.whole = at == b.size();
    if (!o.whole) o.trouble = "the file ends inside a record";
    return o;
}

// One packet as the analyser decoded it, a field per column (see `fields` below); a field
// that occurs more than once holds its values joined by commas, one that does not is empty.
enum column {
    frame_number,
    direction,  // 0x00 sent by the host, 0x01 received from the controller
    h4_type,    // 0x01 command, 0x02 ACL data, 0x04 event
    command_opcode,
    event_code,
    le_meta_subevent,
    att_opcode,
    expert_severity,
    expert_message,
    malformed,
    column_count
};

const std::vector<std::string> fields{
    "frame.number",     "hci_h4.direction",    "hci_h4.type",
    "bthci_cmd.opcode", "bthci_evt.code",      "bthci_evt.le_meta_subevent",
    "btatt.opcode",     "_ws.expert.severity", "_ws.expert.message",
    "_ws.malformed",
};

using row = std::vector<std::string>;

std::vector<row> parse_rows(const std::string& text) {
    std::vector<row> rows;
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        row r;
        std::stringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t')) r.push_back(cell);
        r.resize(column_count);
        rows.push_back(std::move(r));
    }
    return rows;
}

std::string show(const row& r) {
    std::string text;
    for (size_t i = 0; i < r.size(); ++i) {
        if (!r[i].empty()) text += (text.empty() ? "" : " ") + fields[i] + "=" + r[i];
    }
    return text;
}

bool has_value(const std::string& cell, const std::string& value) {
    std::stringstream values(cell);
    std::string v;
    while (std::getline(values, v, ',')) {
        if (v == value) return true;
    }
    return false;
}

// Expert items of error severity (a malformed packet is one) or worse; the analyser writes
// severities as numbers, error being 0x00800000.
bool has_error_severity(const std::string& cell) {
    std::stringstream values(cell);
    std::string v;
    while (std::getline(values, v, ',')) {
        if (!v.empty() && std::stoul(v, nullptr, 0) >= 0x00800000UL) return true;
    }
    return false;
}

// Runs the analyser on `trace` for the columns above. `config_folder` (made here) becomes its
// configuration folder, so that a developer's profile (protocols switched off, other
// preferences) cannot change what it decodes; -n: no name lookups.
process_result decode(const std::string& tshark, const std::string& trace,
                      const std::string& config_folder) {
    fs::create_directories(config_folder);
    process_options read;
    read.args = {
        "WIRESHARK_CONFIG_DIR=" + config_folder, tshark, "-n", "-r", trace, "-T", "fields"};
    for (const std::string& f : fields) {
        read.args.push_back("-e");
        read.args.push_back(f);
    }
    read.time_limit_ms = 20000;
    return run_process("/usr/bin/env", read);
}

const char* const no_tshark =
    "tshark is not installed (not found on PATH): this test reads the program's HCI trace "
    "with it. Install the Debian package tshark (scripts/lib.sh does).";

// A fresh folder that goes with the test.
class scratch_folder {
  public:
    scratch_folder() {
        std::string name = (fs::temp_directory_path() / "orvette-trace-XXXXXX").string();
        if (::mkdtemp(name.data()) != nullptr) path_ = name;
    }
    ~scratch_folder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The checks below are only as good as the analyser's word on a broken packet: a trace with
// one whole packet and one whose LE Meta event ends early must show the second, and only it,
// as malformed at error severity.
TEST(BtvirtTrace, TheAnalyserReportsAMalformedPacketInTheColumnsTheChecksRead) {
    const std::string tshark = find_on_path("tshark");
    ASSERT_FALSE(tshark.empty()) << no_tshark;
    scratch_folder folder;
    ASSERT_FALSE(folder.path().empty()) << "cannot make a temporary folder";

    const std::string trace = folder.path() + "/broken.btsnoop";
    {
        std::ofstream out(trace, std::ios::binary);
        hci::btsnoop_writer writer(out);
        const std::vector<uint8_t> reset{0x01, 0x03, 0x0C, 0x00};
        // LE Connection Complete has 18 parameter bytes; this one has 3.
        const std::vector<uint8_t> short_meta{0x04, 0x3E, 0x03, 0x01, 0x00, 0x00};
        writer.write(reset, hci::direction::sent, 0);
        writer.write(short_meta, hci::direction::received, 1000);
    }
    const process_result decoded = decode(tshark, trace, folder.path() + "/analyser-config");
    ASSERT_TRUE(decoded.exited && decoded.exit_code == 0) << testing_support::describe(decoded);
    const std::vector<row> rows = parse_rows(decoded.out);
    ASSERT_EQ(rows.size(), 2u) << decoded.out;
    EXPECT_TRUE(rows[0][malformed].empty() && !has_error_severity(rows[0][expert_severity]))
        << show(rows[0]);
    EXPECT_EQ(rows[1][event_code], "0x3e") << show(rows[1]);
    EXPECT_FALSE(rows[1][malformed].empty()) << show(rows[1]);
    EXPECT_TRUE(has_error_severity(rows[1][expert_severity])) << show(rows[1]);
}

TEST(BtvirtTrace, AWholeRunsHciTraceDecodesCleanlyInAnIndependentAnalyser) {
    // Before the emulator: without the analyser there is nothing to check the trace with.
    const std::string tshark = find_on_path("tshark");
    ASSERT_FALSE(tshark.empty()) << no_tshark;

    world w;
    hci_peer phone(w.le_socket_path());
    ASSERT_TRUE(phone.reset());
    hci::advertising_parameters every_50_ms;
    every_50_ms.interval_min = 80;
    every_50_ms.interval_max = 80;
    ASSERT_TRUE(phone.start_advertising(every_50_ms, btvirt_testing::flags_and_uuid128(uuid)));

    const std::string trace = w.folder() + "/run.btsnoop";
    process_options run;
    run.args = {"ORVETTE_HCI_SNOOP=" + trace, ORVETTE_BINARY, "-chci:unix:" + w.le_socket_path(),
                std::string("-u") + uuid,     "-v4",          "-s"};
    // The discovery's first request goes out before the call that starts it returns; the
    // pause lets the controller's answers to it reach the trace too.
    run.steps = {{"Got BLE_GAP_EVT_CONNECTED central", 0, ""},
                 {"sd_ble_gattc_primary_services_discover success", 200, "q\n"}};
    run.time_limit_ms = 30000;
    const process_result ran = run_process("/usr/bin/env", run);
    ASSERT_TRUE(ran.exited) << testing_support::describe(ran);
    ASSERT_EQ(ran.exit_code, 0) << testing_support::describe(ran);
    ASSERT_EQ(ran.steps_written, run.steps.size()) << testing_support::describe(ran);
    ASSERT_NE(ran.out.find("HCI trace (btsnoop) written to " + trace), std::string::npos)
        << ran.out;

    const snoop_outline ours = outline(trace);
    ASSERT_TRUE(ours.header_ok && ours.whole) << ours.trouble;

    const process_result decoded = decode(tshark, trace, w.folder() + "/analyser-config");
    ASSERT_TRUE(decoded.exited) << testing_support::describe(decoded);
    ASSERT_EQ(decoded.exit_code, 0) << "tshark could not read the trace\n"
                                    << testing_support::describe(decoded);

    const std::vector<row> rows = parse_rows(decoded.out);
    ASSERT_EQ(rows.size(), ours.records) << "tshark saw another number of packets\n" << decoded.out;

    std::map<std::string, size_t> by_type;
    std::set<std::string> subevents;
    size_t att_read_by_group_type_sent = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const row& r = rows[i];
        const std::string where = "packet " + std::to_string(i + 1) + ": " + show(r);
        EXPECT_EQ(r[frame_number], std::to_string(i + 1)) << where;
        EXPECT_TRUE(r[malformed].empty() && !has_error_severity(r[expert_severity]))
            << "malformed, or an error found in it; " << where;
        ++by_type[r[h4_type]];
        if (r[h4_type] == "0x01") {
            EXPECT_EQ(r[direction], "0x00") << "a command not sent by the host; " << where;
            EXPECT_FALSE(r[command_opcode].empty()) << where;
        } else if (r[h4_type] == "0x04") {
            EXPECT_EQ(r[direction], "0x01") << "an event not from the controller; " << where;
            EXPECT_FALSE(r[event_code].empty()) << where;
            if (r[event_code] == "0x3e") {
                EXPECT_FALSE(r[le_meta_subevent].empty()) << "LE Meta not decoded; " << where;
                subevents.insert(r[le_meta_subevent]);
            }
        } else {
            EXPECT_EQ(r[h4_type], "0x02") << "neither command, event nor ACL; " << where;
        }
        if (has_value(r[att_opcode], "0x10")) {
            EXPECT_EQ(r[direction], "0x00") << where;
            ++att_read_by_group_type_sent;
        }
    }
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front()[command_opcode], "0x0c03")
        << "the run starts with Reset; " << show(rows.front());
    EXPECT_GE(by_type["0x01"], 5u) << decoded.out;
    EXPECT_GE(by_type["0x04"], 5u) << decoded.out;
    EXPECT_GE(att_read_by_group_type_sent, 1u) << "no Read By Group Type Request\n" << decoded.out;
    EXPECT_TRUE(subevents.count("0x02")) << "no LE Advertising Report\n" << decoded.out;
    EXPECT_TRUE(subevents.count("0x01") || subevents.count("0x0a")) << "no LE Connection Complete\n"
                                                                    << decoded.out;
}

}  // namespace
