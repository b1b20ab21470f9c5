#include "tests/support/scripted_controller.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "hci/hci_commands.h"
#include "hci/hci_events.h"
#include "hci/l2cap.h"
#include "tests/support/hci_controller_events.h"

namespace testing_support {

namespace {

namespace status {
constexpr uint8_t success = 0x00;
constexpr uint8_t unknown_command = 0x01;
constexpr uint8_t unknown_connection = 0x02;
constexpr uint8_t command_disallowed = 0x0C;
constexpr uint8_t invalid_parameters = 0x12;
constexpr uint8_t terminated_by_local_host = 0x16;
}  // namespace status

// The bit of the LE event mask that asks for enhanced connection complete events.
constexpr uint64_t enhanced_connection_complete_bit = uint64_t{1} << 9;
constexpr uint64_t default_le_event_mask = 0x1F;
constexpr size_t reply_fragment_size = 27;

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// The parameter length of each command the controller knows; the host's builders must
// match these byte for byte.
std::optional<size_t> parameter_length(uint16_t opcode) {
    namespace op = hci::opcode;
    switch (opcode) {
        case op::reset:
        case op::read_local_version_information:
        case op::read_buffer_size:
        case op::read_bd_addr:
        case op::le_read_buffer_size:
        case op::le_read_local_supported_features:
        case op::le_create_connection_cancel:
            return 0;
        case op::le_set_advertising_enable:
            return 1;
        case op::read_rssi:
        case op::le_set_scan_enable:
            return 2;
        case op::disconnect:
        case op::le_remote_connection_parameter_request_negative_reply:
            return 3;
        case op::le_set_scan_parameters:
            return 7;
        case op::set_event_mask:
        case op::le_set_event_mask:
            return 8;
        case op::le_connection_update:
        case op::le_remote_connection_parameter_request_reply:
            return 14;
        case op::le_set_advertising_parameters:
            return 15;
        case op::le_set_advertising_data:
            return 32;
        case op::le_create_connection:
            return 25;
        default:
            return std::nullopt;
    }
}

bool answered_by_status(uint16_t opcode) {
    return opcode == hci::opcode::le_create_connection || opcode == hci::opcode::disconnect ||
           opcode == hci::opcode::le_connection_update;
}

uint16_t u16_at(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

uint16_t handle_at(const std::vector<uint8_t>& bytes, size_t at) {
    return u16_at(bytes, at) & 0x0FFF;
}

// LE Connection Update and the parameter request reply share their layout: handle,
// interval min and max, latency, timeout. The controller settles on the largest interval.
scripted_controller::packets update_complete_for(const recorded_command& command) {
    hci::connection_update_complete fields;
    fields.connection_handle = handle_at(command.parameters, 0);
    fields.connection_interval = u16_at(command.parameters, 4);
    fields.peripheral_latency = u16_at(command.parameters, 6);
    fields.supervision_timeout = u16_at(command.parameters, 8);
    return {connection_update_complete_event(fields)};
}

// The peer named by LE Create Connection's parameters: address type at 5, address at 6.
void peer_of(const recorded_command& create, hci::connection_complete& fields) {
    fields.peer_address_type = create.parameters[5];
    std::copy_n(create.parameters.begin() + 6, 6, fields.peer_address.begin());
}

}  // namespace

command_reply command_reply::failing(uint8_t status) {
    command_reply out;
    out.status = status;
    return out;
}

command_reply command_reply::complete(uint8_t status, std::vector<uint8_t> parameters) {
    command_reply out;
    out.what = kind::complete;
    out.status = status;
    out.parameters = std::move(parameters);
    return out;
}

command_reply command_reply::command_status(uint8_t status) {
    command_reply out;
    out.what = kind::status;
    out.status = status;
    return out;
}

command_reply command_reply::silent() {
    command_reply out;
    out.what = kind::silent;
    return out;
}

command_reply command_reply::without_follow_ups() {
    command_reply out;
    out.follow_ups = false;
    return out;
}

scripted_controller::scripted_controller()
    : host_parser_(0xFFFF),
      reassembler_(4 + 0xFFFF),
      sent_parser_(0xFFFF),
      delivered_parser_(0xFFFF) {
    install_default_follow_ups();
}

scripted_controller::~scripted_controller() {
    close();
    // Left running only when a handler closed its own transport; joining would never end.
    if (thread_.joinable()) thread_.detach();
}

void scripted_controller::install_default_follow_ups() {
    follow_ups_[hci::opcode::disconnect] = [](const recorded_command& command) -> packets {
        return {disconnection_complete_event(handle_at(command.parameters, 0),
                                             status::terminated_by_local_host)};
    };
    follow_ups_[hci::opcode::le_connection_update] = update_complete_for;
    follow_ups_[hci::opcode::le_remote_connection_parameter_request_reply] = update_complete_for;
    follow_ups_[hci::opcode::le_create_connection_cancel] = [this](const recorded_command&) {
        packets out;
        if (!creating_) return out;
        hci::connection_complete fields;
        fields.status = cancel_status_;
        peer_of(*creating_, fields);
        out.push_back(connection_event(fields));
        return out;
    };
}

// --- The transport ---

void scripted_controller::start(bytes_handler on_bytes, lost_handler on_lost) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) {
        violation("start() called more than once");
        return;
    }
    started_ = true;
    if (closed_) return;
    on_bytes_ = std::move(on_bytes);
    on_lost_ = std::move(on_lost);
    running_ = true;
    thread_ = std::thread([this] { run(); });
    delivery_thread_ = thread_.get_id();
}

