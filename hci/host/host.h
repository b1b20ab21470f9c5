// Our BLE host stack on top of HCI: it takes the driver calls the program makes, turns them
// into HCI commands and ACL data for the controller, and turns what the controller and the
// phones send back into the driver's events. The stack rules (what is refused, with what
// code) are the ones the simulated dongle obeys; this class adds what a real controller
// needs: command pacing, buffer credits, handles of its own, and the answers a host owes
// a phone.
//
// Threads: the program's calls (one at a time), the transport's reader, a timer for the
// ATT time-out, RSSI polls and scan/connect time-outs, and the event thread that alone calls
// the program back. A harness may instead run the timer's and the event thread's work itself,
// on its own thread (see host_options::caller_runs_background).
//
// A lost controller (the stream ended, a Hardware Error, a command never answered, framing
// lost) ends at once everything that waited on it: each link is reported disconnected with
// reason 0x08 (Connection Timeout), as a link that faded would be, and a connection attempt
// ends as one that timed out. The timer's work then gets the controller back: HCI Reset on
// the same stream for a controller that misbehaved, the stream closed and opened again
// (host_options::reopen) for one that ended or would not reset; then the set-up of open(),
// and the scanner and the advertising set as the program last asked for them. Attempts
// back off (host_options::recovery_*). While the controller is away, the calls that only
// set what recovery restores (scan start, resume and stop; advertising set configure, start
// and stop) are taken and kept for it; every other call fails with
// NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE, as before, and close() does not wait for it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/stack/rssi_filter.h"
#include "driver/stack/stack_rules.h"
#include "driver/wire/address_text.h"
#include "hci/acl.h"
#include "hci/btsnoop.h"
#include "hci/h4_parser.h"
#include "hci/hci_commands.h"
#include "hci/host/command_channel.h"
#include "hci/host/event_delivery.h"
#include "hci/host/gattc_procedure.h"
#include "hci/host/unsupported_commands.h"
#include "hci/transport/transport.h"

namespace hci {

// Why the controller was lost, which decides how it is got back: a stream that ended must be
// opened again, while a controller that misbehaved on a stream that still works is first
// reset on that stream.
enum class loss_kind {
    transport,   // the stream ended, failed, or would not take a write
    controller,  // Hardware Error, framing lost, a command never answered
};

// Opens the stream to the controller again after a loss; null with `why` while it cannot.
using transport_reopener = std::function<std::unique_ptr<transport>(std::string& why)>;

struct host_options {
    // Clock milliseconds a command may take to be answered; past it the controller is lost.
    uint64_t command_limit_ms = 3000;
    // HCI Reset gets several tries, each this long: a controller may be busy with a
    // previous host's work or still starting.
    uint64_t reset_limit_ms = 2000;
    int reset_attempts = 3;
    // How often RSSI is read on a link that reports it.
    uint64_t rssi_poll_ms = 500;
    // How long the close may spend leaving the controller quiet: scanning, advertising and
    // a connection attempt stopped, the links ended and their ends confirmed.
    uint64_t close_disconnect_limit_ms = 1000;
    // Where to write every HCI packet both ways (btsnoop); empty for nowhere.
    std::string snoop_path;
    // Names the controller in log lines.
    std::string port;
    // Whether the caller, not threads of the host's own, runs the host's background work:
    // the timers, and handing the program its events, status reports and log lines. Only for
    // a harness that drives the host from one thread: open() then starts no thread, and
    // that work waits for run_background(). The transport may then also hand over bytes
    // inside write(), on the writer's thread, since the host holds none of its locks across
    // a command's write (but it does across send()).
    bool caller_runs_background = false;
    // How a lost stream is opened again; empty: a lost stream stays lost.
    transport_reopener reopen;
    // Waits between attempts to get a lost controller back: the first attempt is made at
    // once, the second after `recovery_first_wait_ms`, each later one after twice the wait
    // before it, up to `recovery_longest_wait_ms`.
    uint64_t recovery_first_wait_ms = 500;
    uint64_t recovery_longest_wait_ms = 5000;
    // Attempts that each get a log line; after them a controller that stays lost gets one
    // line every `recovery_report_ms`.
    int recovery_attempts_reported = 5;
    uint64_t recovery_report_ms = 60000;
    // Most bytes of ACL data one link may have waiting for the controller's buffers. A phone
    // that asks faster than the link carries the answers (or a controller that stops freeing
    // its buffers) gets its link ended past this, rather than the host's memory growing.
    size_t max_queued_acl_bytes_per_link = 64 * 1024;
};

// What the controller said of itself while it was opened.
struct controller_info {
    uint8_t hci_version = 0;
    uint16_t manufacturer = 0;
    wire::address_bytes address{};
    uint16_t acl_length = 0;  // bytes per ACL packet it buffers
    uint16_t acl_count = 0;   // ACL packets it buffers
    uint64_t le_features = 0;
};

class host {
  public:
    host(std::unique_ptr<transport> link, host_options options, program_callbacks callbacks,
         std::shared_ptr<std::atomic<int>> log_filter);
    ~host();
    host(const host&) = delete;
    host& operator=(const host&) = delete;

