// The BLE stack as the program sees it through the driver, whatever answers on the air:
// which calls it takes and which it refuses, with what code, given what it is doing. A
// backend asks before it acts on a call (the check_* functions, which change nothing) and
// tells it afterwards what happened, whether a call or the air made it happen (the
// notifications). A plain state machine: no clock, no threads, no knowledge of who is on
// the air; the backend serialises the calls on it.
#pragma once

#include <cstdint>
#include <map>

#include "driver/ble.h"
#include "driver/stack/stack_config.h"

namespace driver::stack {

// How long the stack waits for the answer to a GATT client request before it reports a
// time-out; after one, GATT on that link is over until it is reconnected.
constexpr uint32_t gattc_timeout_ms = 30000;
// Write commands the stack holds on one link until they are sent.
constexpr uint32_t write_cmd_queue_size = 1;
// The one advertising set the stack has.
constexpr uint8_t adv_set_handle = 0;

class stack_rules {
  public:
    // ---- Configuration, enable and reset.
    uint32_t check_cfg_set(uint32_t cfg_id, const ble_cfg_t* cfg) const;
    void configured(uint32_t cfg_id, const ble_cfg_t& cfg);
    uint32_t check_enable() const;
    void enabled();
    // Back to a stack fresh from a reset: not enabled, the default configuration, and no
    // scanner, advertising, connection attempt or link.
    void reset();
    bool is_enabled() const { return enabled_; }
    const stack_config& config() const { return config_; }
    // The links the enabled stack holds as central; their handles run from 0 below it.
    uint8_t central_links() const;

    // ---- Scanner. After each advertising report it pauses, its buffer the program's,
    // until the program hands the buffer back with a resume.
    // A start (`params` set) or a resume (`params` null).
    uint32_t check_scan_start(const ble_gap_scan_params_t* params, const ble_data_t* buffer) const;
    void scan_started();
    void report_delivered();
    void scan_resumed();
    uint32_t check_scan_stop() const;
    // Stopped by the program, or ended by its time-out.
    void scan_stopped();
    bool scanner_on() const;         // started and not stopped, paused or not
    bool scanner_listening() const;  // on and not paused by a report

    // ---- The advertising set.
    uint32_t check_adv_set_configure(const uint8_t* handle, const ble_gap_adv_data_t* data,
                                     const ble_gap_adv_params_t* params) const;
    // Configured, with new parameters when `params` is set.
    void adv_set_configured(const ble_gap_adv_params_t* params);
    const ble_gap_adv_params_t& adv_params() const { return adv_.params; }
    uint32_t check_adv_start(uint8_t handle, uint8_t conn_cfg_tag) const;
    void adv_started();
    uint32_t check_adv_stop(uint8_t handle) const;
    // Stopped by the program, or ended by its duration or its count of events.
    void adv_stopped();
    bool advertising() const { return adv_.advertising; }

    // ---- The connection attempt: one at a time, and it stops the scanner.
    uint32_t check_connect(const ble_gap_addr_t* peer, const ble_gap_scan_params_t* scan,
                           const ble_gap_conn_params_t* conn, uint8_t conn_cfg_tag) const;
    void connect_started();
    uint32_t check_connect_cancel() const;
    // The peer took the attempt up just as the cancel went out: there is nothing left to
    // cancel, and the attempt lasts until its link comes up.
    void connect_crossed();
    // Cancelled, timed out, or ended by its link coming up.
    void connect_ended();
    bool initiating() const { return attempt_ != attempt_state::none; }

    // ---- Links.
    void link_up(uint16_t conn_handle, const ble_gap_addr_t& peer, uint8_t conn_cfg_tag);
    void link_down(uint16_t conn_handle);
    bool has_link(uint16_t conn_handle) const { return links_.count(conn_handle) != 0; }
    uint32_t check_disconnect(uint16_t conn_handle, uint8_t hci_status_code) const;
    // Either side began to end the link: it takes no second disconnection and no update.
    void disconnecting(uint16_t conn_handle);
    bool is_disconnecting(uint16_t conn_handle) const;
    // Null parameters, which turn the peer's request down, are taken and change nothing.
    uint32_t check_conn_param_update(uint16_t conn_handle,
                                     const ble_gap_conn_params_t* params) const;
    void conn_param_update_started(uint16_t conn_handle);
    void conn_param_update_done(uint16_t conn_handle);
    uint32_t check_rssi_start(uint16_t conn_handle) const;
    void rssi_started(uint16_t conn_handle);

    // ---- GATT client: one procedure (discovery, read, write request) at a time per link.
    uint32_t check_primary_services_discover(uint16_t conn_handle, const ble_uuid_t* uuid) const;
    uint32_t check_characteristics_discover(uint16_t conn_handle,
                                            const ble_gattc_handle_range_t* range) const;
    uint32_t check_descriptors_discover(uint16_t conn_handle,
                                        const ble_gattc_handle_range_t* range) const;
    uint32_t check_read(uint16_t conn_handle, uint16_t handle) const;
    uint32_t check_write(uint16_t conn_handle, const ble_gattc_write_params_t* params) const;
    void gattc_started(uint16_t conn_handle);
    void gattc_completed(uint16_t conn_handle);
    // The answer did not come in time: the procedure ends, and so does GATT on the link.
    void gattc_timed_out(uint16_t conn_handle);
    bool gattc_running(uint16_t conn_handle) const;
    void write_cmd_queued(uint16_t conn_handle);
    void write_cmd_sent(uint16_t conn_handle);

  private:
    enum class scanner_state { stopped, listening, paused };
    enum class attempt_state { none, cancellable, crossed };

    struct adv_set {
        bool configured = false;
        bool advertising = false;
        ble_gap_adv_params_t params{};
    };

    struct link {
        ble_gap_addr_t peer{};
        uint8_t tag = 0;
        bool disconnecting = false;
        bool param_update_pending = false;
        bool rssi_on = false;
        bool gattc_running = false;
        bool gattc_timed_out = false;
        uint32_t write_cmds_queued = 0;
    };

    const link* find(uint16_t conn_handle) const;
    link* find(uint16_t conn_handle);
    // Enabled, a link with that handle, and GATT not ended on it by a time-out.
    uint32_t check_gattc(uint16_t conn_handle) const;
    bool connected_to(const ble_gap_addr_t& peer) const;

    bool enabled_ = false;
    stack_config config_;
    scanner_state scanner_ = scanner_state::stopped;
    adv_set adv_;
    attempt_state attempt_ = attempt_state::none;
    std::map<uint16_t, link> links_;
};

}  // namespace driver::stack
