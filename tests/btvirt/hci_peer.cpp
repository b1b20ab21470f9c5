#include "tests/btvirt/hci_peer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "hci/hci_events.h"

namespace btvirt_testing {
namespace {

using steady = std::chrono::steady_clock;

// Controllers start with LE Meta events masked off; advertising reports come in them.
constexpr uint64_t event_mask_with_le_meta = 0x20001FFFFFFFFFFFull;
// The LE events a controller reports after a reset: connections, advertising reports,
// connection updates, remote features, key requests.
constexpr uint64_t le_event_mask = 0x1F;

// The emulator cannot usefully be switched on and off faster than this, and a period of
// zero would spin.
constexpr std::chrono::milliseconds min_restart_period{20};

// The controller's answer to switching advertising off while it is off.
constexpr uint8_t command_disallowed = 0x0C;

// Answers left behind by commands that gave up waiting; only the newest few matter.
constexpr size_t max_kept_replies = 16;

std::string hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string hex8(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

}  // namespace

hci_peer::hci_peer(const std::string& socket_path, packet_listener listener)
    : listener_(std::move(listener)) {
    sockaddr_un address{};
    if (socket_path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + socket_path);
    }
    // Close-on-exec: an emulator started later must not inherit this connection and keep it
    // open after the peer closes it.
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error("cannot connect to " + socket_path + ": " + std::strerror(error));
    }
    reader_ = std::thread([this] { read_loop(); });
}

hci_peer::~hci_peer() {
    {
        std::lock_guard<std::mutex> guard(advertising_lock_);
        advertising_stop_ = true;
    }
    advertising_wake_.notify_all();
    // Ends the reader's read at once, and any command the advertising thread is waiting for.
    ::shutdown(fd_, SHUT_RDWR);
    if (advertiser_.joinable()) advertiser_.join();
    if (reader_.joinable()) reader_.join();
    ::close(fd_);
}

void hci_peer::read_loop() {
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        parser.feed(hci::bytes_view(buffer, static_cast<size_t>(n)), packets);
        for (const hci::h4_packet& packet : packets) {
            if (packet.type == hci::packet_type::event) {
                handle_event(packet);
            } else if (packet.type == hci::packet_type::acl_data && listener_) {
                listener_(packet);
            }
        }
        packets.clear();
    }
    {
        std::lock_guard<std::mutex> guard(state_lock_);
        closed_ = true;
    }
    arrived_.notify_all();
}

void hci_peer::handle_event(const hci::h4_packet& h4) {
    const std::vector<uint8_t>& packet = h4.bytes;
    std::optional<std::pair<uint16_t, command_reply>> reply;
    if (const auto complete = hci::parse_command_complete(packet)) {
        command_reply r;
        r.complete = true;
        r.return_parameters = complete->return_parameters.to_vector();
        r.status = r.return_parameters.empty() ? 0 : r.return_parameters[0];
        reply.emplace(complete->opcode, std::move(r));
    } else if (const auto status = hci::parse_command_status(packet)) {
        command_reply r;
        r.status = status->status;
        reply.emplace(status->opcode, std::move(r));
    }

    std::vector<received_report> reports;
    if (!reply) {
        const auto meta = hci::parse_le_meta(packet);
        if (!meta || meta->subevent != hci::le_subevent::advertising_report) {
            if (listener_) listener_(h4);
            return;
        }
        const auto parsed = hci::parse_advertising_reports(packet);
        if (!parsed) return;
        for (const hci::advertising_report& report : *parsed) {
            received_report r;
            r.event_type = report.event_type;
            r.address_type = report.address_type;
            r.address = report.address;
            r.data = report.data.to_vector();
            r.rssi = report.rssi;
            reports.push_back(std::move(r));
        }
    }

    {
        std::lock_guard<std::mutex> guard(state_lock_);
        if (reply) {
            replies_.push_back(std::move(*reply));
            if (replies_.size() > max_kept_replies) replies_.pop_front();
        }
        for (received_report& report : reports) {
            if (reports_.size() < max_kept_reports) {
                reports_.push_back(std::move(report));
            } else {
                ++dropped_reports_;
            }
        }
    }
    arrived_.notify_all();
}

