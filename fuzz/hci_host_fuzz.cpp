// The host stack behind the HCI backend, with the controller as the untrusted party. Per
// input, one host opens on a controller of the harness's own that answers every command
// the way a plain LE controller does, is enabled, scans and makes one connection (the
// controller's handle 0x0040, the program's 0); then the input is the controller's byte
// stream, in chunks of the input's sizes, with the program's calls in between; then the
// host closes.
//
// Input: one byte of flags, then steps until the input ends.
//   flags bit 0: the controller frees each ACL packet the host sends at once (Number Of
//                Completed Packets); otherwise only the stream frees them.
//   flags bit 1: scanning starts again once the link is up, so reports reach the program.
//   flags bits 2-3: the controller's buffers for ACL data: 27 bytes x 2 (0), 251 x 1 (1),
//                no LE buffers but 64 x 3 shared ones (2), or 5 x 4 (3), which splits even an
//                L2CAP header.
//   step 0x00-0x7F: the next (step + 1) bytes of the stream, handed over in one piece, or
//                   split only where a packet ends within it.
//   step 0x80-0xFF: a program call: bits 0-3 which one (see `call` below), bit 4 the
//                   program's link handle (0 or 1), bits 5-6 a variant; its arguments are
//                   the bytes that follow (zeros past the end).
// Losses and recoveries: call 13 ends the controller's stream (the host is given a way to
// open it again: each reopening hands it a fresh controller of the harness's own, unless the
// input said the port is not back yet), or, with variant bit 1, loses the controller on a
// stream that still works: a Hardware Error (link bit 0) or a burst of noise from a byte
// that begins no packet (link bit 1), which a host recovers from by HCI Reset on the same
// stream. Whatever the host does about it must use only the harness's thread, as everything
// else here does.
//
// The stream runs on across calls: a call may come in the middle of a packet. Before a
// call the stream settles (all of it handed over), and then the host's background work
// runs: its timers, and the program gets its events; but after call 15 with variant bit 0
// (step 0xAF) the chunks up to the next call are held back until the host's next command,
// and arrive just before its answer, as events a controller sent while the command was on
// its way (at the next settling if no command comes).
//
// Everything runs on the harness's one thread, which is what makes an input cheap: the
// host starts no thread (its background work runs when the harness says), and the
// controller answers a command inside the host's write of it, as a reader thread would
// while the host waits. ACL data arrives while the host holds its lock, so what the
// controller answers to it waits for the next command or settling. The controller never
// answers in the middle of a packet of the stream: before an answer it completes the packet
// under way with zero bytes. When the stream leaves the host no room for commands (a
// Command Complete or Status allowing none), it gives the room back with a Command Complete
// of no command, as controllers do. So no call of the host waits out a time limit. The
// host's limits are set to 5 s, and a call that takes 4 s is a finding: the harness stops
// on it. A command written while the host reads the stream is a finding too: on a real
// reader thread, its answer could never be read.
//
// Checked beside the sanitizers, whatever the stream held: open, enable, scan and connect
// succeed before the stream starts; every call returns; no callback runs inside a call;
// close returns success and no callback runs after it, even when the harness runs the
// background work again; every event has an evt_len no shorter than a whole ble_evt_t and
// not absurdly long, and every byte of it is read (an exact-size event buffer makes a read
// past it an error); GATT events carry counts and lengths that fit inside evt_len; report
// data lies in the program's buffer and is never longer than it; links are reported up once
// and down once; no more GATT responses reach the program than it started procedures, nor
// more write command completions than write commands; the host never sends an ACL packet
// longer than the controller's buffers or more of them than it has buffers; and it never
// writes a command while it reads the stream.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/ble_hci.h"
#include "hci/acl.h"
#include "hci/bytes.h"
#include "hci/h4_parser.h"
#include "hci/hci_commands.h"
#include "hci/hci_events.h"
#include "hci/host/host.h"
#include "tests/support/hci_controller_events.h"

namespace {

using hci::bytes_view;
using packet_bytes = std::vector<uint8_t>;
namespace events = testing_support;

// ORVETTE_FUZZ_TRACE set: every call and its result, every event, every packet of the
// stream and every command and ACL packet of the host's, on stderr, for reading what an
// input does.
const bool tracing = std::getenv("ORVETTE_FUZZ_TRACE") != nullptr;

[[noreturn]] void violated(const std::string& what) {
    std::fprintf(stderr, "invariant violated: %s\n", what.c_str());
    std::abort();
}

constexpr uint16_t first_controller_handle = 0x0040;
constexpr wire::address_bytes local_address{0x01, 0x00, 0x00, 0xEE, 0xFF, 0xC0};
constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr uint8_t status_unknown_command = 0x01;
constexpr uint8_t status_unknown_connection = 0x02;
constexpr uint8_t status_command_disallowed = 0x0C;
constexpr uint8_t reason_local_host = 0x16;
// Every time limit of the host, and how long a call may take: one that takes longer has
// waited for something that never came, as every command is answered at once.
constexpr uint64_t host_limit_ms = 5000;
constexpr uint64_t close_limit_ms = 1000;
constexpr auto call_limit = std::chrono::milliseconds(4000);

// ---- The controller ----

// Its buffers for ACL data: what LE Read Buffer Size reports, and Read Buffer Size for a
// controller whose LE links share the others. Small, so that requests go out in fragments
// and the host runs out of buffers.
struct acl_buffers {
    uint16_t le_length = 27;
    uint8_t le_count = 2;
    uint16_t shared_length = 0;
    uint16_t shared_count = 0;