void scripted_controller::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) break;
        outgoing item = std::move(queue_.front());
        queue_.pop_front();
        delivering_ = true;
        if (item.what == outgoing::kind::lost) {
            queue_.clear();
            lock.unlock();
            if (on_lost_) on_lost_(item.why);
            lock.lock();
            break;
        }
        if (item.what == outgoing::kind::answer) patch_command_packets(item.bytes);
        // The host may send ACL data between two packets of one chunk, on the credits of
        // those it has read.
        hci::feed_by_packet(delivered_parser_, item.bytes,
                            [&](hci::bytes_view piece, const auto& delivered) {
                                for (const auto& packet : delivered) note_before_delivery(packet);
                                lock.unlock();
                                if (on_bytes_) on_bytes_(piece);
                                lock.lock();
                                for (const auto& packet : delivered) note_after_delivery(packet);
                                return !stopping_;
                            });
        delivering_ = false;
        changed_.notify_all();
    }
    running_ = false;
    delivering_ = false;
    changed_.notify_all();
}

bool scripted_controller::write(hci::bytes_view packet, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        why = "the transport is closed";
        return false;
    }
    if (lost_) {
        why = lost_why_;
        return false;
    }
    const uint64_t skipped_before = host_parser_.skipped_bytes();
    std::vector<hci::h4_packet> written;
    host_parser_.feed(packet, written);
    if (host_parser_.skipped_bytes() != skipped_before) {
        violation(
            format("%llu written bytes that are no packet",
                   static_cast<unsigned long long>(host_parser_.skipped_bytes() - skipped_before)));
    }
    if (written.size() != 1 || host_parser_.pending_bytes() != 0) {
        violation(format("a write of %zu bytes that is not one whole packet", packet.size));
    }
    for (const auto& p : written) {
        if (p.type == hci::packet_type::command) {
            on_command(p);
        } else if (p.type == hci::packet_type::acl_data) {
            on_acl(p);
        } else {
            violation(format("a packet of type 0x%02X, which hosts do not send",
                             static_cast<unsigned>(p.type)));
        }
    }
    changed_.notify_all();
    return true;
}

