// The host's life: opening the controller, the reader and timer threads, losing the
// controller, and closing.
#include "hci/host/host.h"

#include <chrono>
#include <cstdio>

#include "hci/hci_commands.h"
#include "hci/hci_events.h"
#include "hci/host/clock_wait.h"
#include "platform/platform.h"

namespace hci {
namespace {

// Calls once the controller is gone fail as the driver fails them when its dongle stops
// answering.
constexpr uint32_t gone_result = NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE;
constexpr uint32_t not_open = NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE;

// Events the host acts on: Disconnection Complete (bit 4), Encryption Change (7), Hardware
// Error (15), Encryption Key Refresh Complete (47) and LE Meta (61). Command Complete,
// Command Status and Number Of Completed Packets cannot be masked.
constexpr uint64_t event_mask =
    (1ULL << 4) | (1ULL << 7) | (1ULL << 15) | (1ULL << 47) | (1ULL << 61);
// LE Connection Complete (bit 0), Advertising Report (1), Connection Update Complete (2),
// Remote Connection Parameter Request (5), Enhanced Connection Complete (9).
constexpr uint64_t le_event_mask =
    (1ULL << 0) | (1ULL << 1) | (1ULL << 2) | (1ULL << 5) | (1ULL << 9);

// The longest the timer thread sleeps in real time, so that it notices a stop promptly.
constexpr auto timer_slice = std::chrono::milliseconds(50);

// HCI version 6 is Bluetooth 4.0, the first with Low Energy.
constexpr uint8_t first_le_version = 0x06;
constexpr uint8_t unknown_command = 0x01;

// Commands of the LE Controller group (OGF 0x08): a controller that does not know them has
// no LE.
bool is_le_command(const std::vector<uint8_t>& packet) {
    return packet.size() > 2 && (packet[2] >> 2) == 0x08;
}

const char* version_name(uint8_t version) {
    static const char* const names[] = {"1.0b", "1.1", "1.2", "2.0", "2.1", "3.0", "4.0",
                                        "4.1",  "4.2", "5.0", "5.1", "5.2", "5.3", "5.4"};
    return version < sizeof(names) / sizeof(names[0]) ? names[version] : "newer than 5.4";
}

int64_t unix_us_now() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

host::host(std::unique_ptr<transport> link, host_options options, program_callbacks callbacks,
           std::shared_ptr<std::atomic<int>> log_filter)
    : transport_(std::move(link)),
      options_(std::move(options)),
      callbacks_(callbacks),
      log_filter_(std::move(log_filter)),
      delivery_(callbacks, log_filter_),
      commands_([this](bytes_view packet, std::string& why) { return send_packet(packet, why); }) {}

host::~host() {
    close();
}

void host::say(sd_rpc_log_severity_t severity, const std::string& text) {
    delivery_.post_log(severity, text);
}

bool host::is_lost() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lost_;
}

uint32_t host::lost_result() const {
    return gone_result;
}

uint32_t host::usable() const {
    std::lock_guard<std::mutex> guard(lock_);
    return usable_locked();
}

uint32_t host::usable_locked() const {
    if (!opened_ || closed_) return not_open;
    if (lost_) return gone_result;
    return NRF_SUCCESS;
}

uint32_t host::open_state() const {
    std::lock_guard<std::mutex> guard(lock_);
    if (!opened_ || closed_) return not_open;
    return NRF_SUCCESS;
}

std::shared_ptr<transport> host::current_transport() const {
    std::lock_guard<std::mutex> guard(transport_lock_);
    return transport_;
}

void host::start_transport(transport& link) {
    link.start([this](bytes_view chunk) { on_bytes(chunk); },
               [this](const std::string& why) { lose(why, loss_kind::transport); });
}

void host::snoop(bytes_view h4_packet, direction dir) {
    std::lock_guard<std::mutex> guard(snoop_lock_);
    if (snoop_) {
        snoop_->write(h4_packet, dir, unix_us_now());
        snoop_file_.flush();
    }
}

bool host::send_packet(bytes_view packet, std::string& why) {
    snoop(packet, direction::sent);
    const std::shared_ptr<transport> link = current_transport();
    if (!link) {
        why = "no stream to the controller";
        return false;
    }
    return link->write(packet, why);
}

command_outcome host::execute(const std::vector<uint8_t>& packet) {
    {
        // A call that began before a loss must not slip its command in among recovery's.
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ || closed_) {
            command_outcome outcome;
            outcome.what = command_outcome::kind::lost;
            outcome.why = closed_ ? "closed" : "the controller is lost";
            return outcome;
        }
    }
    command_outcome outcome = commands_.execute(packet, options_.command_limit_ms);
    if (outcome.answered() && packet.size() > 2) {
        const auto op = static_cast<uint16_t>(packet[1] | (packet[2] << 8));
        if (const auto line = unsupported_.note(op, outcome.status,
                                                "HCI controller on " + options_.port + ": ")) {
            say(SD_RPC_LOG_WARNING, *line);
        }
    }
    if (outcome.what == command_outcome::kind::no_answer) {
        const auto opcode =
            static_cast<unsigned>(packet.size() > 2 ? packet[1] | (packet[2] << 8) : 0);
        const auto limit = static_cast<unsigned long long>(options_.command_limit_ms);
        char text[128];
        if (outcome.sent) {
            std::snprintf(text, sizeof text, "no answer to HCI command 0x%04X within %llu ms",
                          opcode, limit);
        } else {
            // Not this command's fault: the controller never made room for it.
            std::snprintf(text, sizeof text,
                          "HCI command 0x%04X waited %llu ms for command credits and was never "
                          "sent",
                          opcode, limit);
        }
        lose(text, loss_kind::controller);
    } else if (outcome.what == command_outcome::kind::not_sent) {
        lose("cannot write to the controller: " + outcome.why);
    }
    return outcome;
}

