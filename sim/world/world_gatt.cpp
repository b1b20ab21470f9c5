// The GATT client: each request carried to the phone in the next connection event, where
// the phone answers it some events later, keeps quiet, or hangs up. Which requests the
// stack takes, one procedure at a time per link, the stack rules say.
#include <algorithm>
#include <variant>

#include "driver/stack/discovery_answer.h"
#include "sim/world/world.h"

namespace sim {
namespace {

// A request the server never answers ends the procedure this long after it was sent,
// and no further GATT procedure is possible on that connection.
constexpr sim_us gatt_timeout_after = ms(driver::stack::gattc_timeout_ms);
// Offsets inside a connection event, so that what happens in one event keeps its order.
constexpr sim_us tx_complete_offset = 200;
constexpr sim_us notification_offset = 300;

// The event that carries a phone's answer to the program; null when there is none.
std::shared_ptr<wire::event_buffer> answer_event(uint16_t conn_handle,
                                                 const gatt_reply::response& answer) {
    if (const auto* s = std::get_if<services_response>(&answer)) {
        return std::make_shared<wire::event_buffer>(
            wire::build_services_response(conn_handle, s->status, s->error_handle, s->services));
    }
    if (const auto* c = std::get_if<characteristics_response>(&answer)) {
        return std::make_shared<wire::event_buffer>(wire::build_characteristics_response(
            conn_handle, c->status, c->error_handle, c->chars));
    }
    if (const auto* d = std::get_if<descriptors_response>(&answer)) {
        return std::make_shared<wire::event_buffer>(
            wire::build_descriptors_response(conn_handle, d->status, d->error_handle, d->descs));
    }
    if (const auto* r = std::get_if<read_response>(&answer)) {
        return std::make_shared<wire::event_buffer>(wire::build_read_response(
            conn_handle, r->status, r->error_handle, r->handle, r->offset, r->data));
    }
    if (const auto* w = std::get_if<write_response>(&answer)) {
        return std::make_shared<wire::event_buffer>(wire::build_write_response(
            conn_handle, w->status, w->error_handle, w->handle, w->write_op, w->offset, w->data));
    }
    return nullptr;
}

}  // namespace

trace_json world::conn_event_note(const link& l, sim_us t) const {
    // Connection events are counted from the link's first one, in the simulation's own
    // schedule, so the figure does not depend on how busy the machine is.
    return trace_json{{"conn_event", std::max(l.base, last_event_at_or_before(l, t))}};
}

sim_us world::retry_time(const link& l, sim_us t) const {
    return event_time(l, std::max(l.base, last_event_at_or_before(l, t)) + 1);
}

void world::send_request(link& l, sim_us now, gatt_request request) {
    const bool is_command =
        request.procedure == gatt_procedure::write && request.write_op == BLE_GATT_OP_WRITE_CMD;
    uint32_t procedure = 0;  // none for a command
    if (is_command) {
        rules_.write_cmd_queued(l.handle);
    } else {
        rules_.gattc_started(l.handle);
        procedure = ++l.procedure_serial;
    }
    const sim_us t = event_time(l, first_event_after(l, now));
    request.sent = t;
    const uint16_t handle = l.handle;
    const uint32_t serial = l.serial;
    schedule_.at(t, [this, handle, serial, procedure, t, request = std::move(request)] {
        phone_receives(handle, serial, procedure, t, request);
    });
    if (procedure != 0) {
        const sim_us end = t + gatt_timeout_after;
        schedule_.at(end, [this, handle, serial, procedure, end] {
            gatt_timeout(handle, serial, procedure, end);
        });
    }
}

void world::phone_receives(uint16_t conn_handle, uint32_t serial, uint32_t procedure, sim_us t,
                           const gatt_request& request) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr || l->silent_peer) return;
    device_state& d = devices_[static_cast<size_t>(l->device)];
    if (!heard(d, t)) {
        // Not acknowledged: the link layer sends it again in the next event, until the
        // phone hears it or the supervision time-out ends the link.
        const sim_us again = retry_time(*l, t);
        schedule_.at(again, [this, conn_handle, serial, procedure, again, request] {
            phone_receives(conn_handle, serial, procedure, again, request);
        });
        return;
    }
    if (air_) air_->request(air_event_at(*l, t), request);
    const uint32_t latency =
        static_cast<uint32_t>(l->chance.uniform(d.config->latency_min, d.config->latency_max));
    gatt_reply reply = d.gatt.respond(request, t);
    if (reply.what == gatt_reply::kind::hang_up) {
        peer_disconnect(conn_handle, serial, reply.reason, t);
        return;
    }
    if (procedure == 0) acknowledge_write_cmd(conn_handle, serial, t);
    if (reply.what == gatt_reply::kind::silent) {
        // A stack that loses the request too never reports the procedure's time-out.
        if (procedure != 0 && reply.stack_loses_request) l->lost_procedure = procedure;
        return;
    }
    const int64_t k = std::max(l->base, last_event_at_or_before(*l, t));
    if (air_) air_->answer(air_event(*l, k + latency), request, reply.answer, d.gatt.services());
    if (std::shared_ptr<wire::event_buffer> response = answer_event(conn_handle, reply.answer)) {
        const sim_us when = event_time(*l, k + latency);
        schedule_.at(when, [this, conn_handle, serial, procedure, response, when] {
            deliver_response(conn_handle, serial, procedure, response, when);
        });
    }
    sim_us when = event_time(*l, k + 1) + notification_offset;
    for (notification& n : reply.notifications) {
        schedule_.at(when, [this, conn_handle, serial, n, when] {
            deliver_notification(conn_handle, serial, n, when);
        });
        ++when;
    }
}