void scripted_controller::close() {
    std::thread joining;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        closed_ = true;
        stopping_ = true;
        queue_.clear();
        changed_.notify_all();
        if (running_ && std::this_thread::get_id() == delivery_thread_) {
            violation("close() called from the transport's own thread");
            return;
        }
        if (!thread_.joinable()) {
            // Another close() is joining; this one returns once the thread has ended too.
            changed_.wait(lock, [this] { return !running_; });
            return;
        }
        joining = std::move(thread_);
    }
    joining.join();
}

// --- What the host writes ---

void scripted_controller::on_command(const hci::h4_packet& packet) {
    hci::byte_reader in(packet.bytes);
    recorded_command command;
    command.opcode = in.u16();
    in.u8();
    command.parameters = in.rest().to_vector();
    commands_.push_back({command, false});

    const bool had_credit = command_credits_ > 0;
    if (had_credit) {
        --command_credits_;
    } else {
        violation(
            format("command 0x%04X sent while the controller allowed no more (%zu "
                   "waiting for an answer)",
                   command.opcode, in_flight_.size()));
    }
    const command_reply reply = next_reply(command.opcode);
    if (reply.what == command_reply::kind::silent) {
        if (had_credit) ++command_credits_;
        return;
    }
    in_flight_.push_back(command.opcode);
    max_in_flight_ = std::max(max_in_flight_, in_flight_.size());

    resolved_reply answer = usual_reply(command);
    if (reply.what != command_reply::kind::usual) {
        answer.what = reply.what;
        answer.parameters.clear();
    }
    if (reply.status) answer.status = *reply.status;
    if (reply.parameters) answer.parameters = *reply.parameters;

    // A command cut short takes no effect even if a script says it succeeded: nothing can be
    // read from it. Follow-ups are built before the command takes effect, so that a cancel's
    // event can name the connection attempt it ends.
    const auto length = parameter_length(command.opcode);
    const bool well_formed = !length || *length == command.parameters.size();
    if (!well_formed) {
        violation(format("command 0x%04X with %zu parameter bytes where it takes %zu",
                         command.opcode, command.parameters.size(), *length));
    }
    const bool takes_effect = answer.status == status::success && well_formed;
    packets then;
    if (takes_effect && reply.follow_ups) {
        const auto it = follow_ups_.find(command.opcode);
        if (it != follow_ups_.end() && it->second) then = it->second(command);
    }
    if (takes_effect) apply(command);

    // The number of commands allowed is filled in as the answer reaches the host.
    if (answer.what == command_reply::kind::complete) {
        std::vector<uint8_t> parameters{answer.status};
        hci::put_bytes(parameters, answer.parameters);
        send(command_complete_event(command.opcode, parameters, 0), outgoing::kind::answer);
    } else {
        send(command_status_event(command.opcode, answer.status, 0), outgoing::kind::answer);
    }
    for (auto& p : then) send(std::move(p));
}

command_reply scripted_controller::next_reply(uint16_t opcode) {
    const auto it = scripts_.find(opcode);
    if (it == scripts_.end() || it->second.empty()) return command_reply::usual();
    scripted& front = it->second.front();
    const command_reply reply = front.reply;
    if (front.remaining != 0 && --front.remaining == 0) it->second.pop_front();
    return reply;
}

