// Connections: set-up, connection events, disconnection, supervision, parameter updates
// and RSSI reporting.
#include <algorithm>
#include <cstdlib>

#include "driver/ble_hci.h"
#include "sim/world/world.h"

namespace sim {
namespace {

// The stack measures the RSSI in connection events; it looks at one sample in each
// stretch of this length.
constexpr sim_us rssi_sample_period = ms(50);
// Connection events between a parameter update request and the instant it applies.
constexpr int64_t update_instant_events = 6;

}  // namespace

int world::device_by_address(const ble_gap_addr_t& peer) const {
    for (size_t i = 0; i < devices_.size(); ++i) {
        const device_config& c = *devices_[i].config;
        if (c.fresh_address_each_event) continue;
        if (std::equal(c.address.begin(), c.address.end(), peer.addr)) return static_cast<int>(i);
    }
    return -1;
}

world::link* world::find_link(uint16_t conn_handle) {
    if (conn_handle >= links_.size() || !links_[conn_handle]) return nullptr;
    return &*links_[conn_handle];
}

world::link* world::live_link(uint16_t conn_handle, uint32_t serial) {
    link* l = find_link(conn_handle);
    return l != nullptr && l->serial == serial ? l : nullptr;
}

sim_us world::event_time(const link& l, int64_t k) const {
    return l.anchor + (k - l.base) * l.interval;
}

int64_t world::first_event_after(const link& l, sim_us t) const {
    if (t < l.anchor) return l.base;
    return l.base + (t - l.anchor) / l.interval + 1;
}

int64_t world::last_event_at_or_before(const link& l, sim_us t) const {
    if (t < l.anchor) return l.base - 1;
    return l.base + (t - l.anchor) / l.interval;
}

uint32_t world::connect(sim_us now, const ble_gap_addr_t* peer, const ble_gap_scan_params_t* scan,
                        const ble_gap_conn_params_t* conn, uint8_t conn_cfg_tag) {
    const uint32_t result = rules_.check_connect(peer, scan, conn, conn_cfg_tag);
    if (result != NRF_SUCCESS) return result;
    const int device = device_by_address(*peer);
    rules_.connect_started();
    ++scan_serial_;  // the scanner stopped with it
    initiator_ = initiator{};
    initiator_.device = device;
    initiator_.peer = *peer;
    initiator_.scan = *scan;
    initiator_.conn = *conn;
    initiator_.tag = conn_cfg_tag;
    initiator_.serial = ++initiator_serial_;
    const uint32_t serial = initiator_.serial;
    if (device >= 0) {
        device_state& d = devices_[static_cast<size_t>(device)];
        initiator_.attempt = ++d.attempts;
        const fault_config* f = connect_fault(device, initiator_.attempt, now);
        if (f != nullptr && f->type == fault_type::connect_timeout) {
            const sim_us end = now + f->timeout;
            schedule_.at(end, [this, serial, end] { connect_timed_out(serial, end); });
        }
    }
    if (scan->timeout != 0) {
        const sim_us end = now + units_10ms(scan->timeout);
        schedule_.at(end, [this, serial, end] { connect_timed_out(serial, end); });
    }
    return NRF_SUCCESS;
}

uint32_t world::connect_cancel(sim_us now) {
    const uint32_t result = rules_.check_connect_cancel();
    if (result != NRF_SUCCESS) return result;
    const fault_config* f = initiator_.device >= 0
                                ? connect_fault(initiator_.device, initiator_.attempt, now)
                                : nullptr;
    if (f != nullptr && f->type == fault_type::connect_late) {
        // The phone took up the request just as the cancel went out: the stack has nothing
        // left to cancel, and the connection is reported all the same.
        rules_.connect_crossed();
        const uint32_t serial = initiator_.serial;
        const sim_us at = now + f->late_by;
        initiator_.crossed_at = at;
        note(now, trace_json{{"t", to_ms(now)},
                             {"note", "connection crossed the cancel"},
                             {"fault", f->where}});
        schedule_.at(at, [this, serial, at] {
            if (rules_.initiating() && initiator_.serial == serial) {
                try_establish(initiator_.device, at);
            }
        });
        return rules_.check_connect_cancel();
    }
    end_attempt();
    return NRF_SUCCESS;
}

void world::end_attempt() {
    initiator_ = initiator{};
    rules_.connect_ended();
}

void world::connect_timed_out(uint32_t serial, sim_us t) {
    if (!rules_.initiating() || initiator_.serial != serial) return;
    end_attempt();
    emit_event(t, wire::build_gap_timeout(BLE_CONN_HANDLE_INVALID, BLE_GAP_TIMEOUT_SRC_CONN,
                                          ble_data_t{nullptr, 0}));
}

void world::try_establish(int index, sim_us t) {
    device_state& d = devices_[static_cast<size_t>(index)];
    const fault_config* f = connect_fault(index, initiator_.attempt, t);
    if (f != nullptr &&
        (f->type == fault_type::connect_never || f->type == fault_type::connect_timeout ||
         (f->type == fault_type::connect_late &&
          (!initiator_.crossed_at || t < *initiator_.crossed_at)))) {
        return;  // the phone never takes up the connection request (or not yet)
    }
    size_t handle = 0;
    while (handle < links_.size() && links_[handle]) ++handle;
    if (handle == links_.size()) return;

    link l;
    l.handle = static_cast<uint16_t>(handle);
    l.serial = ++link_serial_;
    l.device = index;
    l.tag = initiator_.tag;
    l.connection = ++d.connections;
    l.chance = random_stream::for_purpose(
        scenario_.seed, "link " + d.config->name + " " + std::to_string(l.connection));
    const uint16_t units = initiator_.conn.min_conn_interval;
    l.params = initiator_.conn;
    l.params.min_conn_interval = units;
    l.params.max_conn_interval = units;
    l.interval = units_1250(units);
    l.established = t;
    // The first connection event follows the transmit window: 1.25 ms plus an offset
    // within one interval.
    l.anchor = t + 1250 + l.chance.uniform(0, l.interval - 1);
    l.base = 0;
    l.hop = static_cast<uint8_t>(l.chance.uniform(5, 16));
    l.silent_peer = f != nullptr && f->type == fault_type::connect_fail;
    if (air_) capture_connection(l, t);
    end_attempt();
    d.link = static_cast<int>(handle);
    links_[handle] = l;
    rules_.link_up(l.handle, address_of(*d.config), l.tag);

    emit_event(
        t, wire::build_connected(l.handle, address_of(*d.config), BLE_GAP_ROLE_CENTRAL, l.params),
        trace_json{{"phone", d.config->name},
                   {"connection", l.connection},
                   {"first_conn_event", to_ms(l.anchor)}});
    link& made = *links_[handle];
    if (made.silent_peer) {
        // The phone never answers in the first connection events: the link is given up.
        const sim_us end = event_time(made, 6);
        const uint16_t h = made.handle;
        const uint32_t serial = made.serial;
        schedule_.at(end, [this, h, serial, end] {
            end_link(h, serial, BLE_HCI_CONN_FAILED_TO_BE_ESTABLISHED, end);
        });
        return;
    }
    if (d.config->conn_param_request) {
        const sim_us when = t + d.config->conn_param_request->after_connect;
        const uint16_t h = made.handle;
        const uint32_t serial = made.serial;
        schedule_.at(when, [this, h, serial, when] { peer_param_request(h, serial, when); });
    }
    schedule_connection_faults(made, t);
}

uint32_t world::disconnect(sim_us now, uint16_t conn_handle, uint8_t reason) {
    const uint32_t result = rules_.check_disconnect(conn_handle, reason);
    if (result != NRF_SUCCESS) return result;
    rules_.disconnecting(conn_handle);
    link* l = find_link(conn_handle);
    const int64_t k = first_event_after(*l, now);
    const device_state& d = devices_[static_cast<size_t>(l->device)];
    // The phone acknowledges the termination in the next event; one that cannot hear it
    // leaves the stack waiting for the supervision time-out.
    sim_us end = event_time(*l, k + 1);
    if (!heard(d, event_time(*l, k)) || l->silent_peer) {
        end = event_time(*l, k) + units_10ms(l->params.conn_sup_timeout);
    }
    if (air_) air_->terminate(air_event(*l, k), true, reason);
    const uint32_t serial = l->serial;
    // The side that asked is told the local host ended the link.
    schedule_.at(end, [this, conn_handle, serial, end] {
        end_link(conn_handle, serial, BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION, end);
    });
    return NRF_SUCCESS;
}

void world::end_link(uint16_t conn_handle, uint32_t serial, uint8_t reason, sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr) return;
    device_state& d = devices_[static_cast<size_t>(l->device)];
    const trace_json lived{
        {"connection_events", std::max<int64_t>(0, last_event_at_or_before(*l, t) + 1)},
        {"connection", l->connection}};
    if (air_) air_->link_end(air_event_at(*l, t));
    d.gatt.on_disconnect();
    d.link = -1;
    links_[conn_handle].reset();
    rules_.link_down(conn_handle);
    emit_event(t, wire::build_disconnected(conn_handle, reason), lived);
}

