// The simulated world behind one open dongle: the BLE stack as the program sees it
// (configuration, scanner, advertising set, connections, GATT client), the phones and
// other advertisers on the air, and the scripted faults. Everything happens on the
// simulation's own schedule; the event thread runs it (next_batch) and the program's
// calls reach it through call().
//
// One mutex guards the whole world. It is never held while a program callback runs: the
// world only queues what the callbacks are to receive, and the event thread delivers it.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/sd_rpc.h"
#include "driver/stack/discovery_answer.h"
#include "driver/stack/rssi_filter.h"
#include "driver/stack/stack_rules.h"
#include "platform/handover.h"
#include "sim/air_capture/air_capture.h"
#include "sim/backend/outgoing.h"
#include "sim/scenario/scenario.h"
#include "sim/world/lag_watch.h"
#include "sim/world/random.h"
#include "sim/world/scheduler.h"
#include "sim/world/trace.h"

namespace sim {

class world {
  public:
    // `origin_tick` is the platform tick that is simulated time 0. `air` (optional) is the
    // capture of the air, which the world owns from here.
    world(const scenario& s, uint64_t origin_tick, std::shared_ptr<trace_sink> trace,
          std::unique_ptr<air::air_capture> air = nullptr);
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    // ---- The event thread's side.
    void set_event_thread(std::thread::id id);
    // Runs what is due and returns what it produced. When nothing is due it waits, for at
    // most a few real milliseconds. Returns false once stop() was called.
    bool next_batch(std::vector<outgoing>& out);
    // Calls made from the event thread while it delivers an item happen at its time.
    void set_delivery_time(sim_us time);
    void stop();
    bool stopped();
    trace_sink& trace() { return *trace_; }
    // Writes out and closes the capture of the air, if there is one.
    void close_capture();

    // ---- The program's side. Every driver call goes through call(): it takes the world's
    // lock, stamps the call with simulated time, applies scripted results, runs `op` and
    // writes the trace line.
    template <typename Op>
    uint32_t call(const char* name, trace_json args, Op op) {
        std::unique_lock<std::mutex> guard(lock_);
        const sim_us now = call_time();
        uint32_t result = 0;
        bool scripted = false;
        if (gone_ && std::string(name) != "sd_rpc_close") {
            // Only closing the port still works once the dongle is gone.
            result = gone_result_;
        } else if (std::optional<uint32_t> forced = scripted_result(name, now)) {
            result = *forced;
            scripted = true;
        } else {
            result = op(now);
        }
        trace_call(now, name, std::move(args), result, scripted);
        guard.unlock();
        wake_event_thread();
        return result;
    }

    // A call line for a call that does not go through call() (the open itself).
    void record_call(const char* name, trace_json args, uint32_t result);

    // Stack operations, called inside call() with the lock held and the call's time.
    uint32_t cfg_set(uint32_t cfg_id, const ble_cfg_t* cfg);
    uint32_t enable();
    uint32_t reset(sim_us now);
    uint32_t scan_start(sim_us now, const ble_gap_scan_params_t* params, const ble_data_t* buffer);
    uint32_t scan_stop();
    uint32_t adv_set_configure(sim_us now, uint8_t* handle, const ble_gap_adv_data_t* data,
                               const ble_gap_adv_params_t* params);
    uint32_t adv_start(sim_us now, uint8_t handle, uint8_t conn_cfg_tag);
    uint32_t adv_stop(uint8_t handle);
    uint32_t connect(sim_us now, const ble_gap_addr_t* peer, const ble_gap_scan_params_t* scan,
                     const ble_gap_conn_params_t* conn, uint8_t conn_cfg_tag);
    uint32_t connect_cancel(sim_us now);
    uint32_t disconnect(sim_us now, uint16_t conn_handle, uint8_t reason);
    uint32_t conn_param_update(sim_us now, uint16_t conn_handle,
                               const ble_gap_conn_params_t* params);
    uint32_t rssi_start(sim_us now, uint16_t conn_handle, uint8_t threshold_dbm,
                        uint8_t skip_count);
    uint32_t services_discover(sim_us now, uint16_t conn_handle, uint16_t start_handle,
                               const ble_uuid_t* uuid);
    uint32_t characteristics_discover(sim_us now, uint16_t conn_handle,
                                      const ble_gattc_handle_range_t* range);
    uint32_t descriptors_discover(sim_us now, uint16_t conn_handle,
                                  const ble_gattc_handle_range_t* range);
    uint32_t read(sim_us now, uint16_t conn_handle, uint16_t handle, uint16_t offset);
    uint32_t write(sim_us now, uint16_t conn_handle, const ble_gattc_write_params_t* params);

