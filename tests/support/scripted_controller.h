// An LE controller for the HCI backend's tests, behind the same transport interface as a real
// one. It reads what the host writes (H4, split or not), records every command, ACL packet
// and reassembled L2CAP PDU, answers commands as a plain LE controller would unless a test
// scripts otherwise, and hands the host whatever the test delivers. It also checks the host's
// manners: command and ACL flow control, whole-packet writes, well-formed commands.
//
// Threads: every call of the host's handlers comes from one thread of the controller's own,
// started by start(), as from a real transport's reader, and never while the controller holds
// its lock, so a handler may write at once. Answers, follow-ups and a test's deliveries are
// queued in order and handed over one chunk per on_bytes call (split only where a packet ends
// inside it), none before start(). Every public member may be called from any thread, save
// close() from the handlers' thread, which no transport allows (it is recorded as a
// violation).
//
// Default answers (see usual_reply in the .cpp for the bytes):
//   Reset, Set Event Mask, LE Set Event Mask, LE Set Scan Parameters/Enable, LE Set
//   Advertising Parameters/Data/Enable: Command Complete, status 0.
//   Read Local Version Information: HCI and LL version 0x0B, manufacturer 0x05F1.
//   Read BD_ADDR: default_local_address.
//   LE Read Buffer Size: 251 bytes, 3 packets; Read Buffer Size: 1021 bytes, 8 packets.
//   LE Read Local Supported Features: encryption and the connection parameters request.
//   Read RSSI: the handle and its RSSI (set_rssi, else -60).
//   LE Remote Connection Parameter Request (Negative) Reply: Command Complete with the handle.
//   LE Create Connection, Disconnect, LE Connection Update: Command Status 0.
//   LE Create Connection Cancel: Command Complete 0, then LE Connection Complete with status
//   0x02 (Unknown Connection Identifier; set_cancel_status changes it).
//   Any other opcode: Command Complete with status 0x01 (Unknown HCI Command).
// The controller knows a link from the connection complete event that goes out for it,
// whoever built it (a test's delivery, raw bytes or a follow-up), until its Disconnection
// Complete. Like a real controller it refuses what its state does not allow: Disconnect,
// Read RSSI, LE Connection Update and the parameter request replies on a handle it has no
// connection on get status 0x02; LE Create Connection while one is under way, and a cancel
// when none is, get 0x0C (Command Disallowed). A command whose parameters have the wrong
// length gets 0x12 (Invalid HCI Command Parameters) and is recorded as a violation.
// Follow-ups, sent after a successful answer: Disconnect is followed by Disconnection
// Complete (reason 0x16, terminated by the local host); LE Connection Update and the
// parameter request reply by LE Connection Update Complete with the largest interval asked
// for. The controller's own connection complete events are the enhanced ones when the host
// has enabled those in the LE event mask.
//
// The host is held to what it has heard, as it is handed over: commands to the allowance of
// the last Command Complete or Status (one before any), ACL packets to the buffer size and
// count of the buffer size answers it received, less the packets no Number Of Completed
// Packets or Disconnection Complete has yet freed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/wire/address_text.h"
#include "hci/acl.h"
#include "hci/h4_parser.h"
#include "hci/hci_events.h"
#include "hci/transport/transport.h"
#include "tests/support/att_server.h"

namespace testing_support {

struct recorded_command {
    uint16_t opcode = 0;
    std::vector<uint8_t> parameters;
};

struct recorded_acl {
    uint16_t handle = 0;
    uint8_t boundary = 0;
    std::vector<uint8_t> data;
};

// A whole L2CAP PDU the host sent, put back together from its ACL packets.
struct recorded_pdu {
    uint16_t handle = 0;
    uint16_t channel = 0;
    std::vector<uint8_t> payload;  // after the basic header: for channel 4, the ATT PDU
};

// How to answer one command. The usual answer is the default described above; the fields a
// test sets replace its parts.
struct command_reply {
    enum class kind { usual, complete, status, silent };
    kind what = kind::usual;
    std::optional<uint8_t> status;                   // unset: the usual status
    std::optional<std::vector<uint8_t>> parameters;  // Command Complete, after the status byte
    bool follow_ups = true;                          // sent only after a status of 0 in any case