    uint16_t length() const { return le_count == 0 ? shared_length : le_length; }
    size_t count() const { return le_count == 0 ? shared_count : le_count; }
};

acl_buffers buffers_of(uint8_t flags) {
    switch ((flags >> 2) & 3) {
        case 1:
            return {251, 1, 0, 0};
        case 2:
            return {0, 0, 64, 3};
        case 3:
            return {5, 4, 0, 0};
        default:
            return {};
    }
}

uint16_t u16_at(bytes_view bytes, size_t at) {
    return at + 1 < bytes.size ? static_cast<uint16_t>(bytes.data[at] | (bytes.data[at + 1] << 8))
                               : 0;
}

class fuzz_controller final : public hci::transport {
  public:
    fuzz_controller(bool complete_acl, acl_buffers buffers)
        : complete_acl_(complete_acl), buffers_(buffers) {}
    ~fuzz_controller() override { close(); }
    fuzz_controller(const fuzz_controller&) = delete;
    fuzz_controller& operator=(const fuzz_controller&) = delete;

    void start(bytes_handler on_bytes, lost_handler on_lost) override {
        if (started_) violated("the transport was started twice");
        started_ = true;
        on_bytes_ = std::move(on_bytes);
        on_lost_ = std::move(on_lost);
    }

    // A command is answered here, on the writer's thread, before the write returns.
    bool write(bytes_view packet, std::string& why) override {
        if (handing_over_) {
            // On a reader thread this wait could never end: only that thread reads the answer.
            violated("the host wrote a command while it was reading the controller's stream");
        }
        on_harness_thread("write");
        if (!writable(why)) return false;
        if (packet.size >= 1 && packet.data[0] == 0x01) {
            // The host sends every Reset with its parser made afresh, waiting for the
            // Reset's answer: the mirror starts over with it.
            if (packet.size >= 4 && u16_at(packet, 1) == 0x0C03) {
                mirror_ = hci::h4_parser(hci::h4_parser::default_max_acl_length,
                                         hci::h4_parser::start::at_reset_answer);
            }
            // What the controller sent while the command was on its way arrives first, and
            // the controller answers knowing it.
            release_held();
            if (end_at_command_) push(item::kind::lost, {});
            end_at_command_ = false;
            hand_over_queued();
            if (gone_) return true;  // the stream ended with the command on its way
        }
        take(packet);
        hand_over_queued();
        return true;
    }

    // The host holds its lock here, which reading the stream needs: what the controller
    // answers waits for the next command or settling.
    bool send(bytes_view packet, std::string& why) override {
        on_harness_thread("send");
        if (!writable(why)) return false;
        take(packet);
        return true;
    }

    void close() override {
        on_harness_thread("close");
        if (handing_over_) violated("the transport was closed while it handed over bytes");
        closed_ = true;
    }

    // The harness's side. Chunks of the stream, handed over in this order (see deliver).
    void stream(const std::vector<bytes_view>& chunks) {
        for (const bytes_view& chunk : chunks) push_stream(chunk);
    }
    // Hands over everything queued so far, brings the stream to a packet boundary and gives
    // the host room for a command.
    void settle() {
        if (!started_ || closed_) return;
        release_held();
        push(item::kind::settle, {});
        hand_over_queued();
    }
    // Chunks of the stream to hand over just before the answer to the next command, or at
    // the next settling if no command comes first.
    void hold(const std::vector<bytes_view>& chunks) {
        held_.insert(held_.end(), chunks.begin(), chunks.end());
    }
    // The stream ends after what is queued, or with the host's next command on its way,
    // whenever that comes (the close's own commands, if none before).
    void lose(bool at_next_command) {
        if (at_next_command) {
            end_at_command_ = true;
        } else {
            push(item::kind::lost, {});
        }
    }
    // Whether LE Create Connection is followed by its connection at once, or the attempt
    // stays under way until the stream or a cancel ends it.
    void connect_at_once(bool yes) { connect_at_once_ = yes; }
    // A Hardware Error, at the next packet boundary of the stream.
    void hardware_error(uint8_t code) {
        push(item::kind::answer, events::hardware_error_event(code));
    }
    // A glitch: a byte that begins no packet at the next packet boundary, then `bytes`.
    void noise(bytes_view bytes) {
        push(item::kind::noise, {0xFF});
        push_stream(bytes);
    }

  private:
    struct item {
        enum class kind { stream, answer, settle, lost, noise };
        kind what = kind::stream;
        packet_bytes bytes;  // of an answer
        bytes_view chunk;    // of the stream: a part of the input
    };

    // Every call of the host's reaches the transport on the harness's thread: the host was
    // told to start no thread of its own.
    void on_harness_thread(const char* what) const {
        if (std::this_thread::get_id() != harness_thread_) {
            violated(std::string("the transport's ") + what + " on a thread of the host's");
        }
    }

    bool writable(std::string& why) const {
        if (closed_ || writes_fail_) {
            why = closed_ ? "closed" : "the controller's stream ended";
            return false;
        }
        return true;
    }

    // A packet the host wrote or sent, and what the controller does about it.
    void take(bytes_view packet) {
        if (packet.size >= 4 && packet.data[0] == 0x01) {
            if (packet.size != 4u + packet.data[3]) violated("a command of the wrong length");
            on_command(u16_at(packet, 1), {packet.data + 4, packet.size - 4});
        } else if (packet.size >= 5 && packet.data[0] == 0x02) {
            on_acl({packet.data + 1, packet.size - 1});
        } else {
            violated("the host wrote something that is neither a command nor ACL data");
        }
    }