    // A log line or status report for the program, delivered by the event thread.
    void post_log(sim_us time, int severity, const std::string& text);
    void post_status(sim_us time, int code, const std::string& text);

  private:
    // ---- The air.
    struct device_state {
        const device_config* config = nullptr;
        phone_gatt gatt;
        random_stream air;      // advertising delays, RSSI noise, storm addresses
        uint32_t attempts = 0;  // connection attempts aimed at it
        uint32_t connections = 0;
        int link = -1;  // connection handle while connected
        uint32_t storm_serial = 0;
        // Times it cannot be heard: [start, end).
        std::vector<std::pair<sim_us, sim_us>> out_of_range;
    };

    // The attempt under way, while the stack rules say one is.
    struct initiator {
        int device = -1;  // the device whose address was given, if any
        ble_gap_addr_t peer{};
        ble_gap_scan_params_t scan{};
        ble_gap_conn_params_t conn{};
        uint8_t tag = 0;
        uint32_t serial = 0;
        uint32_t attempt = 0;  // the device's attempt number
        // connect_late: the cancel crossed the connection on the air, which is made then
        // (never earlier, even by a report the world has yet to catch up with).
        std::optional<sim_us> crossed_at;
    };

    // When the advertising set started, for the events it counts.
    struct adv_timing {
        sim_us started = 0;
        uint32_t serial = 0;
    };

    // ---- Connections.
    struct link {
        uint16_t handle = 0;
        uint32_t serial = 0;  // tells a link from a later one on the same handle
        int device = -1;
        uint8_t tag = 0;
        uint32_t connection = 0;  // the device's n-th connection
        ble_gap_conn_params_t params{};
        sim_us established = 0;
        // Connection event k (k >= base) happens at anchor + (k - base) * interval.
        sim_us anchor = 0;
        int64_t base = 0;
        sim_us interval = 0;
        random_stream chance;
        uint8_t hop = 5;
        bool silent_peer = false;  // a connection the phone never took up
        // GATT client.
        uint32_t procedure_serial = 0;  // the latest procedure
        uint32_t lost_procedure = 0;    // a procedure the stack will never end (0: none)
        // RSSI reporting.
        std::optional<driver::stack::rssi_filter> rssi;
        uint32_t supervision_serial = 0;
    };

    sim_us call_time() const;
    sim_us clock_now() const;
    void trace_call(sim_us now, const char* name, trace_json args, uint32_t result, bool scripted);
    std::optional<uint32_t> scripted_result(const std::string& name, sim_us now);
    void emit_event(sim_us time, wire::event_buffer event, trace_json extra = nullptr);
    void queue_log(sim_us time, int severity, const std::string& text);
    void queue_status(sim_us time, int code, const std::string& text);
    void note(sim_us time, trace_json what);

    // world_air.cpp
    void start_devices();
    void advertising_event(int device, sim_us t);
    bool heard(const device_state& d, sim_us t) const;
    int rssi_sample(const device_config& config, random_stream& stream, sim_us t) const;
    bool in_scan_window(const ble_gap_scan_params_t& params, sim_us t) const;
    void report(const device_state& d, const ble_gap_addr_t& address, int rssi, sim_us t);
    void scan_timed_out(uint32_t serial, sim_us t);
    void adv_set_ended(uint32_t serial, uint8_t reason, sim_us t);
    static ble_gap_addr_t address_of(const device_config& config);

    // world_link.cpp
    int device_by_address(const ble_gap_addr_t& peer) const;
    void try_establish(int device, sim_us t);
    link* find_link(uint16_t conn_handle);
    link* live_link(uint16_t conn_handle, uint32_t serial);
    sim_us event_time(const link& l, int64_t k) const;
    int64_t first_event_after(const link& l, sim_us t) const;
    int64_t last_event_at_or_before(const link& l, sim_us t) const;
    void schedule_connection_faults(link& l, sim_us t);
    void end_link(uint16_t conn_handle, uint32_t serial, uint8_t reason, sim_us t);
    // The phone went out of range at `t`: the link drops if it is still away when the
    // supervision time-out runs out.
    void range_lost(int device, sim_us t);
    void supervision_check(uint16_t conn_handle, uint32_t serial, sim_us t);
    void peer_disconnect(uint16_t conn_handle, uint32_t serial, uint8_t reason, sim_us t);
    void peer_param_request(uint16_t conn_handle, uint32_t serial, sim_us t);
    void apply_param_update(uint16_t conn_handle, uint32_t serial, ble_gap_conn_params_t params,
                            sim_us t);
    void rssi_sample_link(uint16_t conn_handle, uint32_t serial, sim_us t);
    void connect_timed_out(uint32_t serial, sim_us t);
    // The attempt is over: cancelled, timed out or connected.
    void end_attempt();