scripted_controller::resolved_reply scripted_controller::usual_reply(
    const recorded_command& command) const {
    namespace op = hci::opcode;
    resolved_reply out;
    out.what = answered_by_status(command.opcode) ? command_reply::kind::status
                                                  : command_reply::kind::complete;
    const auto length = parameter_length(command.opcode);
    if (!length) {
        out.status = status::unknown_command;
        return out;
    }
    if (*length != command.parameters.size()) {
        out.status = status::invalid_parameters;
        return out;
    }
    const auto has_connection = [&] {
        return connections_.count(handle_at(command.parameters, 0)) != 0;
    };
    std::vector<uint8_t>& p = out.parameters;
    switch (command.opcode) {
        case op::read_local_version_information:
            // HCI version, revision, LL version, manufacturer, LL subversion.
            p = {0x0B, 0x00, 0x00, 0x0B, 0xF1, 0x05, 0x00, 0x00};
            break;
        case op::read_bd_addr:
            p.assign(default_local_address.begin(), default_local_address.end());
            break;
        case op::le_read_buffer_size:
            hci::put_u16(p, le_buffer_.length);
            hci::put_u8(p, static_cast<uint8_t>(le_buffer_.count));
            break;
        case op::read_buffer_size:
            hci::put_u16(p, acl_buffer_.length);
            hci::put_u8(p, 0);  // no synchronous links
            hci::put_u16(p, acl_buffer_.count);
            hci::put_u16(p, 0);
            break;
        case op::le_read_local_supported_features:
            // Encryption and the connection parameters request procedure.
            p = {0x03, 0, 0, 0, 0, 0, 0, 0};
            break;
        case op::read_rssi: {
            const uint16_t handle = handle_at(command.parameters, 0);
            if (!has_connection()) out.status = status::unknown_connection;
            const auto rssi = rssi_.find(handle);
            hci::put_u16(p, handle);
            hci::put_u8(p, static_cast<uint8_t>(rssi == rssi_.end() ? default_rssi : rssi->second));
            break;
        }
        case op::le_remote_connection_parameter_request_reply:
        case op::le_remote_connection_parameter_request_negative_reply:
            if (!has_connection()) out.status = status::unknown_connection;
            hci::put_u16(p, handle_at(command.parameters, 0));
            break;
        case op::disconnect:
        case op::le_connection_update:
            if (!has_connection()) out.status = status::unknown_connection;
            break;
        case op::le_create_connection:
            if (creating_) out.status = status::command_disallowed;
            break;
        case op::le_create_connection_cancel:
            if (!creating_) out.status = status::command_disallowed;
            break;
        default:
            break;
    }
    return out;
}

void scripted_controller::apply(const recorded_command& command) {
    switch (command.opcode) {
        case hci::opcode::reset:
            connections_.clear();
            creating_.reset();
            le_event_mask_ = default_le_event_mask;
            break;
        case hci::opcode::le_set_event_mask: {
            hci::byte_reader in(command.parameters);
            le_event_mask_ = 0;
            for (int i = 0; i < 8; ++i) le_event_mask_ |= uint64_t{in.u8()} << (8 * i);
            break;
        }
        case hci::opcode::le_create_connection:
            creating_ = command;
            break;
        case hci::opcode::le_create_connection_cancel:
            creating_.reset();
            break;
        default:
            break;
    }
}

void scripted_controller::on_acl(const hci::h4_packet& packet) {
    // The H4 parser framed it by its own length field: it always parses.
    const auto acl = hci::parse_acl_packet(packet.bytes);
    const uint16_t handle = acl->connection_handle;
    acl_.push_back({handle, acl->packet_boundary, acl->data.to_vector()});

    if (host_connections_.count(handle) == 0) {
        violation(format("ACL data on handle 0x%03X, which the host has no connection on", handle));
    } else {
        const auto buffers = host_buffer();
        const size_t outstanding =
            std::accumulate(outstanding_.begin(), outstanding_.end(), size_t{0},
                            [](size_t sum, const auto& entry) { return sum + entry.second; });
        if (!buffers) {
            violation("ACL data before the host has read the controller's buffer size");
        } else if (acl->data.size > buffers->length) {
            violation(format("an ACL packet of %zu bytes where the buffers hold %u", acl->data.size,
                             static_cast<unsigned>(buffers->length)));
        } else if (outstanding + 1 > buffers->count) {
            violation(format("ACL packet %zu outstanding where the controller has %u buffers",
                             outstanding + 1, static_cast<unsigned>(buffers->count)));
        }
        ++outstanding_[handle];
    }
    // A link the controller has already closed completes nothing: the host learns from
    // Disconnection Complete that its packets there are gone.
    if (auto_complete_ && connections_.count(handle) != 0) {
        send(number_of_completed_packets_event({{handle, 1}}));
    }

    const uint64_t dropped_before = reassembler_.dropped();
    const auto pdu = reassembler_.add(packet.bytes);
    if (reassembler_.dropped() != dropped_before) {
        violation(format("ACL packets on handle 0x%03X that make no whole L2CAP PDU", handle));
    }
    if (!pdu) return;
    const auto frame = hci::parse_l2cap_frame(pdu->bytes);
    if (!frame) return;
    pdus_.push_back({{handle, frame->channel_id, frame->payload.to_vector()}, false});
    if (frame->channel_id != hci::cid::att) return;
    const auto phone = phones_.find(handle);
    if (phone == phones_.end()) return;
    if (const auto answer = phone->second.answer(frame->payload)) {
        send_l2cap(handle, hci::cid::att, *answer, reply_fragment_size);
    }
}