    void push(item::kind what, packet_bytes bytes) {
        queue_.push_back({what, std::move(bytes), {}});
    }
    void push_stream(bytes_view chunk) { queue_.push_back({item::kind::stream, {}, chunk}); }

    void release_held() {
        for (const bytes_view& chunk : held_) push_stream(chunk);
        held_.clear();
    }

    template <typename... Packets>
    void answer(Packets&&... packets) {
        (push(item::kind::answer, std::forward<Packets>(packets)), ...);
    }

    static packet_bytes complete(uint16_t opcode, const packet_bytes& return_parameters) {
        return events::command_complete_event(opcode, return_parameters, 1);
    }

    // The answer, and what a controller sends after it.
    void on_command(uint16_t opcode, bytes_view parameters) {
        if (tracing) std::fprintf(stderr, "command 0x%04X\n", static_cast<unsigned>(opcode));
        namespace op = hci::opcode;
        packet_bytes p{0x00};
        switch (opcode) {
            case op::read_local_version_information:
                p.insert(p.end(), {0x0B, 0x00, 0x00, 0x0B, 0xF1, 0x05, 0x00, 0x00});
                return answer(complete(opcode, p));
            case op::read_bd_addr:
                p.insert(p.end(), local_address.begin(), local_address.end());
                return answer(complete(opcode, p));
            case op::le_read_buffer_size:
                hci::put_u16(p, buffers_.le_length);
                hci::put_u8(p, buffers_.le_count);
                return answer(complete(opcode, p));
            case op::read_buffer_size:
                hci::put_u16(p, buffers_.shared_length);
                hci::put_u8(p, 0);
                hci::put_u16(p, buffers_.shared_count);
                hci::put_u16(p, 0);
                return answer(complete(opcode, p));
            case op::le_read_local_supported_features:
                p.insert(p.end(), {0x03, 0, 0, 0, 0, 0, 0, 0});
                return answer(complete(opcode, p));
            case op::reset:
                reset_pending_ = true;
                return answer(complete(opcode, p));
            case op::set_event_mask:
            case op::le_set_event_mask:
            case op::le_set_scan_parameters:
            case op::le_set_scan_enable:
            case op::le_set_advertising_parameters:
            case op::le_set_advertising_data:
            case op::le_set_advertising_enable:
                return answer(complete(opcode, p));
            case op::read_rssi:
                hci::put_u16(p, u16_at(parameters, 0));
                hci::put_u8(p, static_cast<uint8_t>(-60));
                return answer(complete(opcode, p));
            case op::le_create_connection_cancel: {
                if (!creating_) return answer(complete(opcode, {status_command_disallowed}));
                // The cancelled attempt ends with a connection complete that names no link.
                hci::connection_complete fields = *creating_;
                fields.status = status_unknown_connection;
                creating_.reset();
                return answer(complete(opcode, p), events::connection_complete_event(fields));
            }
            case op::le_remote_connection_parameter_request_negative_reply:
                hci::put_u16(p, u16_at(parameters, 0));
                return answer(complete(opcode, p));
            case op::le_remote_connection_parameter_request_reply: {
                hci::put_u16(p, u16_at(parameters, 0));
                return answer(complete(opcode, p), update_complete(parameters));
            }
            case op::le_create_connection: {
                hci::connection_complete fields;
                fields.connection_handle = next_handle_++;
                fields.peer_address_type = parameters.size > 5 ? parameters.data[5] : 0;
                if (parameters.size >= 12) {
                    std::copy_n(parameters.data + 6, 6, fields.peer_address.begin());
                }
                fields.connection_interval = u16_at(parameters, 15);
                fields.peripheral_latency = u16_at(parameters, 17);
                fields.supervision_timeout = u16_at(parameters, 19);
                if (!connect_at_once_) {
                    creating_ = fields;
                    return answer(events::command_status_event(opcode, 0, 1));
                }
                return answer(events::command_status_event(opcode, 0, 1),
                              events::connection_complete_event(fields));
            }
            case op::disconnect:
                return answer(
                    events::command_status_event(opcode, 0, 1),
                    events::disconnection_complete_event(u16_at(parameters, 0), reason_local_host));
            case op::le_connection_update:
                return answer(events::command_status_event(opcode, 0, 1),
                              update_complete(parameters));
            default:
                return answer(complete(opcode, {status_unknown_command}));
        }
    }

    // LE Connection Update and the parameter request reply share their layout: handle,
    // interval min and max, latency, timeout. The controller settles on the largest interval.
    static packet_bytes update_complete(bytes_view parameters) {
        hci::connection_update_complete fields;
        fields.connection_handle = u16_at(parameters, 0) & 0x0FFF;
        fields.connection_interval = u16_at(parameters, 4);
        fields.peripheral_latency = u16_at(parameters, 6);
        fields.supervision_timeout = u16_at(parameters, 8);
        return events::connection_update_complete_event(fields);
    }

