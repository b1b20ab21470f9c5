// The lines the program prints for the set-up of a phone with the standard profile (the
// simulated phones' default database) on link 0, from the first discovery request to the
// start of RSSI reporting: one home for what the simulated and the emulated runs both check.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// `uuid` is the phone's 128-bit service UUID as the program prints it.
std::vector<std::string> standard_profile_setup_lines(const std::string& uuid);

}  // namespace testing_support