    static command_reply usual() { return {}; }
    // The usual kind and return parameters with another status (and so no follow-ups).
    static command_reply failing(uint8_t status);
    static command_reply complete(uint8_t status, std::vector<uint8_t> parameters = {});
    static command_reply command_status(uint8_t status);
    // No answer at all, as if the controller had lost the command. The command no longer
    // counts as in flight, so a host that gives up on it and carries on is not faulted.
    static command_reply silent();
    // The usual answer without its follow-ups, e.g. a Disconnect whose completion never comes.
    static command_reply without_follow_ups();
};

class scripted_controller final : public hci::transport {
  public:
    using packets = std::vector<std::vector<uint8_t>>;
    // Whole H4 packets to send after a command's answer. Runs under the controller's lock:
    // it must build packets from the command and not call back into the controller.
    using follow_up = std::function<packets(const recorded_command& command)>;
    using milliseconds = std::chrono::milliseconds;

    static constexpr wire::address_bytes default_local_address{0x01, 0x00, 0x00, 0xEE, 0xFF, 0xC0};
    static constexpr int8_t default_rssi = -60;

    scripted_controller();
    ~scripted_controller() override;
    scripted_controller(const scripted_controller&) = delete;
    scripted_controller& operator=(const scripted_controller&) = delete;

    // hci::transport. close() drops what is still queued and does not call on_lost.
    void start(bytes_handler on_bytes, lost_handler on_lost) override;
    bool write(hci::bytes_view packet, std::string& why) override;
    void close() override;

    // --- Answers ---
    // Scripted answers for `opcode`, used in the order added: each answers `times` commands
    // and then gives way to the next, and the last to the usual answer; a `times` of 0 answers
    // every command from then on. "Answer twice, then never again":
    //   script(op, command_reply::usual(), 2); script(op, command_reply::silent());
    void script(uint16_t opcode, command_reply reply, unsigned times = 0);
    // Replaces the follow-up of `opcode`; an empty function removes it.
    void set_follow_up(uint16_t opcode, follow_up then);
    // LE Create Connection is followed by a successful connection, as central, with
    // `handle` to the peer it names.
    void connect_on_create(uint16_t handle);
    // The status of the connection complete event that follows a successful cancel.
    void set_cancel_status(uint8_t status);
    // The Num_HCI_Command_Packets the controller allows (1 unless set). What each answer
    // reports is this less the commands still waiting for an answer when it reaches the host.
    void set_command_packets(uint8_t count);
    // What LE Read Buffer Size and Read Buffer Size answer (a count of 0 from the LE one
    // sends the host to the other).
    void set_le_buffer(uint16_t length, uint8_t count);
    void set_acl_buffer(uint16_t length, uint16_t count);
    void set_rssi(uint16_t handle, int8_t rssi);
    // On (the default), every ACL packet the host sends on a live connection is answered
    // by Number Of Completed Packets for it at once; off, packets stay outstanding until
    // the test completes them.
    void set_auto_complete_packets(bool on);

    // --- Deliveries to the host, queued in order ---
    void deliver(hci::bytes_view bytes);
    // An L2CAP PDU from the peer on `channel`, in ACL packets of at most `fragment_size`
    // data bytes (0: one packet).
    void deliver_l2cap(uint16_t handle, uint16_t channel, hci::bytes_view payload,
                       size_t fragment_size = 27);
    void deliver_att(uint16_t handle, hci::bytes_view pdu, size_t fragment_size = 27);
    // Number Of Completed Packets for packets held back.
    void complete_packets(uint16_t handle, uint16_t count);
    // The stream fails after what is already queued: on_lost is called once, nothing is
    // delivered after it, and writes fail from now on.
    void lose(const std::string& why = "the controller went away");
    // The phone on `handle` answers the host's ATT requests with `server`, its answers
    // arriving in ACL packets of 27 data bytes.
    void serve_att(uint16_t handle, att_server server);
    // A copy of that phone's server as it is now (writes, values), if there is one.
    std::optional<att_server> phone(uint16_t handle) const;
    // Waits until everything queued has been handed over and the host's handler has
    // returned. False if that takes longer than `limit` (or the transport never started).
    bool wait_until_delivered(milliseconds limit);