    // world_gatt.cpp
    // Schedules the phone's receipt of a request in the next connection event.
    void send_request(link& l, sim_us now, gatt_request request);
    // A discovery the stack answers itself (see driver/stack/discovery_answer.h): its event
    // is queued at `now` and true returned; false when the request is for the phone.
    bool answered_by_stack(sim_us now, driver::stack::discovery what, uint16_t conn_handle,
                           uint16_t start_handle);
    // `procedure` is the procedure the request belongs to; 0 for a write command.
    void phone_receives(uint16_t conn_handle, uint32_t serial, uint32_t procedure, sim_us t,
                        const gatt_request& request);
    void acknowledge_write_cmd(uint16_t conn_handle, uint32_t serial, sim_us t);
    void deliver_response(uint16_t conn_handle, uint32_t serial, uint32_t procedure,
                          const std::shared_ptr<wire::event_buffer>& response, sim_us t);
    void deliver_notification(uint16_t conn_handle, uint32_t serial, const notification& n,
                              sim_us t);
    // The event after the one at (or just before) `t`: where a packet lost at `t` is sent again.
    sim_us retry_time(const link& l, sim_us t) const;
    // {"conn_event": k} for the trace of an event that happens in connection event k.
    trace_json conn_event_note(const link& l, sim_us t) const;
    void gatt_timeout(uint16_t conn_handle, uint32_t serial, uint32_t procedure, sim_us t);

    // world_faults.cpp
    void schedule_faults();
    // Delivers the `done`-th and following events of an event fault, in bursts.
    void fire_event_fault(size_t fault, uint32_t done, sim_us t, uint16_t conn_handle,
                          uint32_t serial);
    bool connection_matches(const fault_config& f, uint32_t connection) const;
    const fault_config* connect_fault(int device, uint32_t attempt, sim_us t) const;
    bool window_active(const fault_config& f, sim_us t) const;
    void dongle_gone(const fault_config& f, sim_us t);

    // world_capture.cpp: what the capture of the air needs from the world's records.
    uint8_t scan_channel(const ble_gap_scan_params_t& params, sim_us t) const;
    air::link_event air_event(const link& l, int64_t counter) const;
    // The connection event at (or just before) `t`.
    air::link_event air_event_at(const link& l, sim_us t) const;
    void capture_advertisement(const device_config& c, const ble_gap_addr_t& address, int rssi,
                               sim_us t, const ble_gap_scan_params_t& scan);
    void capture_connection(const link& l, sim_us t);
    // The central's answer to a phone's parameter request: accepted with parameters.
    void capture_parameter_response(uint16_t conn_handle, sim_us now,
                                    const ble_gap_conn_params_t* params);
    // Every link ends at `t` without a word on the air (reset, dongle gone).
    void capture_links_gone(sim_us t);
    void keep_beacon_data(const ble_gap_adv_data_t* data);
    // One advertising event of the dongle's own set, and the next one scheduled.
    void beacon_event(uint32_t serial, sim_us t);

    // Called without the lock, once what the event thread should see is in place.
    void wake_event_thread();

    std::mutex lock_;
    std::condition_variable wake_;
    // The event thread is woken through this as well, so that it can watch for a call
    // (the resume after a report) instead of sleeping when calls follow its events quickly.
    platform::handover_point handover_;
    platform::handover_receiver receiver_{handover_};  // the event thread's alone
    bool stop_ = false;
    std::thread::id event_thread_;
    sim_us delivery_time_ = 0;
    std::vector<outgoing> outbox_;

    const scenario scenario_;
    const uint64_t origin_tick_;
    std::shared_ptr<trace_sink> trace_;
    std::unique_ptr<air::air_capture> air_;  // null: no capture, and no cost
    std::vector<uint8_t> beacon_data_;       // kept for the capture only
    scheduler schedule_;
    lag_watch lag_;
    random_stream world_chance_;

    // Stack: what it takes and refuses, and what it is doing.
    driver::stack::stack_rules rules_;
    bool gone_ = false;
    uint32_t gone_result_ = 0;
    std::map<std::string, uint32_t> call_counts_;

    // Scanner and initiator.
    ble_gap_scan_params_t scan_params_{};
    ble_data_t scan_buffer_{nullptr, 0};
    uint32_t scan_serial_ = 0;
    initiator initiator_;
    uint32_t initiator_serial_ = 0;

    adv_timing adv_;

    std::vector<device_state> devices_;
    std::vector<std::optional<link>> links_;
    uint32_t link_serial_ = 0;
};

}  // namespace sim