    void on_acl(bytes_view packet) {
        const auto acl = hci::parse_acl_packet(packet);
        if (!acl) violated("an ACL packet whose length field is wrong");
        if (acl->data.size > buffers_.length()) violated("an ACL packet longer than the buffers");
        if (acl->packet_boundary != hci::packet_boundary::first_non_flushable &&
            acl->packet_boundary != hci::packet_boundary::continuing) {
            violated("an ACL packet with packet boundary flags a host does not send");
        }
        if (ever_.count(acl->connection_handle) == 0) {
            violated("ACL data on a handle that no connection ever had");
        }
        // Data on a link the controller has reported gone (the host has not heard yet) is
        // dropped: it takes no buffer, and nothing reports it sent.
        if (links_.count(acl->connection_handle) == 0) {
            if (tracing) {
                std::fprintf(stderr, "acl out on gone 0x%03X dropped\n",
                             static_cast<unsigned>(acl->connection_handle));
            }
            return;
        }
        size_t outstanding = 1;
        for (const auto& [handle, count] : outstanding_) outstanding += count;
        if (outstanding > buffers_.count()) {
            violated("more ACL packets out than the controller has buffers");
        }
        ++outstanding_[acl->connection_handle];
        if (tracing) {
            std::fprintf(stderr, "acl out on 0x%03X, %zu of %zu buffers taken\n",
                         static_cast<unsigned>(acl->connection_handle), outstanding,
                         buffers_.count());
        }
        if (complete_acl_) {
            answer(events::number_of_completed_packets_event({{acl->connection_handle, 1}}));
        }
    }

    // ---- Handing the stream over, on the harness's thread.

    // Until nothing is left, including what the host's reading brings about (the freeing of
    // the ACL packets it sends meanwhile).
    void hand_over_queued() {
        while (!queue_.empty() && !closed_) {
            item next = std::move(queue_.front());
            queue_.pop_front();
            handing_over_ = true;
            hand_over(next);
            handing_over_ = false;
        }
    }

    void hand_over(const item& next) {
        if (gone_) return;  // nothing follows the end of the stream
        switch (next.what) {
            case item::kind::stream:
                deliver(next.chunk);
                // Room again as soon as the stream is between packets.
                if (owed_room_ && mirror_.pending_bytes() == 0) deliver(room());
                break;
            case item::kind::answer:
                complete_packet_under_way();
                deliver_whole(next.bytes);
                break;
            case item::kind::settle:
                complete_packet_under_way();
                if (owed_room_) deliver_whole(room());
                break;
            case item::kind::noise:
                complete_packet_under_way();
                deliver(next.bytes);  // through the framing, which it breaks
                break;
            case item::kind::lost:
                gone_ = true;
                writes_fail_ = true;
                on_lost_("the controller's stream ended");
                break;
        }
    }

    // Completes the packet the stream is in the middle of, if any, with zero bytes.
    void complete_packet_under_way() {
        if (mirror_.pending_bytes() == 0) return;
        // More than the longest packet the framing waits for: ISO data, framed to be dropped.
        static const packet_bytes zeros(2 * hci::h4_parser::max_iso_length, 0);
        hci::feed_by_packet(mirror_, zeros, [this](hci::bytes_view piece, const auto& packets) {
            for (const auto& packet : packets) note(packet.type, packet.bytes);
            on_bytes_(piece);
            return mirror_.pending_bytes() != 0;
        });
    }

    // A Command Complete for no command: room for one command again.
    static packet_bytes room() { return events::command_complete_event(0x0000, {}, 1); }

    // Handed over in pieces that end where a packet does, each packet noted just before its
    // piece: the host reads a chunk's packets in turn and may send ACL data between them, on
    // the credits of those read so far. Noted a whole chunk ahead, a Number Of Completed
    // Packets claiming more than is out, after a phone's request in the same chunk, freed
    // nothing here; yet the host reads it after its answer went out and rightly takes it to
    // cover that answer: it cannot tell when the controller wrote the event, and believes
    // no count beyond what it has out.
    void deliver(bytes_view bytes) {
        hci::feed_by_packet(mirror_, bytes, [this](hci::bytes_view piece, const auto& packets) {
            // What the host learns from the packet, noted before it does.
            for (const auto& packet : packets) note(packet.type, packet.bytes);
            on_bytes_(piece);
            return true;
        });
    }

    // One whole packet of the controller's own, at a packet boundary of the stream: the
    // boundary stays where it is, so the framing need not be followed through its bytes.
    void deliver_whole(const packet_bytes& packet) {
        // Out of step (framing lost, or waiting for a Reset's answer), the host frames
        // nothing until that answer: the packet goes through the mirror as the stream's own
        // bytes do, noted only if it is framed.
        if (!mirror_.in_step()) {
            deliver(packet);
            return;
        }
        note(static_cast<hci::packet_type>(packet.at(0)), {packet.data() + 1, packet.size() - 1});
        on_bytes_(packet);
    }