    // Resets and reads the controller; NRF_SUCCESS once it is ready, or an error after one
    // log line through the log callback saying why.
    uint32_t open();
    uint32_t close();
    controller_info info() const;

    // Resets the controller: links, scanning, advertising and the configuration are gone.
    uint32_t reset();
    uint32_t cfg_set(uint32_t cfg_id, const ble_cfg_t* cfg);
    uint32_t enable();
    uint32_t scan_start(const ble_gap_scan_params_t* params, const ble_data_t* buffer);
    uint32_t scan_stop();
    uint32_t adv_set_configure(uint8_t* handle, const ble_gap_adv_data_t* data,
                               const ble_gap_adv_params_t* params);
    uint32_t adv_start(uint8_t handle, uint8_t conn_cfg_tag);
    uint32_t adv_stop(uint8_t handle);
    uint32_t connect(const ble_gap_addr_t* peer, const ble_gap_scan_params_t* scan,
                     const ble_gap_conn_params_t* conn, uint8_t conn_cfg_tag);
    uint32_t connect_cancel();
    uint32_t disconnect(uint16_t conn_handle, uint8_t reason);
    uint32_t conn_param_update(uint16_t conn_handle, const ble_gap_conn_params_t* params);
    uint32_t rssi_start(uint16_t conn_handle, uint8_t threshold_dbm, uint8_t skip_count);
    uint32_t primary_services_discover(uint16_t conn_handle, uint16_t start_handle,
                                       const ble_uuid_t* uuid);
    uint32_t characteristics_discover(uint16_t conn_handle, const ble_gattc_handle_range_t* range);
    uint32_t descriptors_discover(uint16_t conn_handle, const ble_gattc_handle_range_t* range);
    uint32_t read(uint16_t conn_handle, uint16_t handle, uint16_t offset);
    uint32_t write(uint16_t conn_handle, const ble_gattc_write_params_t* params);

    // Advertising reports dropped while the scanner was paused, and ACL data thrown away
    // as malformed.
    uint64_t reports_dropped() const;

    // With caller_runs_background: what the host's threads would do now, on the calling
    // thread. The timers run once, then the program gets everything queued for it. Never
    // from inside a call of the host or a callback; nothing happens after close().
    void run_background();

