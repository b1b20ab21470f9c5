// Readable names of driver result codes and HCI status codes: "0x%04x NAME".
#pragma once

#include <cstdint>
#include <string>

std::string error_code_name(uint32_t code);
std::string hci_status_name(uint32_t code);