std::optional<scripted_controller::buffer> scripted_controller::host_buffer() const {
    // LE links share the BR/EDR buffers when the LE ones are reported as none.
    if (told_le_buffer_ && told_le_buffer_->count != 0 && told_le_buffer_->length != 0) {
        return told_le_buffer_;
    }
    return told_acl_buffer_;
}

// --- What the controller sends ---

void scripted_controller::send(std::vector<uint8_t> bytes, outgoing::kind what) {
    if (closed_ || lost_) return;
    std::vector<hci::h4_packet> sent;
    sent_parser_.feed(bytes, sent);
    for (const auto& packet : sent) note_sent(packet);
    queue_.push_back({what, std::move(bytes), {}});
    changed_.notify_all();
}

void scripted_controller::send_l2cap(uint16_t handle, uint16_t channel, hci::bytes_view payload,
                                     size_t fragment_size) {
    const auto pdu = hci::l2cap_pdu(channel, payload);
    if (!pdu) throw std::invalid_argument("L2CAP payload over 65535 bytes");
    for (auto& fragment : peer_acl_fragments(handle, *pdu, fragment_size)) {
        send(std::move(fragment));
    }
}

std::vector<uint8_t> scripted_controller::connection_event(hci::connection_complete fields) const {
    fields.enhanced = (le_event_mask_ & enhanced_connection_complete_bit) != 0;
    return connection_complete_event(fields);
}

void scripted_controller::note_sent(const hci::h4_packet& packet) {
    if (packet.type != hci::packet_type::event) return;
    if (const auto done = hci::parse_connection_complete(packet.bytes)) {
        if (done->status == status::success) connections_.insert(done->connection_handle);
        // A connection as central, or a failed one, ends the attempt under way.
        if (done->role == 0 || done->status != status::success) creating_.reset();
    } else if (const auto gone = hci::parse_disconnection_complete(packet.bytes)) {
        if (gone->status == status::success) connections_.erase(gone->connection_handle);
    }
}

void scripted_controller::patch_command_packets(std::vector<uint8_t>& answer) const {
    // Indicator, code, length, then for Command Complete the count and opcode, for Command
    // Status the status, count and opcode.
    const bool complete = answer[1] == hci::event_code::command_complete;
    const size_t count_at = complete ? 3 : 4;
    const uint16_t opcode = u16_at(answer, count_at + 1);
    const size_t others = in_flight_.size() - (std::find(in_flight_.begin(), in_flight_.end(),
                                                         opcode) != in_flight_.end());
    answer[count_at] = static_cast<uint8_t>(
        others >= command_packets_ ? 0 : command_packets_ - static_cast<uint8_t>(others));
}