  private:
    // A phone's request for other connection parameters, waiting for the program's answer.
    struct param_request {
        enum class via { l2cap, link_layer };
        via how = via::l2cap;
        uint8_t identifier = 0;  // of the L2CAP request
        ble_gap_conn_params_t wanted{};
    };
    struct running_procedure {
        gattc_procedure procedure;
        uint64_t deadline = 0;
    };
    struct link_state {
        uint16_t controller_handle = 0;
        ble_gap_addr_t peer{};
        bool local_disconnect = false;
        std::optional<param_request> pending_request;
        std::optional<running_procedure> gattc;
        bool gattc_dead = false;  // timed out: GATT is over on this link
        std::optional<driver::stack::rssi_filter> rssi;
        uint64_t next_rssi_poll = 0;
        uint16_t local_mtu = 23;          // what the configuration allows us
        uint16_t att_mtu = 23;            // what is in force on the link
        uint64_t oversized_att_pdus = 0;  // notifications and indications dropped as too long
        bool overflowed = false;  // its queue outgrew the bound: being ended, nothing more sent
    };
    struct initiator {
        enum class phase { none, pending, cancelled_by_program, cancelled_on_timeout };
        phase now = phase::none;
        uint64_t deadline = 0;  // 0: no time-out
        ble_gap_addr_t peer{};
        uint8_t conn_cfg_tag = 0;
    };
    // What the program last asked of the scanner and the advertising set, as the commands
    // that set it up (empty: never asked), so that a controller got back after a loss can be
    // set up the same way. Whether each is on is the stack rules' to say.
    struct radio_wish {
        std::vector<uint8_t> scan_parameters;
        std::vector<uint8_t> advertising_parameters;
        std::vector<uint8_t> advertising_data;
        std::vector<uint8_t> scan_response_data;
        uint64_t version = 0;  // moves on with every change the program makes
    };
    // A lost controller being got back.
    struct recovery_state {
        bool reopen_next = false;  // the stream must be opened again before a reset
        int attempts = 0;
        uint64_t lost_at = 0;
        uint64_t next_attempt = 0;
        uint64_t next_report = 0;
        uint64_t wait_ms = 0;   // before the next attempt after a failed one
        bool given_up = false;  // a stream that ended with no way to open it again
        std::string last_failure;
    };
    struct acl_out {
        uint16_t controller_handle = 0;
        std::vector<uint8_t> packet;  // whole H4 packet
        // The last packet of a write command: its completion is reported to the program.
        std::optional<uint16_t> write_command_of;
    };

    // ---- Lifecycle (host.cpp).
    void on_bytes(bytes_view chunk);
    void on_packet(const h4_packet& packet);
    void lose(const std::string& why, loss_kind kind = loss_kind::transport);
    bool is_lost() const;
    // The command's outcome; a command left unanswered loses the controller.
    command_outcome execute(const std::vector<uint8_t>& packet);
    bool send_packet(bytes_view packet, std::string& why);
    void snoop(bytes_view h4_packet, direction dir);
    void say(sd_rpc_log_severity_t severity, const std::string& text);
    void timer_loop();
    void run_timers();
    // Ends a scan or a connection attempt whose time-out has come.
    void timer_scan_and_connect();
    uint32_t open_sequence(std::string& failure);
    uint32_t lost_result() const;
    // Checks that the adapter is open and the controller still there.
    uint32_t usable() const;
    uint32_t usable_locked() const;  // the same, under lock_
    // Checks only that the adapter is open: for the calls taken while the controller is
    // being got back.
    uint32_t open_state() const;
    // Under lock_: a parser that waits for a Reset's answer, the loss's count carried over.
    void renew_parser();
    std::shared_ptr<transport> current_transport() const;
    // Starts the stream's reader, which hands its bytes and its end to this host.
    void start_transport(transport& link);

    // ---- Recovery (host_recovery.cpp).
    // One attempt to get the controller back, when one is due; true while it is lost (the
    // other timers then have nothing to do).
    bool recover_when_due();
    // Reset on the same stream, or on a stream opened again; then open()'s set-up and the
    // radio as the program left it. False with `failure` saying why not.
    bool recovery_attempt(bool reopen, std::string& failure);
    bool restore_radio(std::string& failure);
    void recovery_failed(const std::string& failure);
    // Under lock_: the controller is away, and calls that only set the radio's state are
    // kept for the recovery.
    bool held_for_recovery() const { return lost_ && !recovery_.given_up; }

    // ---- Controller events (host_events.cpp).
    void on_event(bytes_view packet);
    void on_le_meta(bytes_view packet);
    void on_connection_complete(bytes_view packet);
    void on_advertising_report(bytes_view packet);
    void on_disconnection_complete(bytes_view packet);
    void on_completed_packets(bytes_view packet);
    void on_connection_update_complete(bytes_view packet);
    void on_remote_parameter_request(bytes_view packet);

