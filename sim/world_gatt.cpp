// The GATT client: one procedure at a time per connection, each request carried in the
// next connection event and answered by the phone's GATT server some events later.
#include <algorithm>

#include "sim/world.h"

namespace sim {
namespace {

// A request the server never answers ends the procedure this long after it was sent,
// and no further GATT procedure is possible on that connection.
constexpr sim_us gatt_timeout_after = ms(driver::stack::gattc_timeout_ms);
// Offsets inside a connection event, so that what happens in one event keeps its order.
constexpr sim_us tx_complete_offset = 200;
constexpr sim_us notification_offset = 300;

}  // namespace

trace_json world::conn_event_note(const link& l, sim_us t) const {
    // Connection events are counted from the link's first one, in the simulation's own
    // schedule, so the figure does not depend on how busy the machine is.
    return trace_json{{"conn_event", std::max(l.base, last_event_at_or_before(l, t))}};
}

sim_us world::retry_time(const link& l, sim_us t) const {
    return event_time(l, std::max(l.base, last_event_at_or_before(l, t)) + 1);
}

void world::send_request(link& l, sim_us now, bool is_procedure, answer_fn answer) {
    uint32_t procedure = 0;
    if (is_procedure) {
        rules_.gattc_started(l.handle);
        procedure = ++l.procedure_serial;
    } else {
        rules_.write_cmd_queued(l.handle);
    }
    const sim_us t = event_time(l, first_event_after(l, now));
    const uint16_t handle = l.handle;
    const uint32_t serial = l.serial;
    schedule_.at(t, [this, handle, serial, procedure, is_procedure, t, answer = std::move(answer)] {
        phone_receives(handle, serial, procedure, is_procedure, t, answer);
    });
    if (is_procedure) {
        const sim_us end = t + gatt_timeout_after;
        schedule_.at(end, [this, handle, serial, procedure, end] {
            gatt_timeout(handle, serial, procedure, end);
        });
    }
}

const fault_config* world::gatt_silent_now(const device_state& d, const link& l, sim_us t) const {
    const int index = static_cast<int>(&d - devices_.data());
    for (const fault_config& f : scenario_.faults) {
        if (f.type != fault_type::gatt_silent || f.device != index) continue;
        if (!connection_matches(f, l.connection)) continue;
        if (f.after_count ? l.requests > *f.after_count : window_active(f, t)) return &f;
    }
    return nullptr;
}

void world::phone_receives(uint16_t conn_handle, uint32_t serial, uint32_t procedure,
                           bool is_procedure, sim_us t, const answer_fn& answer) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr || l->silent_peer) return;
    device_state& d = devices_[static_cast<size_t>(l->device)];
    if (!heard(d, t)) {
        // Not acknowledged: the link layer sends it again in the next event, until the
        // phone hears it or the supervision time-out ends the link.
        const sim_us again = retry_time(*l, t);
        schedule_.at(again, [this, conn_handle, serial, procedure, is_procedure, again, answer] {
            phone_receives(conn_handle, serial, procedure, is_procedure, again, answer);
        });
        return;
    }
    ++l->requests;
    const uint32_t latency =
        static_cast<uint32_t>(l->chance.uniform(d.config->latency_min, d.config->latency_max));
    const int index = l->device;
    for (const fault_config& f : scenario_.faults) {
        if (f.type == fault_type::disconnect && f.device == index && f.after_count &&
            connection_matches(f, l->connection) && l->requests == *f.after_count + 1) {
            // The phone drops the link instead of answering.
            peer_disconnect(conn_handle, serial, f.reason, t);
            return;
        }
    }
    if (!is_procedure) {
        // A write command is acknowledged by the link layer in the event that carries it.
        const sim_us done = t + tx_complete_offset;
        schedule_.at(done, [this, conn_handle, serial, done] {
            link* current = live_link(conn_handle, serial);
            if (current == nullptr) return;
            rules_.write_cmd_sent(conn_handle);
            emit_event(done, build_write_cmd_tx_complete(conn_handle, 1),
                       conn_event_note(*current, done));
        });
    }
    if (const fault_config* silent = gatt_silent_now(d, *l, t)) {
        // A stack that loses the request too never reports the procedure's time-out.
        if (is_procedure && !silent->stack_timeout) l->lost_procedure = procedure;
        return;
    }
    phone_answer a = answer(d, *l);
    if (a.silent) return;
    const int64_t k = std::max(l->base, last_event_at_or_before(*l, t));
    if (a.response) {
        const sim_us when = event_time(*l, k + latency);
        schedule_.at(when, [this, conn_handle, serial, procedure, response = a.response, when] {
            deliver_response(conn_handle, serial, procedure, response, when);
        });
    }
    sim_us when = event_time(*l, k + 1) + notification_offset;
    for (notification& n : a.notifications) {
        schedule_.at(when, [this, conn_handle, serial, n, when] {
            deliver_notification(conn_handle, serial, n, when);
        });
        ++when;
    }
}