bool hci_peer::write_packet(const std::vector<uint8_t>& packet, std::string& error) {
    // One write per packet: the emulator reassembles a packet split across reads only at
    // its start, and misreads one whose header is split.
    std::lock_guard<std::mutex> one_at_a_time(write_lock_);
    size_t written = 0;
    while (written < packet.size()) {
        const ssize_t n =
            ::send(fd_, packet.data() + written, packet.size() - written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::string("cannot write to the emulator: ") + std::strerror(errno);
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

::testing::AssertionResult hci_peer::command(const std::vector<uint8_t>& packet,
                                             command_reply* reply,
                                             std::chrono::milliseconds limit) {
    if (packet.size() < 4 || packet[0] != static_cast<uint8_t>(hci::packet_type::command) ||
        packet[3] != packet.size() - 4) {
        return ::testing::AssertionFailure() << "not a whole command packet";
    }
    const uint16_t opcode = static_cast<uint16_t>(packet[1] | (packet[2] << 8));
    std::lock_guard<std::mutex> one_at_a_time(command_lock_);
    {
        std::lock_guard<std::mutex> guard(state_lock_);
        if (closed_) {
            return ::testing::AssertionFailure()
                   << "command " << hex16(opcode) << ": the emulator has closed the connection";
        }
        // Whatever answers are here came before this command was sent (late answers to
        // commands that gave up waiting), so none of them can be its answer.
        replies_.clear();
    }
    std::string error;
    if (!write_packet(packet, error)) {
        return ::testing::AssertionFailure() << "command " << hex16(opcode) << ": " << error;
    }

    const steady::time_point deadline = steady::now() + limit;
    std::unique_lock<std::mutex> lock(state_lock_);
    for (;;) {
        const auto match = std::find_if(replies_.begin(), replies_.end(),
                                        [&](const auto& r) { return r.first == opcode; });
        if (match != replies_.end()) {
            if (reply != nullptr) *reply = match->second;
            replies_.erase(match);
            return ::testing::AssertionSuccess();
        }
        if (closed_) {
            return ::testing::AssertionFailure()
                   << "command " << hex16(opcode)
                   << ": the emulator closed the connection before answering";
        }
        if (steady::now() >= deadline) {
            return ::testing::AssertionFailure()
                   << "command " << hex16(opcode) << ": no answer in " << limit.count() << " ms";
        }
        arrived_.wait_until(lock, deadline);
    }
}

::testing::AssertionResult hci_peer::command_ok(const std::vector<uint8_t>& packet,
                                                command_reply* reply,
                                                std::chrono::milliseconds limit) {
    command_reply got;
    const ::testing::AssertionResult answered = command(packet, &got, limit);
    if (!answered) return answered;
    if (reply != nullptr) *reply = got;
    if (got.status != 0) {
        const uint16_t opcode = static_cast<uint16_t>(packet[1] | (packet[2] << 8));
        return ::testing::AssertionFailure()
               << "command " << hex16(opcode) << ": status " << hex8(got.status);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult hci_peer::round_trip() {
    return command_ok(hci::read_local_version_information_command());
}

::testing::AssertionResult hci_peer::reset() {
    // Otherwise the thread would switch advertising back on after the reset.
    stop_advertising_thread();
    if (auto r = command_ok(hci::reset_command()); !r) return r;
    if (auto r = command_ok(hci::set_event_mask_command(event_mask_with_le_meta)); !r) return r;
    if (auto r = command_ok(hci::le_set_event_mask_command(le_event_mask)); !r) return r;
    command_reply reply;
    if (auto r = command_ok(hci::read_bd_addr_command(), &reply); !r) return r;
    if (reply.return_parameters.size() < 1 + address_.size()) {
        return ::testing::AssertionFailure() << "Read BD_ADDR: answer too short";
    }
    std::copy_n(reply.return_parameters.begin() + 1, address_.size(), address_.begin());
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult hci_peer::start_advertising(
    const hci::advertising_parameters& parameters, hci::bytes_view data) {
    const auto data_command = hci::le_set_advertising_data_command(data);
    if (!data_command) {
        return ::testing::AssertionFailure()
               << "advertising data of " << data.size << " bytes; at most 31 fit";
    }
    if (advertiser_.joinable()) {
        if (auto r = stop_advertising(); !r) return r;
    }
    if (auto r = command_ok(hci::le_set_advertising_parameters_command(parameters)); !r) return r;
    if (auto r = command_ok(*data_command); !r) return r;
    if (auto r = command_ok(hci::le_set_advertising_enable_command(true)); !r) return r;

    // Interval units are 0.625 ms.
    const auto period =
        std::max(min_restart_period, std::chrono::milliseconds(parameters.interval_min * 5 / 8));
    {
        std::lock_guard<std::mutex> guard(advertising_lock_);
        advertising_stop_ = false;
    }
    advertiser_ = std::thread([this, period] { advertise_loop(period); });
    return ::testing::AssertionSuccess();
}

void hci_peer::advertise_loop(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(advertising_lock_);
    while (!advertising_wake_.wait_for(lock, period, [this] { return advertising_stop_; })) {
        lock.unlock();
        ::testing::AssertionResult done = command_ok(hci::le_set_advertising_enable_command(false));
        if (done) done = command_ok(hci::le_set_advertising_enable_command(true));
        lock.lock();
        std::lock_guard<std::mutex> guard(state_lock_);
        if (!done) {
            // Not advertising any more, whatever went wrong: say so and stop trying.
            if (advertising_trouble_.empty()) advertising_trouble_ = done.message();
            return;
        }
        ++advertising_restarts_;
    }
}

void hci_peer::stop_advertising_thread() {
    if (!advertiser_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(advertising_lock_);
        advertising_stop_ = true;
    }
    advertising_wake_.notify_all();
    advertiser_.join();
}

::testing::AssertionResult hci_peer::stop_advertising() {
    stop_advertising_thread();
    command_reply reply;
    if (auto r = command(hci::le_set_advertising_enable_command(false), &reply); !r) return r;
    // Refused as not allowed: it was off already (the thread stopped when switching it back on
    // failed), which is where this leaves it.
    if (reply.status != 0 && reply.status != command_disallowed) {
        return ::testing::AssertionFailure()
               << "LE Set Advertising Enable (off): status " << hex8(reply.status);
    }
    return ::testing::AssertionSuccess();
}

size_t hci_peer::advertising_restarts() const {
    std::lock_guard<std::mutex> guard(state_lock_);
    return advertising_restarts_;
}

std::string hci_peer::advertising_trouble() const {
    std::lock_guard<std::mutex> guard(state_lock_);
    return advertising_trouble_;
}

::testing::AssertionResult hci_peer::start_scanning(const hci::scan_parameters& parameters) {
    if (auto r = command_ok(hci::le_set_scan_parameters_command(parameters)); !r) return r;
    return command_ok(hci::le_set_scan_enable_command(true, false));
}

::testing::AssertionResult hci_peer::stop_scanning() {
    return command_ok(hci::le_set_scan_enable_command(false, false));
}

std::vector<received_report> hci_peer::reports() const {
    std::lock_guard<std::mutex> guard(state_lock_);
    return reports_;
}

size_t hci_peer::report_count() const {
    std::lock_guard<std::mutex> guard(state_lock_);
    return reports_.size();
}

size_t hci_peer::dropped_reports() const {
    std::lock_guard<std::mutex> guard(state_lock_);
    return dropped_reports_;
}

std::optional<size_t> hci_peer::wait_for_report(
    const std::function<bool(const received_report&)>& pred, std::chrono::milliseconds limit,
    size_t from) {
    const steady::time_point deadline = steady::now() + limit;
    std::unique_lock<std::mutex> lock(state_lock_);
    size_t checked = from;
    for (;;) {
        for (; checked < reports_.size(); ++checked) {
            if (pred(reports_[checked])) return checked;
        }
        if (closed_ || steady::now() >= deadline) return std::nullopt;
        arrived_.wait_until(lock, deadline);
    }
}

::testing::AssertionResult hci_peer::send_packet(const std::vector<uint8_t>& packet) {
    std::string error;
    if (!write_packet(packet, error)) return ::testing::AssertionFailure() << error;
    return ::testing::AssertionSuccess();
}

bool hci_peer::connected() const {
    std::lock_guard<std::mutex> guard(state_lock_);
    return !closed_;
}

std::vector<uint8_t> flags_and_uuid128(const std::string& uuid_text) {
    std::string digits;
    for (const char c : uuid_text) {
        if (c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw std::invalid_argument("not a 128-bit UUID: " + uuid_text);
        }
        digits += c;
    }
    if (digits.size() != 32) throw std::invalid_argument("not a 128-bit UUID: " + uuid_text);
    std::vector<uint8_t> data = {0x02, 0x01, 0x06, 0x11, 0x07};
    for (size_t i = 32; i >= 2; i -= 2) {
        data.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i - 2, 2), nullptr, 16)));
    }
    return data;
}

}  // namespace btvirt_testing
