#include "hci/host/unsupported_commands.h"

#include "hci/hci_commands.h"

namespace hci {
namespace {

constexpr uint8_t status_unknown_command = 0x01;

struct entry {
    uint16_t opcode;
    const char* name;
    const char* left_off;
};

// Commands an LE controller may well lack, and what goes without them.
constexpr entry table[] = {
    {opcode::read_rssi, "Read RSSI", "no RSSI reports on any link for this run"},
    {opcode::le_connection_update, "LE Connection Update",
     "the phones' requests for other connection parameters are turned down for this run"},
    {opcode::le_remote_connection_parameter_request_reply,
     "LE Remote Connection Parameter Request Reply",
     "the link layer's requests for other connection parameters are turned down for this run"},
    {opcode::le_remote_connection_parameter_request_negative_reply,
     "LE Remote Connection Parameter Request Negative Reply",
     "requests it cannot take are left to its own time-out for this run"},
};

std::optional<size_t> index_of(uint16_t op) {
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
        if (table[i].opcode == op) return i;
    }
    return std::nullopt;
}

}  // namespace

bool unsupported_commands::off(uint16_t op) const {
    const auto i = index_of(op);
    return i && off_[*i].load();
}

std::optional<std::string> unsupported_commands::note(uint16_t op, uint8_t status,
                                                      const std::string& where) {
    static_assert(sizeof table / sizeof table[0] == table_size, "one flag per command");
    if (status != status_unknown_command) return std::nullopt;
    const auto i = index_of(op);
    // Only the first finding speaks, whichever thread made it.
    if (!i || off_[*i].exchange(true)) return std::nullopt;
    return where + "the controller does not know " + table[*i].name + " (Unknown HCI Command); " +
           table[*i].left_off;
}

}  // namespace hci
