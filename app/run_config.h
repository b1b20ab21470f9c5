// What the entry point hands to the run thread.
#pragma once

#include <cstdint>
#include <set>
#include <string>

struct run_config {
    std::string port;
    std::set<std::string> uuids;  // byte-wise order, no duplicates
    int32_t log_level = 0;
};
