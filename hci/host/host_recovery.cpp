// Losing the controller, and getting it back: a loss ends at once everything the program
// waits for, as the end of each link would; then the timer's work resets the controller on
// its stream, or opens the stream again, sets the controller up as open() did and puts the
// scanner and the advertising set back as the program last asked for them.
#include <algorithm>
#include <cstdio>

#include "driver/ble_hci.h"
#include "hci/host/host.h"
#include "platform/platform.h"

namespace hci {
namespace {

// Restoring the radio is tried again while the program keeps changing it meanwhile (it
// calls every few seconds, so a second round nearly always settles it).
constexpr int restore_rounds = 10;

std::string seconds_text(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

void host::lose(const std::string& why, loss_kind kind) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) return;
        if (lost_) {
            // The stream ended under a recovery that meant to reset the controller on it.
            if (kind == loss_kind::transport) recovery_.reopen_next = true;
        } else {
            lost_ = true;
            const uint64_t now = platform::tick_count();
            recovery_ = recovery_state{};
            recovery_.reopen_next = kind == loss_kind::transport;
            recovery_.lost_at = now;
            recovery_.next_attempt = now;
            recovery_.last_failure = why;
            const std::string text = "HCI controller on " + options_.port + " lost: " + why;
            delivery_.post_status(IO_RESOURCES_UNAVAILABLE, text);
            say(SD_RPC_LOG_ERROR, text);
            // Whatever the controller held is gone with it. The program hears it as it would
            // hear each link fade out, so that every wait of its own on a link ends now.
            for (const auto& [handle, l] : links_) {
                rules_.link_down(handle);
                delivery_.post_event(wire::build_disconnected(
                    handle, l.local_disconnect ? BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION
                                               : BLE_HCI_CONNECTION_TIMEOUT));
            }
            links_.clear();
            if (initiator_.now != initiator::phase::none) {
                rules_.connect_ended();
                if (initiator_.now != initiator::phase::cancelled_by_program) {
                    delivery_.post_event(wire::build_gap_timeout(
                        BLE_CONN_HANDLE_INVALID, BLE_GAP_TIMEOUT_SRC_CONN, ble_data_t{}));
                }
            }
            initiator_ = initiator{};
            unwanted_links_.clear();
            turned_down_requests_.clear();
            acl_queue_.clear();
            acl_queued_bytes_.clear();
            acl_in_flight_.clear();
            reassembler_ = acl_reassembler();
        }
    }
    // Also under a recovery: the attempt that waits on the controller fails now.
    commands_.fail(why);
    changed_.notify_all();
}

bool host::recover_when_due() {
    bool reopen = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!lost_) return false;
        if (closed_ || !ready_ || recovery_.given_up) return true;
        if (platform::tick_count() < recovery_.next_attempt) return true;
        reopen = recovery_.reopen_next;
        if (reopen && !options_.reopen) {
            recovery_.given_up = true;
            say(SD_RPC_LOG_ERROR, "HCI controller on " + options_.port +
                                      ": the stream cannot be opened again; the controller "
                                      "stays lost until the program opens the adapter anew");
            return true;
        }
        ++recovery_.attempts;
    }
    std::string failure;
    if (!recovery_attempt(reopen, failure)) recovery_failed(failure);
    return true;
}

bool host::recovery_attempt(bool reopen, std::string& failure) {
    if (reopen) {
        if (const std::shared_ptr<transport> old = current_transport()) old->close();
        std::string why;
        std::unique_ptr<transport> opened = options_.reopen(why);
        if (!opened) {
            failure = "cannot open the stream again: " + why;
            return false;
        }
        std::shared_ptr<transport> fresh(std::move(opened));
        {
            std::lock_guard<std::mutex> guard(lock_);
            renew_parser();
            reassembler_ = acl_reassembler();
            recovery_.reopen_next = false;
        }
        // Started before it is put in place: a close() that comes meanwhile finds either
        // the old stream, and this one is closed below, or this one, and closes it.
        start_transport(*fresh);
        bool closing = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            closing = closed_;
            if (!closing) {
                std::lock_guard<std::mutex> t(transport_lock_);
                transport_ = fresh;
            }
        }
        if (closing) {
            fresh->close();
            failure = "closed";
            return false;
        }
    } else {
        // Whatever half a packet the parser holds belongs to the controller that failed.
        std::lock_guard<std::mutex> guard(lock_);
        renew_parser();
        reassembler_ = acl_reassembler();
    }
    commands_.revive();
    if (open_sequence(failure) != NRF_SUCCESS) {
        const std::string where = "HCI controller on " + options_.port + ": ";
        if (failure.compare(0, where.size(), where) == 0) failure.erase(0, where.size());
        return false;
    }
    return restore_radio(failure);
}