void world::deliver_response(uint16_t conn_handle, uint32_t serial, uint32_t procedure,
                             std::shared_ptr<event_buffer> response, sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr) return;
    if (!heard(devices_[static_cast<size_t>(l->device)], t)) {
        const sim_us again = retry_time(*l, t);
        schedule_.at(again, [this, conn_handle, serial, procedure, response, again] {
            deliver_response(conn_handle, serial, procedure, response, again);
        });
        return;
    }
    // Timed out meanwhile.
    if (!rules_.gattc_running(conn_handle) || l->procedure_serial != procedure) return;
    rules_.gattc_completed(conn_handle);
    emit_event(t, std::move(*response), conn_event_note(*l, t));
}

void world::deliver_notification(uint16_t conn_handle, uint32_t serial, notification n, sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr) return;
    if (!heard(devices_[static_cast<size_t>(l->device)], t)) {
        const sim_us again = retry_time(*l, t) + notification_offset;
        schedule_.at(again, [this, conn_handle, serial, n, again] {
            deliver_notification(conn_handle, serial, n, again);
        });
        return;
    }
    emit_event(t, build_hvx(conn_handle, n.handle, BLE_GATT_HVX_NOTIFICATION, n.data),
               conn_event_note(*l, t));
}

void world::gatt_timeout(uint16_t conn_handle, uint32_t serial, uint32_t procedure, sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr || !rules_.gattc_running(conn_handle) || l->procedure_serial != procedure)
        return;
    if (l->lost_procedure == procedure) return;
    rules_.gattc_timed_out(conn_handle);
    emit_event(t, build_gattc_timeout(conn_handle), conn_event_note(*l, t));
}

uint32_t world::services_discover(sim_us now, uint16_t conn_handle, uint16_t start_handle,
                                  const ble_uuid_t* uuid) {
    const uint32_t result = rules_.check_primary_services_discover(conn_handle, uuid);
    if (result != NRF_SUCCESS) return result;
    link* l = find_link(conn_handle);
    const bool filtered = uuid != nullptr;
    const uint16_t wanted = filtered ? uuid->uuid : 0;
    send_request(
        *l, now, true, [conn_handle, start_handle, filtered, wanted](device_state& d, link&) {
            phone_answer a;
            services_response r = d.gatt.discover_primary_services(start_handle);
            if (r.silent) {
                a.silent = true;
                return a;
            }
            if (filtered && r.status == BLE_GATT_STATUS_SUCCESS) {
                // Discovery by service UUID answers with the matching services only, walking
                // on until it has some or reaches the end.
                std::vector<ble_gattc_service_t> found;
                for (;;) {
                    uint16_t last_end = 0;
                    for (const ble_gattc_service_t& s : r.services) {
                        if (s.uuid.type == BLE_UUID_TYPE_BLE && s.uuid.uuid == wanted)
                            found.push_back(s);
                        last_end = s.handle_range.end_handle;
                    }
                    if (!found.empty() || r.status != BLE_GATT_STATUS_SUCCESS ||
                        r.services.empty() || last_end == 0xFFFF) {
                        break;
                    }
                    r = d.gatt.discover_primary_services(static_cast<uint16_t>(last_end + 1));
                    if (r.silent) {
                        a.silent = true;
                        return a;
                    }
                }
                if (found.empty()) {
                    a.response = std::make_shared<event_buffer>(build_services_response(
                        conn_handle, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND, start_handle, {}));
                } else {
                    a.response = std::make_shared<event_buffer>(
                        build_services_response(conn_handle, BLE_GATT_STATUS_SUCCESS, 0, found));
                }
                return a;
            }
            a.response = std::make_shared<event_buffer>(
                build_services_response(conn_handle, r.status, r.error_handle, r.services));
            return a;
        });
    return NRF_SUCCESS;
}