    // ---- Links, ACL and L2CAP (host_links.cpp).
    uint16_t allocate_handle() const;
    link_state* link_of(uint16_t conn_handle);
    std::optional<uint16_t> program_handle(uint16_t controller_handle) const;
    void queue_pdu(uint16_t conn_handle, const std::vector<uint8_t>& l2cap,
                   std::optional<uint16_t> write_command_of = std::nullopt);
    // Drops what the link has queued and has it ended, with a warning.
    void end_overflowing_link(uint16_t conn_handle, link_state& l);
    void flush_acl();
    void on_acl(bytes_view packet);
    void on_l2cap(uint16_t conn_handle, bytes_view pdu);
    void on_att(uint16_t conn_handle, bytes_view pdu);
    void on_signalling(uint16_t conn_handle, bytes_view payload);
    // Counts, and now and then logs, a notification or indication too long for the link.
    void drop_oversized_att(uint16_t conn_handle, link_state& l, const char* what, size_t size);
    void drop_link(uint16_t conn_handle);
    // A phone's parameter request is answered once, whatever becomes of the program's call.
    // Under lock_: the L2CAP answer, if the link is still the one the request came on.
    void answer_l2cap_request(uint16_t conn_handle, uint16_t controller_handle, uint8_t identifier,
                              bool accepted);
    // Under lock_: a request that a newer one replaces is turned down.
    void replace_param_request(uint16_t conn_handle, link_state& l, param_request newer);
    // Not under lock_: waits for the command's answer.
    void turn_down_link_layer_request(uint16_t controller_handle);
    uint32_t start_procedure(uint16_t conn_handle, gattc_procedure procedure);

    // Replaced while a lost stream is opened again; a writer holds its own reference.
    mutable std::mutex transport_lock_;  // taken after lock_, never before it
    std::shared_ptr<transport> transport_;
    host_options options_;
    program_callbacks callbacks_;
    std::shared_ptr<std::atomic<int>> log_filter_;
    event_delivery delivery_;
    command_channel commands_;
    // Features left off for the run; its own flags, read without lock_.
    unsupported_commands unsupported_;

    // One program call that sends commands at a time; taken before lock_, never while
    // holding it.
    std::mutex call_lock_;
    // Everything below; held briefly, never across a command's wait.
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool opened_ = false;
    bool closed_ = false;
    bool lost_ = false;
    bool ready_ = false;  // open() succeeded: a loss from now on is recovered
    recovery_state recovery_;
    radio_wish wish_;
    // Whatever the controller said before its answer to our Reset is not ours to read.
    h4_parser parser_{h4_parser::default_max_acl_length, h4_parser::start::at_reset_answer};
    // Framing lost and not yet regained, and the parser's skipped count before the loss.
    bool framing_lost_ = false;
    uint64_t framing_skipped_from_ = 0;
    // Bytes skipped during the loss by parsers made afresh since (for a Reset's retry).
    uint64_t framing_skipped_earlier_ = 0;
    acl_reassembler reassembler_;
    controller_info info_;
    driver::stack::stack_rules rules_;
    std::map<uint16_t, link_state> links_;  // by the program's handle
    initiator initiator_;
    uint64_t scan_deadline_ = 0;  // 0: scanning without a time-out
    ble_data_t report_buffer_{};
    uint64_t reports_dropped_ = 0;
    // Links to be ended from the timer thread, by controller handle: those the controller
    // made that nobody asked for, and those whose queue outgrew its bound.
    std::vector<uint16_t> unwanted_links_;
    // Controller handles whose link-layer parameter request is to be turned down from the
    // timer thread.
    std::vector<uint16_t> turned_down_requests_;
    std::deque<acl_out> acl_queue_;
    // Bytes of acl_queue_ per controller handle.
    std::map<uint16_t, size_t> acl_queued_bytes_;
    uint16_t acl_credits_ = 0;
    // Packets out at the controller per its handle, oldest first, with what each carried.
    std::map<uint16_t, std::deque<std::optional<uint16_t>>> acl_in_flight_;

    std::mutex snoop_lock_;
    std::ofstream snoop_file_;
    std::unique_ptr<btsnoop_writer> snoop_;

    std::thread timer_;
    bool timer_stop_ = false;
};

}  // namespace hci