void world::peer_disconnect(uint16_t conn_handle, uint32_t serial, uint8_t reason, sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr || rules_.is_disconnecting(conn_handle)) return;
    // The phone sends its termination in the next connection event.
    const sim_us end = event_time(*l, first_event_after(*l, t));
    if (air_) air_->terminate(air_event(*l, first_event_after(*l, t)), false, reason);
    rules_.disconnecting(conn_handle);
    schedule_.at(end, [this, conn_handle, serial, reason, end] {
        end_link(conn_handle, serial, reason, end);
    });
}

void world::range_lost(int device, sim_us t) {
    device_state& d = devices_[static_cast<size_t>(device)];
    if (d.link < 0) return;
    link& l = *links_[static_cast<size_t>(d.link)];
    const int64_t k = last_event_at_or_before(l, t);
    const sim_us last_heard = k >= l.base ? event_time(l, k) : l.established;
    const sim_us deadline = last_heard + units_10ms(l.params.conn_sup_timeout);
    const uint16_t handle = l.handle;
    const uint32_t serial = l.serial;
    schedule_.at(deadline,
                 [this, handle, serial, deadline] { supervision_check(handle, serial, deadline); });
}

void world::supervision_check(uint16_t conn_handle, uint32_t serial, sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr) return;
    // Back in range before the time-out ran out: the link carries on.
    if (heard(devices_[static_cast<size_t>(l->device)], t - 1)) return;
    end_link(conn_handle, serial, BLE_HCI_CONNECTION_TIMEOUT, t);
}