    // The room for commands, the links and the buffers the host is told of, from a packet
    // (its bytes after the indicator).
    void note(hci::packet_type type, bytes_view packet) {
        if (tracing) {
            std::fprintf(stderr, "stream %s:", type == hci::packet_type::event ? "event" : "other");
            for (size_t i = 0; i < packet.size; ++i) std::fprintf(stderr, " %02X", packet.data[i]);
            std::fprintf(stderr, "\n");
        }
        if (type != hci::packet_type::event) return;
        if (const auto cc = hci::parse_command_complete(packet)) {
            owed_room_ = cc->num_command_packets == 0;
            if (cc->opcode == hci::opcode::reset && reset_pending_) {
                // Our own answer to a reset: the links are gone and the buffers free again.
                reset_pending_ = false;
                outstanding_.clear();
                links_.clear();
            }
        } else if (const auto cs = hci::parse_command_status(packet)) {
            owed_room_ = cs->num_command_packets == 0;
        } else if (const auto completed = hci::parse_number_of_completed_packets(packet)) {
            for (const auto& entry : *completed) {
                const auto it = outstanding_.find(entry.connection_handle);
                if (it == outstanding_.end()) continue;
                it->second -= std::min<size_t>(it->second, entry.count);
            }
        } else if (const auto gone = hci::parse_disconnection_complete(packet)) {
            if (gone->status == 0) {
                outstanding_.erase(gone->connection_handle);
                links_.erase(gone->connection_handle);
            }
        } else if (const auto made = hci::parse_connection_complete(packet)) {
            if (made->status == 0) {
                links_.insert(made->connection_handle);
                ever_.insert(made->connection_handle);
            }
            // A connection as central, or a failed one, ends the attempt under way.
            if (made->role == 0 || made->status != 0) creating_.reset();
        }
    }

    const bool complete_acl_;
    const acl_buffers buffers_;
    const std::thread::id harness_thread_ = std::this_thread::get_id();
    bytes_handler on_bytes_;
    lost_handler on_lost_;
    std::deque<item> queue_;
    std::vector<bytes_view> held_;
    bool started_ = false;
    bool closed_ = false;
    bool handing_over_ = false;  // the host is reading what the controller sent
    bool writes_fail_ = false;
    bool end_at_command_ = false;  // the stream ends once the host writes a command
    uint16_t next_handle_ = first_controller_handle;
    bool connect_at_once_ = true;
    std::optional<hci::connection_complete> creating_;  // the attempt under way
    bool reset_pending_ = false;
    std::map<uint16_t, size_t> outstanding_;  // ACL packets not yet freed, per handle
    std::set<uint16_t> links_;                // as the host is told of them
    std::set<uint16_t> ever_;                 // every handle a connection has had
    hci::h4_parser mirror_;                   // frames the stream as the host's parser does
    bool owed_room_ = false;
    bool gone_ = false;
};

// The host's end of a controller the harness owns: a controller outlives the transport the
// host drops when it opens the stream again, as the harness may still be inside it.
class controller_link final : public hci::transport {
  public:
    explicit controller_link(fuzz_controller& c) : c_(c) {}
    ~controller_link() override { c_.close(); }
    controller_link(const controller_link&) = delete;
    controller_link& operator=(const controller_link&) = delete;
    void start(bytes_handler on_bytes, lost_handler on_lost) override {
        c_.start(std::move(on_bytes), std::move(on_lost));
    }
    bool write(bytes_view packet, std::string& why) override { return c_.write(packet, why); }
    bool send(bytes_view packet, std::string& why) override { return c_.send(packet, why); }
    void close() override { c_.close(); }