void world::acknowledge_write_cmd(uint16_t conn_handle, uint32_t serial, sim_us t) {
    // The link layer acknowledges a write command in the event that carries it.
    const sim_us done = t + tx_complete_offset;
    schedule_.at(done, [this, conn_handle, serial, done] {
        const link* current = live_link(conn_handle, serial);
        if (current == nullptr) return;
        rules_.write_cmd_sent(conn_handle);
        emit_event(done, wire::build_write_cmd_tx_complete(conn_handle, 1),
                   conn_event_note(*current, done));
    });
}

void world::deliver_response(uint16_t conn_handle, uint32_t serial, uint32_t procedure,
                             const std::shared_ptr<wire::event_buffer>& response, sim_us t) {
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

void world::deliver_notification(uint16_t conn_handle, uint32_t serial, const notification& n,
                                 sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr) return;
    if (!heard(devices_[static_cast<size_t>(l->device)], t)) {
        const sim_us again = retry_time(*l, t) + notification_offset;
        schedule_.at(again, [this, conn_handle, serial, n, again] {
            deliver_notification(conn_handle, serial, n, again);
        });
        return;
    }
    if (air_) air_->notification(air_event_at(*l, t), n);
    emit_event(t, wire::build_hvx(conn_handle, n.handle, BLE_GATT_HVX_NOTIFICATION, n.data),
               conn_event_note(*l, t));
}

void world::gatt_timeout(uint16_t conn_handle, uint32_t serial, uint32_t procedure, sim_us t) {
    link* l = live_link(conn_handle, serial);
    if (l == nullptr || !rules_.gattc_running(conn_handle) || l->procedure_serial != procedure)
        return;
    if (l->lost_procedure == procedure) return;
    rules_.gattc_timed_out(conn_handle);
    emit_event(t, wire::build_gattc_timeout(conn_handle), conn_event_note(*l, t));
}

bool world::answered_by_stack(sim_us now, driver::stack::discovery what, uint16_t conn_handle,
                              uint16_t start_handle) {
    std::optional<wire::event_buffer> answer =
        driver::stack::discovery_answered_by_stack(what, conn_handle, start_handle);
    if (!answer) return false;
    // Nothing goes on the air, so the answer comes with the call, not in a connection event.
    emit_event(now, std::move(*answer), trace_json{{"answered_by", "stack"}});
    return true;
}

uint32_t world::services_discover(sim_us now, uint16_t conn_handle, uint16_t start_handle,
                                  const ble_uuid_t* uuid) {
    const uint32_t result = rules_.check_primary_services_discover(conn_handle, uuid);
    if (result != NRF_SUCCESS) return result;
    if (answered_by_stack(now, driver::stack::discovery::services, conn_handle, start_handle)) {
        return NRF_SUCCESS;
    }
    gatt_request request;
    request.procedure = gatt_procedure::services;
    request.handle = start_handle;
    if (uuid != nullptr) request.service_uuid = uuid->uuid;
    send_request(*find_link(conn_handle), now, std::move(request));
    return NRF_SUCCESS;
}

uint32_t world::characteristics_discover(sim_us now, uint16_t conn_handle,
                                         const ble_gattc_handle_range_t* range) {
    const uint32_t result = rules_.check_characteristics_discover(conn_handle, range);
    if (result != NRF_SUCCESS) return result;
    if (answered_by_stack(now, driver::stack::discovery::characteristics, conn_handle,
                          range->start_handle)) {
        return NRF_SUCCESS;
    }
    gatt_request request;
    request.procedure = gatt_procedure::characteristics;
    request.handle = range->start_handle;
    request.end_handle = range->end_handle;
    send_request(*find_link(conn_handle), now, std::move(request));
    return NRF_SUCCESS;
}

uint32_t world::descriptors_discover(sim_us now, uint16_t conn_handle,
                                     const ble_gattc_handle_range_t* range) {
    const uint32_t result = rules_.check_descriptors_discover(conn_handle, range);
    if (result != NRF_SUCCESS) return result;
    if (answered_by_stack(now, driver::stack::discovery::descriptors, conn_handle,
                          range->start_handle)) {
        return NRF_SUCCESS;
    }
    gatt_request request;
    request.procedure = gatt_procedure::descriptors;
    request.handle = range->start_handle;
    request.end_handle = range->end_handle;
    send_request(*find_link(conn_handle), now, std::move(request));
    return NRF_SUCCESS;
}

uint32_t world::read(sim_us now, uint16_t conn_handle, uint16_t handle, uint16_t offset) {
    const uint32_t result = rules_.check_read(conn_handle, handle);
    if (result != NRF_SUCCESS) return result;
    gatt_request request;
    request.procedure = gatt_procedure::read;
    request.handle = handle;
    request.offset = offset;
    send_request(*find_link(conn_handle), now, std::move(request));
    return NRF_SUCCESS;
}

uint32_t world::write(sim_us now, uint16_t conn_handle, const ble_gattc_write_params_t* params) {
    const uint32_t result = rules_.check_write(conn_handle, params);
    if (result != NRF_SUCCESS) return result;
    gatt_request request;
    request.procedure = gatt_procedure::write;
    request.handle = params->handle;
    request.offset = params->offset;
    request.write_op = params->write_op;
    request.value.assign(params->p_value, params->p_value + params->len);
    send_request(*find_link(conn_handle), now, std::move(request));
    return NRF_SUCCESS;
}

}  // namespace sim
