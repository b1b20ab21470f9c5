// The phone at the receiving end of a request: which of its scripted faults strikes, and
// the answer it gives otherwise.
#include <algorithm>

#include "driver/ble_gatt.h"
#include "sim/phone/phone_gatt.h"

namespace sim {

void phone_gatt::add_fault(const phone_fault& fault) {
    faults_.push_back(fault);
}

const phone_fault* phone_gatt::striking(phone_fault::kind what, uint32_t count, sim_us t) const {
    for (const phone_fault& f : faults_) {
        if (f.what == what && f.strikes(connection_number_, count, t)) return &f;
    }
    return nullptr;
}

const phone_fault* phone_gatt::hang_up_now() const {
    // A phone hangs up on one request only: the one after the count it lets through.
    for (const phone_fault& f : faults_) {
        if (f.what == phone_fault::kind::hang_up && f.on_connection(connection_number_) &&
            f.after_count && requests_ == *f.after_count + 1) {
            return &f;
        }
    }
    return nullptr;
}

bool phone_gatt::is_cccd_handle(uint16_t handle) const {
    const auto it = index_.find(handle);
    if (it == index_.end() || it->second.kind != attr_kind::descriptor) return false;
    const attr_ref& ref = it->second;
    const gatt_descriptor_def& desc =
        services_[ref.service_index].characteristics[ref.char_index].descriptors[ref.desc_index];
    return !desc.uuid.is_128 && desc.uuid.short_uuid == gatt_uuid_cccd;
}

gatt_reply phone_gatt::respond(const gatt_request& request, sim_us now) {
    ++requests_;
    if (const phone_fault* f = hang_up_now()) return gatt_reply::hang_up(f->reason);
    if (const phone_fault* f = striking(phone_fault::kind::silent, requests_, now)) {
        return gatt_reply::silence(!f->stack_timeout);
    }
    gatt_reply reply;
    switch (request.procedure) {
        case gatt_procedure::services: {
            services_response r = request.service_uuid ? discover_primary_services(
                                                             request.handle, *request.service_uuid)
                                                       : discover_primary_services(request.handle);
            if (r.silent) return gatt_reply::silence(false);
            reply.answer = std::move(r);
            return reply;
        }
        case gatt_procedure::characteristics: {
            characteristics_response r =
                discover_characteristics(request.handle, request.end_handle);
            if (r.silent) return gatt_reply::silence(false);
            reply.answer = std::move(r);
            return reply;
        }
        case gatt_procedure::read: {
            read_response r = read(request.handle, request.offset);
            if (r.silent) return gatt_reply::silence(false);
            reply.answer = std::move(r);
            return reply;
        }
        case gatt_procedure::descriptors: {
            descriptors_response r = discover_descriptors(request.handle, request.end_handle);
            reply.answer = std::move(r);
            return reply;
        }
        case gatt_procedure::write:
            break;
    }
    return answer_write(request);
}

gatt_reply phone_gatt::answer_write(const gatt_request& request) {
    const bool is_request = request.write_op == BLE_GATT_OP_WRITE_REQ;
    if (is_cccd_handle(request.handle)) {
        ++cccd_writes_;
        if (const phone_fault* f = striking(phone_fault::kind::cccd, cccd_writes_, request.sent)) {
            // A command cannot be refused: the phone can only drop it.
            if (f->mode == cccd_mode::ignore || !is_request) return gatt_reply::silence(false);
            write_response refused;
            refused.status = BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED;
            refused.error_handle = request.handle;
            refused.handle = request.handle;
            refused.write_op = request.write_op;
            refused.offset = request.offset;
            gatt_reply reply;
            reply.answer = std::move(refused);
            return reply;
        }
    }
    bool mute = false;
    if (request.handle != 0 && request.handle == challenge_handle_) {
        ++challenges_;
        mute = striking(phone_fault::kind::challenge_silent, challenges_, request.sent) != nullptr;
    }
    gatt_reply reply;
    write_response w =
        write(request.write_op, request.handle, request.offset, request.value, reply.notifications);
    if (w.silent) return gatt_reply::silence(false);
    if (mute) reply.notifications.clear();
    if (is_request) reply.answer = std::move(w);
    return reply;
}

services_response phone_gatt::discover_primary_services(uint16_t start_handle, uint16_t uuid) {
    services_response r = discover_primary_services(start_handle);
    if (r.silent || r.status != BLE_GATT_STATUS_SUCCESS) return r;
    std::vector<ble_gattc_service_t> found;
    for (;;) {
        uint16_t last_end = 0;
        for (const ble_gattc_service_t& s : r.services) {
            if (s.uuid.type == BLE_UUID_TYPE_BLE && s.uuid.uuid == uuid) found.push_back(s);
            last_end = s.handle_range.end_handle;
        }
        if (!found.empty() || r.status != BLE_GATT_STATUS_SUCCESS || r.services.empty() ||
            last_end == 0xFFFF) {
            break;
        }
        r = discover_primary_services(static_cast<uint16_t>(last_end + 1));
        if (r.silent) return r;
    }
    services_response answer;
    if (found.empty()) {
        answer.status = BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND;
        answer.error_handle = start_handle;
    } else {
        answer.services = std::move(found);
    }
    return answer;
}

}  // namespace sim