void host::on_bytes(bytes_view chunk) {
    std::vector<h4_packet> packets;
    size_t before_loss = 0;
    std::string framing_lost;
    std::string regained;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) return;
        const uint64_t losses = parser_.framing_losses();
        const uint64_t skipped = parser_.skipped_bytes();
        parser_.feed(chunk, packets);
        before_loss = parser_.packets_before_loss();
        if (parser_.framing_losses() != losses) {
            if (!framing_lost_) {
                framing_skipped_from_ = skipped;
                framing_skipped_earlier_ = 0;
            }
            framing_lost_ = true;
            framing_lost = "framing lost at " + parser_.last_loss() + "; " +
                           std::to_string(parser_.skipped_bytes() - skipped) +
                           " bytes skipped so far";
        }
        if (framing_lost_ && parser_.in_step()) {
            // Back in step on the answer to a Reset: the count covers the whole loss.
            framing_lost_ = false;
            const uint64_t all = parser_.skipped_bytes();
            regained = "HCI controller on " + options_.port + ": framing regained after " +
                       std::to_string(framing_skipped_earlier_ + all - framing_skipped_from_) +
                       " bytes skipped";
        }
    }
    for (size_t i = 0; i < before_loss; ++i) on_packet(packets[i]);
    if (!framing_lost.empty()) lose(framing_lost, loss_kind::controller);
    if (!regained.empty()) say(SD_RPC_LOG_WARNING, regained);
    for (size_t i = before_loss; i < packets.size(); ++i) on_packet(packets[i]);
}

void host::renew_parser() {
    if (framing_lost_) {
        framing_skipped_earlier_ += parser_.skipped_bytes() - framing_skipped_from_;
        framing_skipped_from_ = 0;
    }
    parser_ = h4_parser(h4_parser::default_max_acl_length, h4_parser::start::at_reset_answer);
}

void host::on_packet(const h4_packet& packet) {
    {
        std::vector<uint8_t> whole;
        whole.reserve(packet.bytes.size() + 1);
        whole.push_back(static_cast<uint8_t>(packet.type));
        whole.insert(whole.end(), packet.bytes.begin(), packet.bytes.end());
        snoop(whole, direction::received);
    }
    switch (packet.type) {
        case packet_type::event:
            on_event(packet.bytes);
            break;
        case packet_type::acl_data:
            on_acl(packet.bytes);
            break;
        default:
            // A controller sends no commands, and we open no synchronous or isochronous
            // channels: framed, so that their data is never read as packets, and dropped.
            break;
    }
}

