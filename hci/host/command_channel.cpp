#include "hci/host/command_channel.h"

#include "hci/hci_events.h"
#include "hci/host/clock_wait.h"

namespace hci {

command_outcome command_channel::execute(const std::vector<uint8_t>& packet, uint64_t limit_ms) {
    command_outcome result;
    if (packet.size() < 4) {
        result.what = command_outcome::kind::not_sent;
        result.why = "malformed command";
        return result;
    }
    const uint16_t opcode = static_cast<uint16_t>(packet[1] | (packet[2] << 8));
    std::unique_lock<std::mutex> guard(lock_);
    const uint64_t epoch = epoch_;
    const bool turn = wait_clock_ms(changed_, guard, limit_ms, [&] {
        return lost_ || failed_since(epoch) || (!busy_ && credits_ > 0);
    });
    if (lost_ || failed_since(epoch)) {
        result.what = command_outcome::kind::lost;
        result.why = lost_why_;
        return result;
    }
    if (!turn) {
        // The controller never made room: as good as no answer.
        result.what = command_outcome::kind::no_answer;
        return result;
    }
    busy_ = true;
    --credits_;
    waiting_opcode_ = opcode;
    answered_ = false;
    outcome_ = command_outcome{};
    guard.unlock();
    std::string why;
    const bool sent = send_(packet, why);
    guard.lock();
    if (failed_since(epoch)) {
        // Lost meanwhile, and perhaps revived: the channel's state is no longer this
        // command's to touch.
        result.what = command_outcome::kind::lost;
        result.why = lost_why_;
        return result;
    }
    if (!sent) {
        busy_ = false;
        credits_ = 1;
        changed_.notify_all();
        result.what = command_outcome::kind::not_sent;
        result.why = why;
        return result;
    }
    wait_clock_ms(changed_, guard, limit_ms,
                  [&] { return answered_ || lost_ || failed_since(epoch); });
    result.sent = true;
    if (failed_since(epoch)) {
        result.what = command_outcome::kind::lost;
        result.why = lost_why_;
        return result;
    }
    if (answered_) {
        result = std::move(outcome_);
        result.sent = true;
    } else if (lost_) {
        result.what = command_outcome::kind::lost;
        result.why = lost_why_;
    } else {
        result.what = command_outcome::kind::no_answer;
    }
    // A late answer to this command is taken for its credits only.
    busy_ = false;
    answered_ = false;
    if (result.what == command_outcome::kind::no_answer) credits_ = 1;
    changed_.notify_all();
    return result;
}

bool command_channel::on_event(bytes_view event_packet) {
    if (const auto complete = parse_command_complete(event_packet)) {
        command_outcome outcome;
        outcome.what = command_outcome::kind::complete;
        byte_reader r(complete->return_parameters);
        outcome.status = complete->return_parameters.size == 0 ? 0 : r.u8();
        outcome.return_parameters = complete->return_parameters.to_vector();
        answer(complete->opcode, complete->num_command_packets, std::move(outcome));
        return true;
    }
    if (const auto status = parse_command_status(event_packet)) {
        command_outcome outcome;
        outcome.what = command_outcome::kind::status;
        outcome.status = status->status;
        answer(status->opcode, status->num_command_packets, std::move(outcome));
        return true;
    }
    return false;
}

void command_channel::answer(uint16_t opcode, uint8_t credits, command_outcome outcome) {
    std::lock_guard<std::mutex> guard(lock_);
    credits_ = credits;
    if (busy_ && !answered_ && opcode == waiting_opcode_ && opcode != 0) {
        outcome_ = std::move(outcome);
        answered_ = true;
    }
    changed_.notify_all();
}

void command_channel::fail(const std::string& why) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!lost_) {
        lost_ = true;
        lost_why_ = why;
        ++epoch_;
    }
    changed_.notify_all();
}

void command_channel::revive() {
    std::lock_guard<std::mutex> guard(lock_);
    if (shut_) return;
    // A command still out belongs to the controller that was there before.
    if (busy_) ++epoch_;
    lost_ = false;
    credits_ = 1;
    busy_ = false;
    answered_ = false;
    waiting_opcode_ = 0;
    changed_.notify_all();
}

void command_channel::shut(const std::string& why) {
    std::lock_guard<std::mutex> guard(lock_);
    shut_ = true;
    if (!lost_) {
        lost_ = true;
        lost_why_ = why;
        ++epoch_;
    }
    changed_.notify_all();
}

uint8_t command_channel::credits() const {
    std::lock_guard<std::mutex> guard(lock_);
    return credits_;
}

}  // namespace hci