    // --- Records ---
    std::vector<recorded_command> commands() const;
    size_t count_commands(uint16_t opcode) const;
    std::vector<recorded_acl> acl_packets() const;
    std::vector<recorded_pdu> l2cap_pdus() const;
    // Each wait returns the earliest record that matches and that no wait has returned
    // before, waiting up to `limit` for one to arrive; nullopt if none does.
    std::optional<recorded_command> wait_for_command(uint16_t opcode, milliseconds limit);
    std::optional<recorded_pdu> wait_for_att_pdu(uint16_t handle, uint8_t opcode,
                                                 milliseconds limit);
    std::optional<recorded_pdu> wait_for_l2cap(uint16_t handle, uint16_t channel,
                                               milliseconds limit);

    // --- Checks ---
    // Everything the host did that a controller would not put up with, one line each.
    std::vector<std::string> violations() const;
    // The most commands ever waiting for an answer at once.
    size_t max_commands_in_flight() const;
    // ACL packets the host has sent that no Number Of Completed Packets it has seen covers.
    size_t outstanding_acl_packets() const;

  private:
    struct outgoing {
        enum class kind { bytes, answer, lost };
        kind what = kind::bytes;
        std::vector<uint8_t> bytes;
        std::string why;
    };
    struct resolved_reply {
        command_reply::kind what = command_reply::kind::complete;
        uint8_t status = 0;
        std::vector<uint8_t> parameters;
    };
    struct scripted {
        command_reply reply;
        unsigned remaining = 0;  // 0: forever
    };
    struct buffer {
        uint16_t length = 0;
        uint16_t count = 0;
    };

    void run();
    void violation(std::string what);
    void send(std::vector<uint8_t> bytes, outgoing::kind what = outgoing::kind::bytes);
    void send_l2cap(uint16_t handle, uint16_t channel, hci::bytes_view payload,
                    size_t fragment_size);
    void on_command(const hci::h4_packet& packet);
    void on_acl(const hci::h4_packet& packet);
    command_reply next_reply(uint16_t opcode);
    resolved_reply usual_reply(const recorded_command& command) const;
    void apply(const recorded_command& command);
    std::vector<uint8_t> connection_event(hci::connection_complete fields) const;
    void install_default_follow_ups();
    // What the controller itself takes from each packet it queues, and what the host learns
    // from each packet as it is handed over (before its handler runs, and after).
    void note_sent(const hci::h4_packet& packet);
    void note_before_delivery(const hci::h4_packet& packet);
    void note_after_delivery(const hci::h4_packet& packet);
    void patch_command_packets(std::vector<uint8_t>& answer) const;
    std::optional<buffer> host_buffer() const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    std::thread::id delivery_thread_;
    bytes_handler on_bytes_;
    lost_handler on_lost_;
    bool started_ = false;
    bool running_ = false;
    bool stopping_ = false;
    bool closed_ = false;
    bool lost_ = false;
    bool delivering_ = false;
    std::string lost_why_;
    std::deque<outgoing> queue_;

    // Configuration.
    std::map<uint16_t, std::deque<scripted>> scripts_;
    std::map<uint16_t, follow_up> follow_ups_;
    std::map<uint16_t, int8_t> rssi_;
    uint8_t cancel_status_ = 0x02;
    uint8_t command_packets_ = 1;
    buffer le_buffer_{251, 3};
    buffer acl_buffer_{1021, 8};
    bool auto_complete_ = true;
    std::map<uint16_t, att_server> phones_;

    // The host's side of the stream, as written.
    hci::h4_parser host_parser_;
    hci::acl_reassembler reassembler_;
    std::vector<std::pair<recorded_command, bool>> commands_;  // bool: returned by a wait
    std::vector<recorded_acl> acl_;
    std::vector<std::pair<recorded_pdu, bool>> pdus_;
    std::vector<std::string> violations_;

    // The controller's state, as of what it has queued.
    hci::h4_parser sent_parser_;
    std::set<uint16_t> connections_;
    std::optional<recorded_command> creating_;  // the LE Create Connection under way
    uint64_t le_event_mask_ = 0x1F;

    // What the host has been told, as of what has been handed over.
    hci::h4_parser delivered_parser_;
    std::deque<uint16_t> in_flight_;  // opcodes waiting for an answer
    size_t max_in_flight_ = 0;
    int command_credits_ = 1;  // a host may send one command before hearing anything
    std::set<uint16_t> host_connections_;
    std::map<uint16_t, size_t> outstanding_;  // ACL packets per handle
    std::optional<buffer> told_le_buffer_;
    std::optional<buffer> told_acl_buffer_;
};

}  // namespace testing_support
