// Names of the numbers that cross the driver interface: result codes, HCI status codes,
// event IDs and link status codes. The trace shows them and scenario files may use them
// in place of numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// "NRF_ERROR_BUSY" for 0x11; empty when the code has no name.
std::string result_name(uint32_t code);
std::optional<uint32_t> result_by_name(const std::string& name);

std::string hci_name(uint8_t code);
std::optional<uint8_t> hci_by_name(const std::string& name);

// "BLE_GAP_EVT_CONNECTED" for 0x10; "UNKNOWN_EVENT_0x77" for IDs without a name.
std::string event_name(uint16_t id);
std::optional<uint16_t> event_by_name(const std::string& name);

// sd_rpc_app_status_t names, e.g. "IO_RESOURCES_UNAVAILABLE".
std::string status_name(int code);
std::optional<int> status_by_name(const std::string& name);

}  // namespace sim