uint32_t host::open() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (opened_) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_OPEN;
        opened_ = true;
    }
    if (!options_.snoop_path.empty()) {
        std::lock_guard<std::mutex> guard(snoop_lock_);
        snoop_file_.open(options_.snoop_path, std::ios::binary | std::ios::trunc);
        if (snoop_file_) {
            snoop_ = std::make_unique<btsnoop_writer>(snoop_file_);
        }
    }
    const bool snoop_failed = !options_.snoop_path.empty() && !snoop_;
    start_transport(*transport_);
    std::string failure;
    const uint32_t result = open_sequence(failure);
    if (result != NRF_SUCCESS) {
        if (callbacks_.log != nullptr && SD_RPC_LOG_ERROR >= log_filter_->load()) {
            callbacks_.log(callbacks_.adapter, SD_RPC_LOG_ERROR, failure.c_str());
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            closed_ = true;
        }
        commands_.shut("closed");
        current_transport()->close();
        return result;
    }
    delivery_.post_status(RESET_PERFORMED, "Target Reset performed");
    delivery_.post_status(CONNECTION_ACTIVE, "Connection active");
    // The port's name goes in whole, outside the buffer: only the figures have a known length.
    char figures[160];
    std::snprintf(figures, sizeof figures,
                  ": HCI version %u (%s), manufacturer 0x%04X, address %s, %u ACL buffers of %u "
                  "bytes",
                  info_.hci_version, version_name(info_.hci_version), info_.manufacturer,
                  wire::address_text(info_.address.data()).c_str(), info_.acl_count,
                  info_.acl_length);
    say(SD_RPC_LOG_INFO, "HCI controller on " + options_.port + figures);
    if (snoop_failed) {
        say(SD_RPC_LOG_WARNING, "cannot write the HCI trace to " + options_.snoop_path);
    } else if (snoop_) {
        say(SD_RPC_LOG_INFO, "HCI trace (btsnoop) written to " + options_.snoop_path);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        ready_ = true;
        // Lost while the lines above were written: recovery starts with the timers.
        recovery_.next_attempt = platform::tick_count();
    }
    if (!options_.caller_runs_background) {
        delivery_.start();
        timer_ = std::thread([this] { timer_loop(); });
    }
    return NRF_SUCCESS;
}

void host::run_background() {
    if (!options_.caller_runs_background) return;
    run_timers();
    delivery_.deliver_queued();
}