uint32_t world::characteristics_discover(sim_us now, uint16_t conn_handle,
                                         const ble_gattc_handle_range_t* range) {
    const uint32_t result = rules_.check_characteristics_discover(conn_handle, range);
    if (result != NRF_SUCCESS) return result;
    link* l = find_link(conn_handle);
    const ble_gattc_handle_range_t r = *range;
    send_request(*l, now, true, [conn_handle, r](device_state& d, link&) {
        phone_answer a;
        characteristics_response c = d.gatt.discover_characteristics(r.start_handle, r.end_handle);
        a.silent = c.silent;
        if (!c.silent) {
            a.response = std::make_shared<event_buffer>(
                build_characteristics_response(conn_handle, c.status, c.error_handle, c.chars));
        }
        return a;
    });
    return NRF_SUCCESS;
}

uint32_t world::read(sim_us now, uint16_t conn_handle, uint16_t handle, uint16_t offset) {
    const uint32_t result = rules_.check_read(conn_handle, handle);
    if (result != NRF_SUCCESS) return result;
    link* l = find_link(conn_handle);
    send_request(*l, now, true, [conn_handle, handle, offset](device_state& d, link&) {
        phone_answer a;
        read_response r = d.gatt.read(handle, offset);
        a.silent = r.silent;
        if (!r.silent) {
            a.response = std::make_shared<event_buffer>(
                build_read_response(conn_handle, r.status, r.error_handle,
                                    r.handle != 0 ? r.handle : handle, r.offset, r.data));
        }
        return a;
    });
    return NRF_SUCCESS;
}

uint32_t world::write(sim_us now, uint16_t conn_handle, const ble_gattc_write_params_t* params) {
    const uint32_t result = rules_.check_write(conn_handle, params);
    if (result != NRF_SUCCESS) return result;
    link* l = find_link(conn_handle);
    const uint8_t op = params->write_op;
    const bool is_request = op == BLE_GATT_OP_WRITE_REQ;
    const uint16_t handle = params->handle;
    const uint16_t offset = params->offset;
    std::vector<uint8_t> value(params->p_value, params->p_value + params->len);
    const sim_us sent = event_time(*l, first_event_after(*l, now));
    send_request(*l, now, is_request,
                 [this, conn_handle, op, handle, offset, value, is_request, sent](
                     device_state& d, link& link_state) {
                     phone_answer a;
                     const int index = static_cast<int>(&d - devices_.data());
                     const bool to_cccd = std::find(d.cccd_handles.begin(), d.cccd_handles.end(),
                                                    handle) != d.cccd_handles.end();
                     if (to_cccd) {
                         ++link_state.cccd_writes;
                         for (const fault_config& f : scenario_.faults) {
                             if (f.type != fault_type::cccd || f.device != index ||
                                 !connection_matches(f, link_state.connection)) {
                                 continue;
                             }
                             const bool active = f.after_count
                                                     ? link_state.cccd_writes > *f.after_count
                                                     : window_active(f, sent);
                             if (!active) continue;
                             if (f.mode == cccd_mode::ignore || !is_request) {
                                 a.silent = true;
                             } else {
                                 a.response = std::make_shared<event_buffer>(build_write_response(
                                     conn_handle, BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED,
                                     handle, handle, op, offset, {}));
                             }
                             return a;
                         }
                     }
                     bool mute = false;
                     if (handle != 0 && handle == d.challenge_handle) {
                         ++link_state.challenges;
                         for (const fault_config& f : scenario_.faults) {
                             if (f.type != fault_type::challenge_silent || f.device != index ||
                                 !connection_matches(f, link_state.connection)) {
                                 continue;
                             }
                             if (f.after_count ? link_state.challenges > *f.after_count
                                               : window_active(f, sent))
                                 mute = true;
                         }
                     }
                     write_response w = d.gatt.write(op, handle, offset, value, a.notifications);
                     if (mute) a.notifications.clear();
                     if (w.silent) {
                         a.silent = true;
                         a.notifications.clear();
                         return a;
                     }
                     if (is_request) {
                         a.response = std::make_shared<event_buffer>(build_write_response(
                             conn_handle, w.status, w.error_handle,
                             w.handle != 0 ? w.handle : handle, op, w.offset, w.data));
                     }
                     return a;
                 });
    return NRF_SUCCESS;
}

}  // namespace sim
