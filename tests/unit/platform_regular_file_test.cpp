// Reading a whole regular file within a size limit, the limit holding also for a file whose
// size said less than it then gave.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/regular_file.h"

namespace {

namespace fs = std::filesystem;

std::string temp_file(const std::string& name, const std::string& content) {
    const fs::path path = fs::temp_directory_path() / ("orvette-regular-file-" + name);
    std::ofstream(path.string(), std::ios::binary) << content;
    return path.string();
}

TEST(PlatformRegularFile, ReadsUpToTheLimitAndRefusesOneByteMore) {
    const std::string path = temp_file("ten", "0123456789");
    std::string out = "untouched";
    EXPECT_EQ(platform::read_regular_file(path, 10, out), platform::file_read_status::ok);
    EXPECT_EQ(out, "0123456789");
    out = "untouched";
    EXPECT_EQ(platform::read_regular_file(path, 9, out), platform::file_read_status::too_large);
    EXPECT_EQ(out, "untouched");
    const std::string empty = temp_file("empty", "");
    EXPECT_EQ(platform::read_regular_file(empty, 0, out), platform::file_read_status::ok);
    EXPECT_EQ(out, "");
    fs::remove(path);
    fs::remove(empty);
}

TEST(PlatformRegularFile, WhatCannotBeOpenedOrIsNoFileIsSaidSo) {
    std::string out = "untouched";
    EXPECT_EQ(platform::read_regular_file("/nonexistent/orvette/file", 100, out),
              platform::file_read_status::cannot_open);
    const fs::path dir = fs::temp_directory_path() / "orvette-regular-file-dir";
    fs::create_directories(dir);
#if !defined(_WIN32)
    EXPECT_EQ(platform::read_regular_file(dir.string(), 100, out),
              platform::file_read_status::not_regular);
#else
    // Without backup semantics a folder does not open at all.
    EXPECT_NE(platform::read_regular_file(dir.string(), 100, out), platform::file_read_status::ok);
#endif
    EXPECT_EQ(out, "untouched");
}

#if defined(__linux__)
TEST(PlatformRegularFile, AFileLongerThanItsSizeSaidIsStillCut) {
    // /proc files are regular files of size 0 that read as text: like a file that grows
    // between the size check and the read.
    std::string out = "untouched";
    EXPECT_EQ(platform::read_regular_file("/proc/self/status", 10, out),
              platform::file_read_status::too_large);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(platform::read_regular_file("/proc/self/status", 1 << 20, out),
              platform::file_read_status::ok);
    EXPECT_NE(out.find("Name:"), std::string::npos);
}
#endif

}  // namespace