uint32_t host::open_sequence(std::string& failure) {
    const std::string where = "HCI controller on " + options_.port + ": ";
    command_outcome reset;
    for (int attempt = 0; attempt < options_.reset_attempts; ++attempt) {
        reset = commands_.execute(reset_command(), options_.reset_limit_ms);
        if (reset.answered() || reset.what == command_outcome::kind::lost ||
            reset.what == command_outcome::kind::not_sent) {
            break;
        }
        // Whatever half a packet the parser holds may be noise that swallowed the answer.
        std::lock_guard<std::mutex> guard(lock_);
        renew_parser();
    }
    if (reset.what == command_outcome::kind::lost ||
        reset.what == command_outcome::kind::not_sent) {
        failure = where + "the connection failed while resetting it: " + reset.why;
        return NRF_ERROR_SD_RPC_SERIAL_PORT;
    }
    if (!reset.answered()) {
        failure = where + "no answer to HCI Reset (" + std::to_string(options_.reset_attempts) +
                  " tries of " + std::to_string(options_.reset_limit_ms) +
                  " ms): is it an HCI controller, at this baud rate and flow control?";
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    if (reset.status != 0) {
        char text[48];
        std::snprintf(text, sizeof text, "HCI Reset failed with status 0x%02X", reset.status);
        failure = where + text;
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    // Each answer must be the Command Complete its command is owed, with the return
    // parameters the command has: a Command Status, or an answer cut short, would otherwise
    // pass for a controller of version 0 at address 00:00:00:00:00:00.
    auto ask = [&](const std::vector<uint8_t>& command, const char* name,
                   std::vector<uint8_t>& answer) {
        const command_outcome o = commands_.execute(command, options_.command_limit_ms);
        if (!o.answered()) {
            failure = where + (o.what == command_outcome::kind::no_answer && !o.sent
                                   ? name + std::string(" waited for command credits the "
                                                        "controller never gave")
                                   : "no answer to " + std::string(name));
            return false;
        }
        if (o.status != 0) {
            char text[80];
            std::snprintf(text, sizeof text, " failed with status 0x%02X", o.status);
            failure = where + name + text;
            if (o.status == unknown_command && is_le_command(command)) {
                failure +=
                    " (Unknown HCI Command): the controller does not support Bluetooth "
                    "Low Energy";
            }
            return false;
        }
        if (o.what != command_outcome::kind::complete) {
            failure = where + name + " was answered with a Command Status, not a Command Complete";
            return false;
        }
        if (o.return_parameters.empty()) {
            failure = where + name + " was answered without its status";
            return false;
        }
        answer = o.return_parameters;
        return true;
    };
    auto short_answer = [&](const char* name, const std::vector<uint8_t>& answer) {
        failure = where + "the answer to " + name + " is cut short (" +
                  std::to_string(answer.size()) + " bytes of return parameters)";
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    };
    std::vector<uint8_t> r;
    constexpr const char* version_command = "Read Local Version Information";
    if (!ask(read_local_version_information_command(), version_command, r)) {
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    const auto version = parse_local_version_information(r);
    if (!version) return short_answer(version_command, r);
    controller_info got;
    got.hci_version = version->hci_version;
    got.manufacturer = version->manufacturer;
    if (got.hci_version < first_le_version) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "HCI version %u (%s) is older than 4.0, the first with Bluetooth Low "
                      "Energy: not an LE controller",
                      got.hci_version, version_name(got.hci_version));
        failure = where + text;
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    constexpr const char* address_command = "Read BD_ADDR";
    if (!ask(read_bd_addr_command(), address_command, r)) {
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    const auto address = parse_bd_addr(r);
    if (!address) return short_answer(address_command, r);
    got.address = address->address;
    constexpr const char* le_buffer_command = "LE Read Buffer Size";
    if (!ask(le_read_buffer_size_command(), le_buffer_command, r)) {
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    auto buffers = parse_le_buffer_size(r);
    if (!buffers) return short_answer(le_buffer_command, r);
    if (buffers->acl_length == 0 || buffers->acl_count == 0) {
        // The controller shares its BR/EDR buffers with LE.
        constexpr const char* buffer_command = "Read Buffer Size";
        if (!ask(read_buffer_size_command(), buffer_command, r)) {
            return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
        }
        buffers = parse_buffer_size(r);
        if (!buffers) return short_answer(buffer_command, r);
    }
    got.acl_length = buffers->acl_length;
    got.acl_count = buffers->acl_count;
    if (got.acl_length == 0 || got.acl_count == 0) {
        failure = where + "the controller reports no buffers for ACL data";
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    constexpr const char* features_command = "LE Read Local Supported Features";
    if (!ask(le_read_local_supported_features_command(), features_command, r)) {
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    const auto features = parse_le_local_supported_features(r);
    if (!features) return short_answer(features_command, r);
    got.le_features = features->features;
    if (!ask(set_event_mask_command(event_mask), "Set Event Mask", r) ||
        !ask(le_set_event_mask_command(le_event_mask), "LE Set Event Mask", r)) {
        return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE;
    }
    std::lock_guard<std::mutex> guard(lock_);
    info_ = got;
    acl_credits_ = got.acl_count;
    return NRF_SUCCESS;
}

controller_info host::info() const {
    std::lock_guard<std::mutex> guard(lock_);
    return info_;
}

uint64_t host::reports_dropped() const {
    std::lock_guard<std::mutex> guard(lock_);
    return reports_dropped_;
}

uint32_t host::close() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!opened_ || closed_) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED;
    }
    // Nothing reaches the program once close returns, not even what the close brings about.
    // Not under call_lock_: a callback in progress may still call in, and must not wait for
    // a close that waits for it.
    delivery_.stop();
    std::lock_guard<std::mutex> call(call_lock_);
    bool lost = false;
    std::vector<uint16_t> handles;
    bool scanning = false;
    bool advertising = false;
    bool initiating = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED;
        lost = lost_;
        for (const auto& [handle, l] : links_) handles.push_back(l.controller_handle);
        scanning = rules_.scanner_on();
        advertising = rules_.advertising();
        initiating = rules_.initiating();
    }
    if (!lost) {
        // Best effort, and short: the controller is left quiet for whoever opens it next. The
        // whole of it has one time limit, and a controller that leaves one command unanswered
        // is asked nothing more: a close must not wait for it command after command.
        const uint64_t deadline = platform::tick_count() + options_.close_disconnect_limit_ms;
        bool answering = true;
        auto quietly = [&](const std::vector<uint8_t>& command) {
            const uint64_t now = platform::tick_count();
            if (!answering || now >= deadline) return;
            answering = commands_.execute(command, deadline - now).answered();
        };
        if (scanning) quietly(le_set_scan_enable_command(false, false));
        if (advertising) quietly(le_set_advertising_enable_command(false));
        if (initiating) quietly(le_create_connection_cancel_command());
        for (uint16_t handle : handles) quietly(disconnect_command(handle, 0x13));
        const uint64_t now = platform::tick_count();
        std::unique_lock<std::mutex> guard(lock_);
        if (answering && now < deadline) {
            wait_clock_ms(changed_, guard, deadline - now, [&] { return links_.empty() || lost_; });
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        timer_stop_ = true;
    }
    changed_.notify_all();
    // Ends at once whatever waits for the controller, recovery's own commands included.
    commands_.shut("closed");
    // The recovery on the timer thread may open a stream after this; it closes that one
    // itself once it finds the host closed.
    if (const std::shared_ptr<transport> link = current_transport()) link->close();
    if (timer_.joinable()) timer_.join();
    {
        // The trace is whole once the adapter is closed; a closed host may be kept for a
        // while, and must not keep the file open.
        std::lock_guard<std::mutex> guard(snoop_lock_);
        snoop_.reset();
        snoop_file_.close();
    }
    return NRF_SUCCESS;
}

void host::timer_loop() {
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock_);
            // A stop asked for while the timers ran has been notified already: no waiting.
            if (!timer_stop_) changed_.wait_for(guard, timer_slice);
            if (timer_stop_) return;
        }
        run_timers();
    }
}

}  // namespace hci
