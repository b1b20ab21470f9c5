// What a scenario file may be: a regular file of at most 16 MB. A device, a FIFO, a directory
// or a socket is refused without being read (a FIFO's open would wait for a writer, /dev/zero
// never ends), and so is a larger file, with the loader's one line and the open failing as
// for a missing serial port.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/backends.h"
#include "driver/sd_rpc.h"
#include "sim/scenario/scenario_loader.h"
#include "tests/sim/sim_session.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace {

namespace fs = std::filesystem;

struct load_outcome {
    bool ok = false;
    bool unreadable = false;
    std::string error;
};

load_outcome load(const std::string& path) {
    load_outcome out;
    sim::scenario loaded;
    out.ok = sim::load_scenario_file(path, loaded, out.error, &out.unreadable);
    return out;
}

// A fresh empty folder of its own for each test.
fs::path scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("orvette-file-limits-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A file of `size` bytes that takes no disk: a hole, then `tail`.
std::string sparse_file(const fs::path& path, uintmax_t size, const std::string& tail) {
    { std::ofstream(path.string(), std::ios::binary) << ""; }
    fs::resize_file(path, size - tail.size());
    std::ofstream(path.string(), std::ios::binary | std::ios::app) << tail;
    EXPECT_EQ(fs::file_size(path), size);
    return path.string();
}

uint32_t open_port(const std::string& port, std::string& logged) {
    register_backends();
    adapter_t* adapter = sd_rpc_adapter_create(sd_rpc_transport_layer_create(
        sd_rpc_data_link_layer_create_bt_three_wire(
            sd_rpc_physical_layer_create_uart(port.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE,
                                              SD_RPC_PARITY_NONE),
            250),
        1500));
    static std::string lines;
    lines.clear();
    const uint32_t result =
        sd_rpc_open(adapter, nullptr, nullptr,
                    [](adapter_t*, sd_rpc_log_severity_t, const char* text) { lines += text; });
    logged = lines;
    return result;
}

TEST(ScenarioFileLimits, ADirectoryIsRefusedUnread) {
    const std::string dir = scratch("directory").string();
    const load_outcome r = load(dir);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.unreadable);
    EXPECT_EQ(r.error,
              "scenario " + dir + ": cannot open the file: it is a directory, not a regular file");
}

TEST(ScenarioFileLimits, AnAbsurdPathIsNamedCutAndEscapedAsPortsAre) {
    const std::string path = "/nonexistent/\x1b" + std::string(100000, 'a');
    const load_outcome r = load(path);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.rfind("scenario /nonexistent/\\x1B" + std::string(186, 'a') + "...: ", 0), 0U)
        << r.error.substr(0, 300);
    EXPECT_LT(r.error.size(), 300U);
}

TEST(ScenarioFileLimits, ALargerFileIsRefusedUnreadAndExactly16MbIsRead) {
    const fs::path dir = scratch("size");
    // The hole reads as NUL bytes: not JSON, but read, so refused for its content.
    const load_outcome at_limit = load(sparse_file(dir / "at-limit.json", 16u << 20, "{}"));
    EXPECT_FALSE(at_limit.ok);
    EXPECT_FALSE(at_limit.unreadable) << at_limit.error;
    EXPECT_NE(at_limit.error.find(": not valid JSON"), std::string::npos) << at_limit.error;

    const std::string over = sparse_file(dir / "over.json", (16u << 20) + 1, "{}");
    const load_outcome r = load(over);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.unreadable);
    EXPECT_EQ(r.error, "scenario " + over +
                           ": cannot read the file: it is larger than 16 MB (16777216 bytes)");
    std::string logged;
    EXPECT_EQ(open_port("sim:" + over, logged),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIAL_PORT));
    EXPECT_NE(logged.find("larger than 16 MB"), std::string::npos) << logged;
    fs::remove_all(dir);
}

TEST(ScenarioFileLimits, JustUnder16MbOfJsonLoads) {
    // Blanks are JSON white space: a file of the largest size that is still a scenario.
    const fs::path dir = scratch("blanks");
    const fs::path path = dir / "blanks.json";
    {
        std::ofstream out(path.string(), std::ios::binary);
        out << R"({"seed": 3})";
        out << std::string((16u << 20) - 11, ' ');
    }
    ASSERT_EQ(fs::file_size(path), 16u << 20);
    const load_outcome r = load(path.string());
    EXPECT_TRUE(r.ok) << r.error;
    fs::remove_all(dir);
}

#if !defined(_WIN32)
TEST(ScenarioFileLimits, AnEndlessDeviceIsRefusedUnread) {
    const load_outcome r = load("/dev/zero");
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.unreadable);
    EXPECT_EQ(r.error,
              "scenario /dev/zero: cannot open the file: it is a device, not a regular file");
    std::string logged;
    EXPECT_EQ(open_port("sim:/dev/zero", logged),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIAL_PORT));
    EXPECT_NE(logged.find("it is a device"), std::string::npos) << logged;
}

TEST(ScenarioFileLimits, AFifoIsRefusedWithoutWaitingForAWriter) {
    const fs::path dir = scratch("fifo");
    const std::string fifo = (dir / "world.json").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Nobody ever writes: an open that waited would hang the test here.
    const load_outcome r = load(fifo);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.unreadable);
    EXPECT_EQ(r.error,
              "scenario " + fifo + ": cannot open the file: it is a FIFO, not a regular file");
    fs::remove_all(dir);
}

TEST(ScenarioFileLimits, ALinkIsFollowedToWhatItNames) {
    const fs::path dir = scratch("link");
    const fs::path good = dir / "good.json";
    std::ofstream(good.string()) << R"({"seed": 5})";
    fs::create_symlink(good, dir / "to-good.json");
    fs::create_symlink("/dev/zero", dir / "to-zero.json");
    EXPECT_TRUE(load((dir / "to-good.json").string()).ok);
    const load_outcome zero = load((dir / "to-zero.json").string());
    EXPECT_FALSE(zero.ok);
    EXPECT_NE(zero.error.find("it is a device"), std::string::npos) << zero.error;
    fs::remove_all(dir);
}
#endif

TEST(ScenarioFileLimits, AReadableFileWithBadContentIsNotUnreadable) {
    const std::string path = sim_testing::write_temp_file("bad-content.json", R"({"seed": -1})");
    const load_outcome r = load(path);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.unreadable);
    std::string logged;
    EXPECT_EQ(open_port("sim:" + path, logged),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_INVALID_ARGUMENT));
}

}  // namespace