  private:
    fuzz_controller& c_;
};

// ---- The program ----

constexpr uint16_t report_buffer_length = BLE_GAP_SCAN_BUFFER_MIN;
// No event the host builds comes near this: the longest tail is an attribute value of at
// most one ACL reassembly.
constexpr size_t longest_event = sizeof(ble_evt_t) + 4096;

struct program_view {
    adapter_t adapter{};
    // Exactly its length, so that a write past it is caught.
    std::unique_ptr<uint8_t[]> report_buffer{new uint8_t[report_buffer_length]()};
    std::atomic<bool> closed{false};
    // A call of the host's is under way: the program is never called back inside one.
    bool in_call = false;
    std::atomic<uint64_t> procedures_started{0};
    std::atomic<uint64_t> procedures_answered{0};
    std::atomic<uint64_t> write_commands_started{0};
    std::atomic<uint64_t> write_commands_completed{0};
    // The event thread's alone: the links the program has been told are up.
    std::set<uint16_t> links;
};

std::atomic<program_view*> current{nullptr};
volatile unsigned sink = 0;

void read_all(const void* bytes, size_t size) {
    const auto* p = static_cast<const volatile uint8_t*>(bytes);
    unsigned total = 0;
    for (size_t i = 0; i < size; ++i) total += p[i];
    sink = sink + total;
}

program_view& view_of(adapter_t* adapter, const char* callback) {
    program_view* view = current.load();
    if (view == nullptr || adapter != &view->adapter) {
        violated(std::string(callback) + " callback for no open adapter");
    }
    if (view->closed.load()) violated(std::string(callback) + " callback after close returned");
    if (view->in_call) violated(std::string(callback) + " callback inside a call of the host's");
    return *view;
}

size_t offset_of(const ble_evt_t* event, const void* member) {
    return static_cast<size_t>(static_cast<const uint8_t*>(member) -
                               reinterpret_cast<const uint8_t*>(event));
}

// The tail of `count` elements of `element` bytes at `member` fits inside the event.
void check_tail(const ble_evt_t* e, const void* member, size_t count, size_t element,
                const char* what) {
    const size_t end = offset_of(e, member) + count * element;
    if (end > e->header.evt_len) violated(std::string(what) + " reaches past evt_len");
    read_all(member, count * element);
}

void on_event(adapter_t* adapter, ble_evt_t* e) {
    program_view& view = view_of(adapter, "event");
    if (e == nullptr) violated("a null event");
    const uint16_t length = e->header.evt_len;
    if (length < sizeof(ble_evt_t) || length > longest_event) {
        violated("an event of " + std::to_string(length) + " bytes");
    }
    read_all(e, length);
    if (tracing) {
        std::fprintf(stderr, "event 0x%02X on %u\n", static_cast<unsigned>(e->header.evt_id),
                     static_cast<unsigned>(e->evt.common_evt.conn_handle));
    }
    const ble_gap_evt_t& gap = e->evt.gap_evt;
    const ble_gattc_evt_t& gattc = e->evt.gattc_evt;
    switch (e->header.evt_id) {
        case BLE_GAP_EVT_CONNECTED:
            if (gap.conn_handle >= 8) violated("a link handle out of the stack's range");
            if (!view.links.insert(gap.conn_handle).second) {
                violated("a link reported up twice");
            }
            break;
        case BLE_GAP_EVT_DISCONNECTED:
            if (view.links.erase(gap.conn_handle) == 0) {
                violated("a link reported down twice");
            }
            break;
        case BLE_GAP_EVT_ADV_REPORT: {
            const ble_data_t& data = gap.params.adv_report.data;
            if (data.len > report_buffer_length) violated("report data longer than the buffer");
            if (data.len > 0 && data.p_data != view.report_buffer.get()) {
                violated("report data outside the program's buffer");
            }
            if (data.len > 0) read_all(data.p_data, data.len);
            break;
        }
        case BLE_GAP_EVT_TIMEOUT: {
            const ble_data_t& buffer = gap.params.timeout.params.adv_report_buffer;
            if (gap.params.timeout.src == BLE_GAP_TIMEOUT_SRC_SCAN &&
                (buffer.p_data != view.report_buffer.get() || buffer.len != report_buffer_length)) {
                violated("a scan time-out that hands back some other buffer");
            }
            break;
        }
        case BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP:
            check_tail(e, gattc.params.prim_srvc_disc_rsp.services,
                       gattc.params.prim_srvc_disc_rsp.count, sizeof(ble_gattc_service_t),
                       "services");
            ++view.procedures_answered;
            break;
        case BLE_GATTC_EVT_CHAR_DISC_RSP:
            check_tail(e, gattc.params.char_disc_rsp.chars, gattc.params.char_disc_rsp.count,
                       sizeof(ble_gattc_char_t), "characteristics");
            ++view.procedures_answered;
            break;
        case BLE_GATTC_EVT_READ_RSP:
            check_tail(e, gattc.params.read_rsp.data, gattc.params.read_rsp.len, 1, "read data");
            ++view.procedures_answered;
            break;
        case BLE_GATTC_EVT_WRITE_RSP:
            check_tail(e, gattc.params.write_rsp.data, gattc.params.write_rsp.len, 1, "write data");
            ++view.procedures_answered;
            break;
        case BLE_GATTC_EVT_HVX:
            check_tail(e, gattc.params.hvx.data, gattc.params.hvx.len, 1, "notified value");
            break;
        case BLE_GATTC_EVT_TIMEOUT:
            ++view.procedures_answered;
            break;
        case BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE:
            view.write_commands_completed += gattc.params.write_cmd_tx_complete.count;
            break;
        default:
            break;
    }
    if (view.procedures_answered > view.procedures_started) {
        violated("a GATT response to no procedure");
    }
    if (view.write_commands_completed > view.write_commands_started) {
        violated("a write command completed that was never sent");
    }
}

void on_status(adapter_t* adapter, sd_rpc_app_status_t code, const char* text) {
    view_of(adapter, "status");
    if (text == nullptr) violated("a status without text");
    read_all(text, std::strlen(text));
    if (tracing) std::fprintf(stderr, "status %d: %s\n", static_cast<int>(code), text);
    // A lost controller takes every link with it, and each is reported down on its own.
    (void)code;
}

void on_log(adapter_t* adapter, sd_rpc_log_severity_t, const char* text) {
    view_of(adapter, "log");
    if (text == nullptr) violated("a log line without text");
    read_all(text, std::strlen(text));
}

// ---- The input ----

class input_reader {
  public:
    input_reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ == size_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() {
        const uint8_t low = u8();
        return static_cast<uint16_t>(low | (u8() << 8));
    }
    // The next `count` bytes, or fewer at the end; they stay in the input.
    bytes_view bytes(size_t count) {
        const size_t n = std::min(count, size_ - at_);
        const bytes_view out{data_ + at_, n};
        at_ += n;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

ble_gap_scan_params_t scan_params(bool active) {
    ble_gap_scan_params_t p{};
    p.active = active ? 1 : 0;
    p.scan_phys = BLE_GAP_PHY_1MBPS;
    p.interval = 160;
    p.window = 80;
    return p;
}

ble_gap_addr_t peer_address(uint8_t first) {
    ble_gap_addr_t a{};
    a.addr_type = BLE_GAP_ADDR_TYPE_PUBLIC;
    std::copy(phone.begin(), phone.end(), a.addr);
    a.addr[0] = first;
    return a;
}

const ble_gap_conn_params_t usual_conn_params{24, 40, 0, 400};

// Runs `call`, which must come back in time, whatever it returns.
template <typename Call>
uint32_t timed(const char* name, Call call) {
    program_view& view = *current.load();
    const auto start = std::chrono::steady_clock::now();
    view.in_call = true;
    const uint32_t result = call();
    view.in_call = false;
    const auto took = std::chrono::steady_clock::now() - start;
    if (tracing) std::fprintf(stderr, "call %s: %u\n", name, static_cast<unsigned>(result));
    if (took > call_limit) {
        violated(
            std::string(name) + " took " +
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
            " ms");
    }
    return result;
}

void must_succeed(const char* name, uint32_t result) {
    if (result != NRF_SUCCESS) {
        violated(std::string(name) + " failed before the stream began: " + std::to_string(result));
    }
}

uint32_t enable(hci::host& host) {
    ble_cfg_t cfg{};
    cfg.gap_cfg.role_count_cfg.adv_set_count = 1;
    cfg.gap_cfg.role_count_cfg.central_role_count = 5;
    uint32_t r = host.cfg_set(BLE_GAP_CFG_ROLE_COUNT, &cfg);
    if (r != NRF_SUCCESS) return r;
    cfg = ble_cfg_t{};
    cfg.conn_cfg.conn_cfg_tag = 1;
    cfg.conn_cfg.params.gatt_conn_cfg.att_mtu = 150;
    r = host.cfg_set(BLE_CONN_CFG_GATT, &cfg);
    if (r != NRF_SUCCESS) return r;
    cfg = ble_cfg_t{};
    cfg.conn_cfg.conn_cfg_tag = 1;
    cfg.conn_cfg.params.gap_conn_cfg.conn_count = 5;
    cfg.conn_cfg.params.gap_conn_cfg.event_length = 6;
    r = host.cfg_set(BLE_CONN_CFG_GAP, &cfg);
    if (r != NRF_SUCCESS) return r;
    return host.enable();
}

uint32_t connect(hci::host& host, uint8_t peer_first_byte) {
    ble_gap_scan_params_t scan = scan_params(false);
    scan.interval = 96;
    scan.window = 48;
    const ble_gap_addr_t peer = peer_address(peer_first_byte);
    return host.connect(&peer, &scan, &usual_conn_params, 1);
}

// Counts a procedure as started before the call that starts it, and takes it back if the
// call fails.
template <typename Call>
void started(std::atomic<uint64_t>& counter, const char* name, Call call) {
    ++counter;
    if (timed(name, call) != NRF_SUCCESS) --counter;
}

// One program call of the input: step `step`, arguments from `in`. By bits 0-3:
//   0 scan_start (variant bit 0: active)      8 conn_param_update with no parameters
//   1 scan resume                             9 conn_param_update (variant bit 0: the four
//   2 scan_stop                                 parameters from the input, else usual ones)
//   3 primary_services_discover (start;      10 rssi_start (threshold, skip count)
//     variant bit 0: a 16-bit UUID too)      11 connect (the peer's first address byte;
//   4 characteristics_discover (start, end)     variant bit 0: the attempt stays under way)
//   5 read (handle; variant bit 0: offset)   12 connect_cancel
//   6 write (handle, length, value; variant  13 the controller's stream ends (variant bit
//     1 a write command, 3 a prepared write)    0: once the host writes its next command)
//   7 disconnect (variant bit 0: the reason) 14 reset
//     (variant bit 1: the controller is lost 15 none (variant bit 0: hold the chunks that
//     on a working stream, see above: link       follow until the host's next command;
//     bit 0 a Hardware Error with the code       variant bit 1: the next (input byte % 4)
//     from the input, 1 noise of (input byte     reopenings of the stream fail)
//     % 64) input bytes after a bad byte)
void call(hci::host& host, fuzz_controller& controller, program_view& view, uint8_t step,
          input_reader& in, int& refused_reopenings) {
    const uint16_t link = (step >> 4) & 1;
    const uint8_t variant = (step >> 5) & 3;
    const ble_data_t buffer{view.report_buffer.get(), report_buffer_length};
    switch (step & 0x0F) {
        case 0: {
            const ble_gap_scan_params_t p = scan_params(variant & 1);
            timed("scan_start", [&] { return host.scan_start(&p, &buffer); });
            break;
        }
        case 1:
            timed("scan resume", [&] { return host.scan_start(nullptr, &buffer); });
            break;
        case 2:
            timed("scan_stop", [&] { return host.scan_stop(); });
            break;
        case 3: {
            const uint16_t start = in.u16();
            ble_uuid_t uuid{};
            uuid.type = BLE_UUID_TYPE_BLE;
            uuid.uuid = (variant & 1) ? in.u16() : 0;
            started(view.procedures_started, "primary_services_discover", [&] {
                return host.primary_services_discover(link, start, (variant & 1) ? &uuid : nullptr);
            });
            break;
        }
        case 4: {
            ble_gattc_handle_range_t range{};
            range.start_handle = in.u16();
            range.end_handle = in.u16();
            started(view.procedures_started, "characteristics_discover",
                    [&] { return host.characteristics_discover(link, &range); });
            break;
        }
        case 5: {
            const uint16_t handle = in.u16();
            const uint16_t offset = (variant & 1) ? in.u16() : 0;
            started(view.procedures_started, "read",
                    [&] { return host.read(link, handle, offset); });
            break;
        }
        case 6: {
            ble_gattc_write_params_t p{};
            static const uint8_t ops[] = {BLE_GATT_OP_WRITE_REQ, BLE_GATT_OP_WRITE_CMD,
                                          BLE_GATT_OP_WRITE_REQ, BLE_GATT_OP_PREP_WRITE_REQ};
            p.write_op = ops[variant];
            p.handle = in.u16();
            const packet_bytes value = in.bytes(in.u8() % 32).to_vector();
            p.len = static_cast<uint16_t>(value.size());
            p.p_value = value.empty() ? nullptr : value.data();
            started(p.write_op == BLE_GATT_OP_WRITE_CMD ? view.write_commands_started
                                                        : view.procedures_started,
                    "write", [&] { return host.write(link, &p); });
            break;
        }
        case 7: {
            const uint8_t reason =
                (variant & 1) ? in.u8() : BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION;
            timed("disconnect", [&] { return host.disconnect(link, reason); });
            break;
        }
        case 8:
            timed("conn_param_update (none)",
                  [&] { return host.conn_param_update(link, nullptr); });
            break;
        case 9: {
            ble_gap_conn_params_t p = usual_conn_params;
            if (variant & 1) {
                p.min_conn_interval = in.u16();
                p.max_conn_interval = in.u16();
                p.slave_latency = in.u16();
                p.conn_sup_timeout = in.u16();
            }
            timed("conn_param_update", [&] { return host.conn_param_update(link, &p); });
            break;
        }
        case 10: {
            const uint8_t threshold = in.u8();
            const uint8_t skip = in.u8();
            timed("rssi_start", [&] { return host.rssi_start(link, threshold, skip); });
            break;
        }
        case 11: {
            const uint8_t peer = in.u8();
            controller.connect_at_once((variant & 1) == 0);
            timed("connect", [&] { return connect(host, peer); });
            break;
        }
        case 12:
            timed("connect_cancel", [&] { return host.connect_cancel(); });
            break;
        case 13:
            if ((variant & 2) == 0) {
                controller.lose((variant & 1) != 0);
            } else if (link == 0) {
                controller.hardware_error(in.u8());
            } else {
                controller.noise(in.bytes(in.u8() % 64));
            }
            break;
        case 14:
            timed("reset", [&] { return host.reset(); });
            break;
        case 15:
            if (variant & 2) refused_reopenings = in.u8() % 4;
            break;  // the stream only settles, or chunks are held (see the input loop)
        default:
            break;
    }
}

const std::shared_ptr<std::atomic<int>> log_filter = std::make_shared<std::atomic<int>>(0);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    input_reader in(data, size);
    const uint8_t flags = in.u8();
    program_view view;
    current = &view;
    // Every controller of the input, the first and one per reopening; the harness drives the
    // latest.
    std::vector<std::unique_ptr<fuzz_controller>> controllers;
    auto fresh_controller = [&] {
        controllers.push_back(
            std::make_unique<fuzz_controller>((flags & 1) != 0, buffers_of(flags)));
        return std::make_unique<controller_link>(*controllers.back());
    };
    int refused_reopenings = 0;
    const std::thread::id harness_thread = std::this_thread::get_id();
    {
        hci::host_options options;
        options.port = "fuzz";
        options.command_limit_ms = host_limit_ms;
        options.reset_limit_ms = host_limit_ms;
        // Shorter than a call may take: a stream whose half packet swallows the answer to
        // the close's first command must not hold the close past the call limit.
        options.close_disconnect_limit_ms = close_limit_ms;
        options.caller_runs_background = true;
        options.reopen = [&, harness_thread](std::string& why) -> std::unique_ptr<hci::transport> {
            if (std::this_thread::get_id() != harness_thread) {
                violated("the stream reopened on a thread of the host's");
            }
            if (refused_reopenings > 0) {
                --refused_reopenings;
                why = "the port is not back yet";
                return nullptr;
            }
            if (tracing) std::fprintf(stderr, "reopened\n");
            return fresh_controller();
        };
        auto first = fresh_controller();
        hci::host host(std::move(first), options,
                       hci::program_callbacks{&view.adapter, on_status, on_event, on_log},
                       log_filter);
        must_succeed("open", timed("open", [&] { return host.open(); }));
        must_succeed("enable", enable(host));
        const ble_data_t buffer{view.report_buffer.get(), report_buffer_length};
        const ble_gap_scan_params_t scan = scan_params(false);
        must_succeed("scan_start",
                     timed("scan_start", [&] { return host.scan_start(&scan, &buffer); }));
        must_succeed("connect", timed("connect", [&] { return connect(host, phone[0]); }));
        // The link is up once the controller's answer to the connection has been read.
        controllers.back()->settle();
        host.run_background();
        if (flags & 2) {
            must_succeed("scan_start",
                         timed("scan_start", [&] { return host.scan_start(&scan, &buffer); }));
        }

        std::vector<bytes_view> chunks;
        bool holding = false;
        while (!in.empty()) {
            const uint8_t step = in.u8();
            if (step < 0x80) {
                chunks.push_back(in.bytes(size_t{step} + 1));
                continue;
            }
            if (holding) {
                controllers.back()->hold(std::move(chunks));
                holding = false;
            } else {
                controllers.back()->stream(std::move(chunks));
                controllers.back()->settle();
                host.run_background();
            }
            chunks.clear();
            if ((step & 0x0F) == 15 && (step & 0x20) != 0) {
                holding = true;
                continue;
            }
            call(host, *controllers.back(), view, step, in, refused_reopenings);
        }
        controllers.back()->stream(std::move(chunks));
        controllers.back()->settle();
        host.run_background();
        const uint32_t closed = timed("close", [&] { return host.close(); });
        if (closed != NRF_SUCCESS) violated("close failed: " + std::to_string(closed));
        view.closed = true;
        // Whatever the close left queued must never reach the program.
        host.run_background();
    }
    current = nullptr;
    return 0;
}