void scripted_controller::note_before_delivery(const hci::h4_packet& packet) {
    if (packet.type != hci::packet_type::event) return;
    const auto answered = [this](uint16_t opcode, uint8_t allowed) {
        command_credits_ = allowed;
        const auto it = std::find(in_flight_.begin(), in_flight_.end(), opcode);
        if (it != in_flight_.end()) in_flight_.erase(it);
    };
    if (const auto cc = hci::parse_command_complete(packet.bytes)) {
        answered(cc->opcode, cc->num_command_packets);
        hci::byte_reader in(cc->return_parameters);
        if (in.u8() != status::success || !in.ok()) return;
        if (cc->opcode == hci::opcode::le_read_buffer_size) {
            buffer told;
            told.length = in.u16();
            told.count = in.u8();
            if (in.ok()) told_le_buffer_ = told;
        } else if (cc->opcode == hci::opcode::read_buffer_size) {
            buffer told;
            told.length = in.u16();
            in.u8();
            told.count = in.u16();
            if (in.ok()) told_acl_buffer_ = told;
        } else if (cc->opcode == hci::opcode::reset) {
            // Links and the packets on them are gone without a word.
            host_connections_.clear();
            outstanding_.clear();
            reassembler_ = hci::acl_reassembler(4 + 0xFFFF);
        }
    } else if (const auto cs = hci::parse_command_status(packet.bytes)) {
        answered(cs->opcode, cs->num_command_packets);
    } else if (const auto done = hci::parse_connection_complete(packet.bytes)) {
        if (done->status == status::success) host_connections_.insert(done->connection_handle);
    } else if (const auto completed = hci::parse_number_of_completed_packets(packet.bytes)) {
        for (const auto& entry : *completed) {
            const auto it = outstanding_.find(entry.connection_handle);
            if (it == outstanding_.end()) continue;
            it->second -= std::min<size_t>(it->second, entry.count);
        }
    } else if (const auto gone = hci::parse_disconnection_complete(packet.bytes)) {
        if (gone->status != status::success) return;
        // The packets still outstanding there are freed with the link.
        outstanding_.erase(gone->connection_handle);
        reassembler_.forget(gone->connection_handle);
    }
}

void scripted_controller::note_after_delivery(const hci::h4_packet& packet) {
    // The host may use a link until it has had the chance to hear that it is gone.
    if (packet.type != hci::packet_type::event) return;
    if (const auto gone = hci::parse_disconnection_complete(packet.bytes)) {
        if (gone->status == status::success) host_connections_.erase(gone->connection_handle);
    }
}

void scripted_controller::violation(std::string what) {
    violations_.push_back(std::move(what));
}

// --- Configuration ---

void scripted_controller::script(uint16_t opcode, command_reply reply, unsigned times) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_[opcode].push_back({std::move(reply), times});
}

void scripted_controller::set_follow_up(uint16_t opcode, follow_up then) {
    std::lock_guard<std::mutex> lock(mutex_);
    follow_ups_[opcode] = std::move(then);
}

void scripted_controller::connect_on_create(uint16_t handle) {
    set_follow_up(hci::opcode::le_create_connection,
                  [this, handle](const recorded_command& command) {
                      hci::connection_complete fields;
                      fields.connection_handle = handle;
                      peer_of(command, fields);
                      // After the peer come the own address type (12) and interval min (13); the
                      // controller settles on the largest interval.
                      fields.connection_interval = u16_at(command.parameters, 15);
                      fields.peripheral_latency = u16_at(command.parameters, 17);
                      fields.supervision_timeout = u16_at(command.parameters, 19);
                      return packets{connection_event(fields)};
                  });
}

void scripted_controller::set_cancel_status(uint8_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_status_ = status;
}

void scripted_controller::set_command_packets(uint8_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    command_packets_ = count;
}

void scripted_controller::set_le_buffer(uint16_t length, uint8_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    le_buffer_ = {length, count};
}

void scripted_controller::set_acl_buffer(uint16_t length, uint16_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    acl_buffer_ = {length, count};
}

void scripted_controller::set_rssi(uint16_t handle, int8_t rssi) {
    std::lock_guard<std::mutex> lock(mutex_);
    rssi_[handle] = rssi;
}

void scripted_controller::set_auto_complete_packets(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto_complete_ = on;
}

