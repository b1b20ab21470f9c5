// Commands a controller need not know. One that answers such a command with Unknown HCI
// Command will not learn it later: the feature the command serves is left off for the rest
// of the run, with one warning, instead of failing on every link and every try.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace hci {

class unsupported_commands {
  public:
    // Whether the controller has answered `opcode` with Unknown HCI Command.
    bool off(uint16_t opcode) const;
    // Takes the status a command was answered with. The first Unknown HCI Command for a
    // command of the table gives the warning line to log (after `where`); anything else
    // gives nothing.
    std::optional<std::string> note(uint16_t opcode, uint8_t status, const std::string& where);

  private:
    static constexpr size_t table_size = 4;
    std::array<std::atomic<bool>, table_size> off_{};
};

}  // namespace hci