void world::peer_param_request(uint16_t conn_handle, uint32_t serial, sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr || rules_.is_disconnecting(conn_handle)) return;
    const device_config& c = *devices_[static_cast<size_t>(l->device)].config;
    if (!heard(devices_[static_cast<size_t>(l->device)], t)) return;
    const conn_param_request_config& r = *c.conn_param_request;
    ble_gap_conn_params_t wanted{r.min_interval, r.max_interval, r.slave_latency, r.sup_timeout};
    if (air_) air_->parameter_request(air_event_at(*l, t), wanted);
    emit_event(t, wire::build_conn_param_update_request(conn_handle, wanted));
}

uint32_t world::conn_param_update(sim_us now, uint16_t conn_handle,
                                  const ble_gap_conn_params_t* params) {
    const uint32_t result = rules_.check_conn_param_update(conn_handle, params);
    // The phone hears an answer whatever becomes of the call: a refused one turns it down.
    if (air_) {
        capture_parameter_response(conn_handle, now, result == NRF_SUCCESS ? params : nullptr);
    }
    // Without parameters a central turns the peer's request down: nothing changes.
    if (result != NRF_SUCCESS || params == nullptr) return result;
    rules_.conn_param_update_started(conn_handle);
    const link* l = find_link(conn_handle);
    ble_gap_conn_params_t chosen = *params;
    const uint16_t current = l->params.min_conn_interval;
    const uint16_t units =
        current >= params->min_conn_interval && current <= params->max_conn_interval
            ? current
            : params->min_conn_interval;
    chosen.min_conn_interval = units;
    chosen.max_conn_interval = units;
    const int64_t sent_in = first_event_after(*l, now);
    const sim_us instant = event_time(*l, sent_in + update_instant_events);
    if (air_)
        air_->connection_update(air_event(*l, sent_in), chosen, sent_in + update_instant_events);
    const uint32_t serial = l->serial;
    schedule_.at(instant, [this, conn_handle, serial, chosen, instant] {
        apply_param_update(conn_handle, serial, chosen, instant);
    });
    return NRF_SUCCESS;
}

void world::apply_param_update(uint16_t conn_handle, uint32_t serial, ble_gap_conn_params_t params,
                               sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr) return;
    const int64_t k = last_event_at_or_before(*l, t);
    l->base = k;
    l->anchor = event_time(*l, k);
    l->interval = units_1250(params.min_conn_interval);
    l->params = params;
    if (air_) air_->timing(l->serial, l->base, l->anchor, l->interval);
    rules_.conn_param_update_done(conn_handle);
    emit_event(t, wire::build_conn_param_update(conn_handle, params));
}

uint32_t world::rssi_start(sim_us now, uint16_t conn_handle, uint8_t threshold_dbm,
                           uint8_t skip_count) {
    const uint32_t result = rules_.check_rssi_start(conn_handle);
    if (result != NRF_SUCCESS) return result;
    rules_.rssi_started(conn_handle);
    link* l = find_link(conn_handle);
    l->rssi.emplace(threshold_dbm, skip_count);
    if (threshold_dbm == 0xFF) return NRF_SUCCESS;  // measuring only, never reporting
    const sim_us first = event_time(*l, first_event_after(*l, now));
    const uint32_t serial = l->serial;
    schedule_.at(first, [this, conn_handle, serial, first] {
        rssi_sample_link(conn_handle, serial, first);
    });
    return NRF_SUCCESS;
}

void world::rssi_sample_link(uint16_t conn_handle, uint32_t serial, sim_us t) {
    // Sampling is scheduled only once reporting started, and lasts as long as the link.
    link* l = live_link(conn_handle, serial);
    if (l == nullptr) return;
    device_state& d = devices_[static_cast<size_t>(l->device)];
    const int sample = rssi_sample(*d.config, l->chance, t);
    const int64_t k = std::max(l->base, last_event_at_or_before(*l, t));
    if (heard(d, t) && l->rssi) {
        if (const auto reported = l->rssi->sample(static_cast<int8_t>(sample))) {
            const uint8_t channel = static_cast<uint8_t>((k * l->hop) % 37);
            emit_event(t, wire::build_rssi_changed(conn_handle, *reported, channel));
        }
    }
    const int64_t step = std::max<int64_t>(1, (rssi_sample_period + l->interval - 1) / l->interval);
    const sim_us next = event_time(*l, k + step);
    schedule_.at(
        next, [this, conn_handle, serial, next] { rssi_sample_link(conn_handle, serial, next); });
}

}  // namespace sim
