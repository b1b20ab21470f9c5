// HCI commands and their answers. A controller takes a command only while it has room for
// one (Num_HCI_Command_Packets in its last Command Complete or Status), and answers each
// with a Command Complete or a Command Status naming its opcode. Callers block, one
// command at a time, until the answer or the time limit; a command left unanswered means
// the controller is no longer to be trusted, which the caller turns into a lost controller.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "hci/bytes.h"

namespace hci {

struct command_outcome {
    enum class kind { complete, status, no_answer, not_sent, lost };
    kind what = kind::no_answer;
    uint8_t status = 0xFF;  // the HCI status of a Complete (its first byte) or Status
    std::vector<uint8_t> return_parameters;  // of a Complete, status byte included
    std::string why;                         // for not_sent and lost
    // Whether the command went out: a no_answer without it waited for the controller's room
    // for a command (its credits) and never had any.
    bool sent = false;

    bool answered() const { return what == kind::complete || what == kind::status; }
    bool succeeded() const { return answered() && status == 0; }
};

class command_channel {
  public:
    // Writes one whole H4 packet; false with `why` if the stream is gone.
    using sender = std::function<bool(bytes_view packet, std::string& why)>;

    explicit command_channel(sender send) : send_(std::move(send)) {}

    // Sends `packet` (a whole H4 command packet) once the controller has room and waits
    // at most `limit_ms` clock milliseconds for its answer, the wait for room included.
    command_outcome execute(const std::vector<uint8_t>& packet, uint64_t limit_ms);

    // Takes a Command Complete or Command Status event (the packet after its indicator).
    // False for any other event.
    bool on_event(bytes_view event_packet);

    // The controller is gone: every waiter and every later command gets `lost`.
    void fail(const std::string& why);
    // A controller is on the stream again: commands go out once more, one until it says how
    // many it takes. A command that waited through the loss still ends as lost. Nothing
    // comes back after shut().
    void revive();
    // For good: as fail(), and revive() no longer helps.
    void shut(const std::string& why);

    // Commands the controller may take now (for tests of the pacing).
    uint8_t credits() const;

  private:
    void answer(uint16_t opcode, uint8_t credits, command_outcome outcome);
    // Under lock_: the channel has failed since a waiter took `epoch` (it may have been
    // revived since, too).
    bool failed_since(uint64_t epoch) const { return epoch_ != epoch; }

    sender send_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    // Until the controller says otherwise it takes one command.
    uint8_t credits_ = 1;
    bool busy_ = false;  // a command is out and unanswered
    uint16_t waiting_opcode_ = 0;
    bool answered_ = false;
    command_outcome outcome_;
    bool lost_ = false;
    bool shut_ = false;
    std::string lost_why_;
    // Moves on with every failure: a waiter from before it ends as lost even if the channel
    // has been revived by the time it wakes.
    uint64_t epoch_ = 0;
};

}  // namespace hci