// --- Deliveries ---

void scripted_controller::deliver(hci::bytes_view bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    send(bytes.to_vector());
}

void scripted_controller::deliver_l2cap(uint16_t handle, uint16_t channel, hci::bytes_view payload,
                                        size_t fragment_size) {
    std::lock_guard<std::mutex> lock(mutex_);
    send_l2cap(handle, channel, payload, fragment_size);
}

void scripted_controller::deliver_att(uint16_t handle, hci::bytes_view pdu, size_t fragment_size) {
    deliver_l2cap(handle, hci::cid::att, pdu, fragment_size);
}

void scripted_controller::complete_packets(uint16_t handle, uint16_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    send(number_of_completed_packets_event({{handle, count}}));
}

void scripted_controller::lose(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || lost_) return;
    lost_ = true;
    lost_why_ = why;
    queue_.push_back({outgoing::kind::lost, {}, why});
    changed_.notify_all();
}

void scripted_controller::serve_att(uint16_t handle, att_server server) {
    std::lock_guard<std::mutex> lock(mutex_);
    phones_.insert_or_assign(handle, std::move(server));
}

std::optional<att_server> scripted_controller::phone(uint16_t handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = phones_.find(handle);
    if (it == phones_.end()) return std::nullopt;
    return it->second;
}

bool scripted_controller::wait_until_delivered(milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return queue_.empty() && !delivering_; });
}

// --- Records ---

namespace {

// The earliest record that `matches` and no wait has taken, taken now.
template <typename Record, typename Match>
std::optional<Record> take(std::vector<std::pair<Record, bool>>& records, Match matches) {
    for (auto& [record, taken] : records) {
        if (!taken && matches(record)) {
            taken = true;
            return record;
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<recorded_command> scripted_controller::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<recorded_command> out;
    for (const auto& entry : commands_) out.push_back(entry.first);
    return out;
}

size_t scripted_controller::count_commands(uint16_t opcode) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(
        std::count_if(commands_.begin(), commands_.end(),
                      [opcode](const auto& entry) { return entry.first.opcode == opcode; }));
}

std::vector<recorded_acl> scripted_controller::acl_packets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acl_;
}

std::vector<recorded_pdu> scripted_controller::l2cap_pdus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<recorded_pdu> out;
    for (const auto& entry : pdus_) out.push_back(entry.first);
    return out;
}

std::optional<recorded_command> scripted_controller::wait_for_command(uint16_t opcode,
                                                                      milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<recorded_command> found;
    changed_.wait_for(lock, limit, [&] {
        found = take(commands_, [opcode](const recorded_command& c) { return c.opcode == opcode; });
        return found.has_value();
    });
    return found;
}

std::optional<recorded_pdu> scripted_controller::wait_for_att_pdu(uint16_t handle, uint8_t opcode,
                                                                  milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<recorded_pdu> found;
    changed_.wait_for(lock, limit, [&] {
        found = take(pdus_, [&](const recorded_pdu& pdu) {
            return pdu.handle == handle && pdu.channel == hci::cid::att && !pdu.payload.empty() &&
                   pdu.payload[0] == opcode;
        });
        return found.has_value();
    });
    return found;
}

std::optional<recorded_pdu> scripted_controller::wait_for_l2cap(uint16_t handle, uint16_t channel,
                                                                milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<recorded_pdu> found;
    changed_.wait_for(lock, limit, [&] {
        found = take(pdus_, [&](const recorded_pdu& pdu) {
            return pdu.handle == handle && pdu.channel == channel;
        });
        return found.has_value();
    });
    return found;
}

std::vector<std::string> scripted_controller::violations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return violations_;
}

size_t scripted_controller::max_commands_in_flight() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return max_in_flight_;
}

size_t scripted_controller::outstanding_acl_packets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t total = 0;
    for (const auto& entry : outstanding_) total += entry.second;
    return total;
}

}  // namespace testing_support
