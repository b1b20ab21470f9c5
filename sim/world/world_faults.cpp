// Scripted faults: when each one strikes and what it does to the world.
#include "sim/world/world.h"

namespace sim {
namespace {

// Events of a burst (every_ms 0) delivered per scheduled action.
constexpr uint32_t burst_size = 500;

}  // namespace

bool world::window_active(const fault_config& f, sim_us t) const {
    return within(f.from, f.until, t);
}

bool world::connection_matches(const fault_config& f, uint32_t connection) const {
    return !f.connection || *f.connection == connection;
}

const fault_config* world::connect_fault(int device, uint32_t attempt, sim_us t) const {
    for (const fault_config& f : scenario_.faults) {
        if (f.device != device) continue;
        if (f.type != fault_type::connect_never && f.type != fault_type::connect_timeout &&
            f.type != fault_type::connect_fail && f.type != fault_type::connect_late) {
            continue;
        }
        if (f.attempts && attempt > *f.attempts) continue;
        if (!window_active(f, t)) continue;
        return &f;
    }
    return nullptr;
}

void world::schedule_faults() {
    for (size_t i = 0; i < scenario_.faults.size(); ++i) {
        const fault_config& f = scenario_.faults[i];
        switch (f.type) {
            case fault_type::dongle_gone: {
                const sim_us at = *f.from;
                schedule_.at(at, [this, i, at] { dongle_gone(scenario_.faults[i], at); });
                break;
            }
            case fault_type::event:
                if (f.from) {
                    const sim_us at = *f.from;
                    schedule_.at(at, [this, i, at] {
                        fire_event_fault(i, 0, at, BLE_CONN_HANDLE_INVALID, 0);
                    });
                }
                break;
            case fault_type::disconnect:
                if (f.from) {
                    const sim_us at = *f.from;
                    schedule_.at(at, [this, i, at] {
                        const fault_config& fault = scenario_.faults[i];
                        const device_state& d = devices_[static_cast<size_t>(fault.device)];
                        if (d.link < 0) return;
                        const link& l = *links_[static_cast<size_t>(d.link)];
                        if (!connection_matches(fault, l.connection)) return;
                        note(at, trace_json{{"t", to_ms(at)},
                                            {"note", "phone disconnects"},
                                            {"fault", fault.where}});
                        peer_disconnect(l.handle, l.serial, fault.reason, at);
                    });
                }
                break;
            case fault_type::out_of_range:
                if (f.from) {
                    const sim_us start = *f.from;
                    devices_[static_cast<size_t>(f.device)].out_of_range.emplace_back(
                        start, f.until.value_or(never));
                    const int device = f.device;
                    schedule_.at(start, [this, device, start, i] {
                        note(start, trace_json{{"t", to_ms(start)},
                                               {"note", "phone out of range"},
                                               {"fault", scenario_.faults[i].where}});
                        range_lost(device, start);
                    });
                }
                break;
            default:
                break;
        }
    }
}

void world::schedule_connection_faults(link& l, sim_us t) {
    device_state& d = devices_[static_cast<size_t>(l.device)];
    const uint16_t handle = l.handle;
    const uint32_t serial = l.serial;
    for (size_t i = 0; i < scenario_.faults.size(); ++i) {
        const fault_config& f = scenario_.faults[i];
        if (f.device != l.device || !f.after_connect || !connection_matches(f, l.connection))
            continue;
        const sim_us at = t + *f.after_connect;
        switch (f.type) {
            case fault_type::disconnect: {
                const uint8_t reason = f.reason;
                schedule_.at(at, [this, handle, serial, reason, at, i] {
                    if (live_link(handle, serial) == nullptr) return;
                    note(at, trace_json{{"t", to_ms(at)},
                                        {"note", "phone disconnects"},
                                        {"fault", scenario_.faults[i].where}});
                    peer_disconnect(handle, serial, reason, at);
                });
                break;
            }
            case fault_type::out_of_range: {
                d.out_of_range.emplace_back(at, f.duration ? at + *f.duration : never);
                const int device = l.device;
                schedule_.at(at, [this, device, at, i] {
                    note(at, trace_json{{"t", to_ms(at)},
                                        {"note", "phone out of range"},
                                        {"fault", scenario_.faults[i].where}});
                    range_lost(device, at);
                });
                break;
            }
            case fault_type::event:
                schedule_.at(at, [this, i, at, handle, serial] {
                    fire_event_fault(i, 0, at, handle, serial);
                });
                break;
            default:
                break;
        }
    }
}

void world::fire_event_fault(size_t index, uint32_t done, sim_us t, uint16_t conn_handle,
                             uint32_t serial) {
    const fault_config& f = scenario_.faults[index];
    if (serial != 0) {
        if (live_link(conn_handle, serial) == nullptr) return;  // the connection is gone
    } else if (f.device >= 0) {
        // An event for a phone at a fixed time goes to its connection, if it has one.
        const device_state& d = devices_[static_cast<size_t>(f.device)];
        if (d.link < 0 || !connection_matches(f, links_[static_cast<size_t>(d.link)]->connection)) {
            note(t, trace_json{{"t", to_ms(t)},
                               {"note", "event skipped: the phone is not connected"},
                               {"fault", f.where}});
            return;
        }
        conn_handle = static_cast<uint16_t>(d.link);
        serial = links_[static_cast<size_t>(d.link)]->serial;
    }
    uint32_t now_done = done;
    const uint32_t per_action = f.every == 0 ? burst_size : 1;
    for (uint32_t n = 0; n < per_action && now_done < f.count; ++n, ++now_done) {
        emit_event(t, wire::build_other(f.event_id, conn_handle));
    }
    if (now_done >= f.count) return;
    const sim_us next = t + f.every;
    schedule_.at(next, [this, index, now_done, next, conn_handle, serial] {
        fire_event_fault(index, now_done, next, conn_handle, serial);
    });
}

void world::dongle_gone(const fault_config& f, sim_us t) {
    note(t, trace_json{{"t", to_ms(t)}, {"note", "dongle gone"}, {"fault", f.where}});
    if (air_) capture_links_gone(t);
    for (device_state& d : devices_) {
        if (d.link >= 0) d.gatt.on_disconnect();
        d.link = -1;
    }
    for (auto& l : links_) l.reset();
    ++scan_serial_;
    initiator_ = initiator{};
    adv_ = adv_timing{};
    // Whatever the stack was doing is lost with it.
    rules_.reset();
    gone_ = true;
    gone_result_ = f.result;
    queue_status(t, f.status_code, f.message);
}

}  // namespace sim