bool host::restore_radio(std::string& failure) {
    const std::string where = "HCI controller on " + options_.port + ": ";
    auto run = [&](const std::vector<uint8_t>& command, const char* name) {
        if (command.empty()) return true;
        const command_outcome o = commands_.execute(command, options_.command_limit_ms);
        if (!o.answered()) {
            failure = std::string("no answer to ") + name + " while restoring the radio";
            return false;
        }
        if (o.status != 0) {
            // A controller that refuses what the last one took is not lost for it; the
            // program's next call meets the same refusal.
            char text[32];
            std::snprintf(text, sizeof text, " refused (status 0x%02X)", o.status);
            say(SD_RPC_LOG_WARNING, where + name + text + " while restoring the radio");
        }
        return true;
    };
    for (int round = 0; round < restore_rounds; ++round) {
        radio_wish wish;
        bool scanning = false;
        bool advertising = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (closed_) {
                failure = "closed";
                return false;
            }
            wish = wish_;
            scanning = rules_.scanner_on();
            advertising = rules_.advertising();
        }
        if (!run(wish.advertising_parameters, "LE Set Advertising Parameters") ||
            !run(wish.advertising_data, "LE Set Advertising Data") ||
            !run(wish.scan_response_data, "LE Set Scan Response Data")) {
            return false;
        }
        // A reset controller neither advertises nor scans; a later round undoes what the
        // program turned off meanwhile.
        if ((advertising || round > 0) &&
            !run(le_set_advertising_enable_command(advertising), "LE Set Advertising Enable")) {
            return false;
        }
        if (scanning && !run(wish.scan_parameters, "LE Set Scan Parameters")) return false;
        if ((scanning || round > 0) &&
            !run(le_set_scan_enable_command(scanning, false), "LE Set Scan Enable")) {
            return false;
        }
        std::lock_guard<std::mutex> guard(lock_);
        if (wish_.version != wish.version && round + 1 < restore_rounds) continue;
        const uint64_t after = platform::tick_count() - recovery_.lost_at;
        lost_ = false;
        say(SD_RPC_LOG_INFO, where + "back after " + std::to_string(recovery_.attempts) +
                                 (recovery_.attempts == 1 ? " attempt" : " attempts") + ", " +
                                 seconds_text(after) + " after the loss; scanning " +
                                 (scanning ? "on" : "off") + ", advertising " +
                                 (advertising ? "on" : "off") + ", as the program last asked");
        changed_.notify_all();
        return true;
    }
    return true;  // not reached: the last round always ends above
}

void host::recovery_failed(const std::string& failure) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!lost_ || closed_) return;
    const uint64_t now = platform::tick_count();
    recovery_.last_failure = failure;
    // A controller that would not come back on its stream may on a stream opened again.
    if (options_.reopen) recovery_.reopen_next = true;
    recovery_.wait_ms = recovery_.wait_ms == 0
                            ? options_.recovery_first_wait_ms
                            : std::min(recovery_.wait_ms * 2, options_.recovery_longest_wait_ms);
    recovery_.wait_ms = std::min(recovery_.wait_ms, options_.recovery_longest_wait_ms);
    recovery_.next_attempt = now + recovery_.wait_ms;
    const std::string where = "HCI controller on " + options_.port + ": ";
    if (recovery_.attempts <= options_.recovery_attempts_reported) {
        say(SD_RPC_LOG_WARNING, where + "recovery attempt " + std::to_string(recovery_.attempts) +
                                    " failed: " + failure + "; next attempt in " +
                                    seconds_text(recovery_.wait_ms));
        recovery_.next_report = now + options_.recovery_report_ms;
    } else if (now >= recovery_.next_report) {
        say(SD_RPC_LOG_WARNING, where + "still lost after " + std::to_string(recovery_.attempts) +
                                    " attempts, " + seconds_text(now - recovery_.lost_at) +
                                    " after the loss: " + failure + "; trying every " +
                                    seconds_text(recovery_.wait_ms));
        recovery_.next_report = now + options_.recovery_report_ms;
    }
}

}  // namespace hci
