#include "sim/phone/phone_gatt.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "driver/ble_gatt.h"
#include "driver/ble_types.h"

namespace sim {

namespace {

constexpr uint16_t default_att_mtu = BLE_GATT_ATT_MTU_DEFAULT;
// Opcode and length byte that open every Read By Group Type / Read By Type response.
constexpr size_t list_response_header = 2;
// Longest attribute value ATT allows.
constexpr size_t max_attribute_length = 512;

uint8_t reported_type(const gatt_uuid& uuid, const std::optional<uint8_t>& configured) {
    if (configured) return *configured;
    // The central registers no vendor base, so its stack knows no 128-bit UUID.
    return uuid.is_128 ? BLE_UUID_TYPE_UNKNOWN : BLE_UUID_TYPE_BLE;
}

ble_uuid_t reported_uuid(const gatt_uuid& uuid, const std::optional<uint8_t>& configured) {
    ble_uuid_t out{};
    out.type = reported_type(uuid, configured);
    if (!uuid.is_128) {
        out.uuid = uuid.short_uuid;
    } else if (out.type == BLE_UUID_TYPE_UNKNOWN) {
        out.uuid = 0;
    } else {
        out.uuid = uuid.octets_12_13();
    }
    return out;
}

ble_gattc_char_t char_entry(const gatt_characteristic_def& chr) {
    ble_gattc_char_t out{};
    out.uuid = reported_uuid(chr.uuid, chr.reported_type);
    out.char_props.broadcast = (chr.properties & gatt_prop_broadcast) != 0;
    out.char_props.read = (chr.properties & gatt_prop_read) != 0;
    out.char_props.write_wo_resp = (chr.properties & gatt_prop_write_without_response) != 0;
    out.char_props.write = (chr.properties & gatt_prop_write) != 0;
    out.char_props.notify = (chr.properties & gatt_prop_notify) != 0;
    out.char_props.indicate = (chr.properties & gatt_prop_indicate) != 0;
    out.char_props.auth_signed_wr = (chr.properties & gatt_prop_authenticated_signed_writes) != 0;
    out.char_ext_props = (chr.properties & gatt_prop_extended_properties) != 0;
    out.handle_decl = chr.decl_handle;
    out.handle_value = chr.value_handle;
    return out;
}

bool is_cccd(const gatt_descriptor_def& desc) {
    return !desc.uuid.is_128 && desc.uuid.short_uuid == gatt_uuid_cccd;
}

gatt_uuid parsed(const char* text) {
    gatt_uuid uuid;
    gatt_uuid::parse128(text, uuid);
    return uuid;
}

}  // namespace

const char* const feature_uuid_text = "578629605B0F4CE0A25530997B420C79";
const char* const challenge_uuid_text = "7198C97A914A432DB8280EEA0E2B65FC";
const char* const response_uuid_text = "0B9DB0E5C5B34043829444D8112ADC54";

namespace {

// Static locals: their one-time initialisation is safe when worlds run phones on
// several threads.
const gatt_uuid& challenge_uuid() {
    static const gatt_uuid uuid = parsed(challenge_uuid_text);
    return uuid;
}

const gatt_uuid& response_uuid() {
    static const gatt_uuid uuid = parsed(response_uuid_text);
    return uuid;
}

}  // namespace

phone_gatt::phone_gatt(std::vector<gatt_service_def> services, phone_behaviour behaviour,
                       std::vector<gatt_override> overrides)
    : services_(std::move(services)),
      behaviour_(std::move(behaviour)),
      overrides_(std::move(overrides)) {
    build_index();
}

void phone_gatt::build_index() {
    index_.clear();
    challenge_handle_ = 0;
    for (size_t s = 0; s < services_.size(); ++s) {
        const gatt_service_def& service = services_[s];
        const int si = static_cast<int>(s);
        index_.emplace(service.start_handle, attr_ref{attr_kind::service_decl, si, -1, -1});
        for (size_t c = 0; c < service.characteristics.size(); ++c) {
            const gatt_characteristic_def& chr = service.characteristics[c];
            const int ci = static_cast<int>(c);
            index_.emplace(chr.decl_handle, attr_ref{attr_kind::char_decl, si, ci, -1});
            index_.emplace(chr.value_handle, attr_ref{attr_kind::char_value, si, ci, -1});
            if (chr.uuid == challenge_uuid()) challenge_handle_ = chr.value_handle;
            for (size_t d = 0; d < chr.descriptors.size(); ++d) {
                index_.emplace(chr.descriptors[d].handle,
                               attr_ref{attr_kind::descriptor, si, ci, static_cast<int>(d)});
            }
        }
    }
}

uint16_t phone_gatt::att_mtu() const {
    return default_att_mtu;
}

const gatt_override* phone_gatt::find_override(gatt_procedure procedure, uint32_t request,
                                               uint16_t handle) const {
    for (const gatt_override& rule : overrides_) {
        if (rule.procedure != procedure) continue;
        if (rule.request && *rule.request != request) continue;
        if (rule.connection && *rule.connection != connection_number_) continue;
        if (rule.handle && *rule.handle != handle) continue;
        return &rule;
    }
    return nullptr;
}

services_response phone_gatt::discover_primary_services(uint16_t start_handle) {
    services_response rsp;
    if (const gatt_override* rule =
            find_override(gatt_procedure::services, ++services_requests_, start_handle)) {
        rsp.silent = rule->silent;
        rsp.status = rule->status.value_or(0);
        rsp.error_handle = rule->error_handle.value_or(rsp.status != 0 ? start_handle : 0);
        if (rule->services) rsp.services = *rule->services;
        return rsp;
    }
    if (start_handle == 0) {
        rsp.status = BLE_GATT_STATUS_ATTERR_INVALID_HANDLE;
        return rsp;
    }
    // One response lists services of one UUID size only, as many as fit in the MTU.
    size_t uuid_size = 0;
    for (const gatt_service_def& service : services_) {
        if (service.start_handle < start_handle) continue;
        const size_t size = service.uuid.is_128 ? 16 : 2;
        if (uuid_size == 0) uuid_size = size;
        if (size != uuid_size) break;
        if (list_response_header + (rsp.services.size() + 1) * (4 + size) > att_mtu()) break;
        ble_gattc_service_t entry{};
        entry.uuid = reported_uuid(service.uuid, service.reported_type);
        entry.handle_range.start_handle = service.start_handle;
        entry.handle_range.end_handle = service.end_handle;
        rsp.services.push_back(entry);
    }
    if (rsp.services.empty()) {
        rsp.status = BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND;
        rsp.error_handle = start_handle;
    }
    return rsp;
}

characteristics_response phone_gatt::discover_characteristics(uint16_t start, uint16_t end) {
    characteristics_response rsp;
    if (const gatt_override* rule =
            find_override(gatt_procedure::characteristics, ++characteristics_requests_, start)) {
        rsp.silent = rule->silent;
        rsp.status = rule->status.value_or(0);
        rsp.error_handle = rule->error_handle.value_or(rsp.status != 0 ? start : 0);
        if (rule->chars) rsp.chars = *rule->chars;
        return rsp;
    }
    if (start == 0 || start > end) {
        rsp.status = BLE_GATT_STATUS_ATTERR_INVALID_HANDLE;
        rsp.error_handle = start;
        return rsp;
    }
    size_t uuid_size = 0;
    bool full = false;
    for (const gatt_service_def& service : services_) {
        for (const gatt_characteristic_def& chr : service.characteristics) {
            if (chr.decl_handle < start || chr.decl_handle > end) continue;
            const size_t size = chr.uuid.is_128 ? 16 : 2;
            if (uuid_size == 0) uuid_size = size;
            // Declaration handle, properties, value handle, UUID.
            if (size != uuid_size ||
                list_response_header + (rsp.chars.size() + 1) * (5 + size) > att_mtu()) {
                full = true;
                break;
            }
            rsp.chars.push_back(char_entry(chr));
        }
        if (full) break;
    }
    if (rsp.chars.empty()) {
        rsp.status = BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND;
        rsp.error_handle = start;
    }
    return rsp;
}

descriptors_response phone_gatt::discover_descriptors(uint16_t start, uint16_t end) {
    descriptors_response rsp;
    if (start == 0 || start > end) {
        rsp.status = BLE_GATT_STATUS_ATTERR_INVALID_HANDLE;
        rsp.error_handle = start;
        return rsp;
    }
    // Opcode and format byte; then a handle and a UUID of the format's one size per entry.
    constexpr size_t header = 2;
    size_t uuid_size = 0;
    for (auto it = index_.lower_bound(start); it != index_.end() && it->first <= end; ++it) {
        const attr_ref& ref = it->second;
        const gatt_service_def& service = services_[ref.service_index];
        gatt_uuid type;
        switch (ref.kind) {
            case attr_kind::service_decl:
                type = gatt_uuid::from16(gatt_uuid_primary_service);
                break;
            case attr_kind::char_decl:
                type = gatt_uuid::from16(gatt_uuid_characteristic);
                break;
            case attr_kind::char_value:
                type = service.characteristics[ref.char_index].uuid;
                break;
            case attr_kind::descriptor:
                type = service.characteristics[ref.char_index].descriptors[ref.desc_index].uuid;
                break;
        }
        const size_t size = type.is_128 ? 16 : 2;
        if (uuid_size == 0) uuid_size = size;
        if (size != uuid_size || header + (rsp.descs.size() + 1) * (2 + size) > att_mtu()) break;
        ble_gattc_desc_t entry{};
        entry.handle = it->first;
        entry.uuid = reported_uuid(type, std::nullopt);
        rsp.descs.push_back(entry);
    }
    if (rsp.descs.empty()) {
        rsp.status = BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND;
        rsp.error_handle = start;
    }
    return rsp;
}

std::vector<uint8_t> phone_gatt::attribute_value(const attr_ref& ref) const {
    const gatt_service_def& service = services_[ref.service_index];
    switch (ref.kind) {
        case attr_kind::service_decl:
            return service.declaration ? *service.declaration : service.uuid.air_bytes();
        case attr_kind::char_decl: {
            const gatt_characteristic_def& chr = service.characteristics[ref.char_index];
            if (chr.declaration) return *chr.declaration;
            const uint16_t value_handle = chr.declared_value_handle.value_or(chr.value_handle);
            std::vector<uint8_t> out{chr.properties, static_cast<uint8_t>(value_handle & 0xFF),
                                     static_cast<uint8_t>(value_handle >> 8)};
            const std::vector<uint8_t> uuid = chr.uuid.air_bytes();
            out.insert(out.end(), uuid.begin(), uuid.end());
            return out;
        }
        case attr_kind::char_value:
            return service.characteristics[ref.char_index].value;
        case attr_kind::descriptor:
            return service.characteristics[ref.char_index].descriptors[ref.desc_index].value;
    }
    return {};
}

read_response phone_gatt::read(uint16_t handle, uint16_t offset) {
    read_response rsp;
    rsp.handle = handle;
    rsp.offset = offset;
    if (const gatt_override* rule = find_override(gatt_procedure::read, ++read_requests_, handle)) {
        rsp.silent = rule->silent;
        rsp.status = rule->status.value_or(0);
        rsp.error_handle = rule->error_handle.value_or(rsp.status != 0 ? handle : 0);
        if (rule->data) rsp.data = *rule->data;
        return rsp;
    }
    auto it = index_.find(handle);
    if (handle == 0 || it == index_.end()) {
        rsp.status = BLE_GATT_STATUS_ATTERR_INVALID_HANDLE;
        rsp.error_handle = handle;
        return rsp;
    }
    const attr_ref& ref = it->second;
    if (ref.kind == attr_kind::char_value &&
        (services_[ref.service_index].characteristics[ref.char_index].properties &
         gatt_prop_read) == 0) {
        rsp.status = BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED;
        rsp.error_handle = handle;
        return rsp;
    }
    const std::vector<uint8_t> value = attribute_value(ref);
    if (offset > value.size()) {
        rsp.status = BLE_GATT_STATUS_ATTERR_INVALID_OFFSET;
        rsp.error_handle = handle;
        return rsp;
    }
    const size_t length = std::min<size_t>(value.size() - offset, att_mtu() - 1u);
    const auto first = value.begin() + static_cast<std::ptrdiff_t>(offset);
    rsp.data.assign(first, first + static_cast<std::ptrdiff_t>(length));
    return rsp;
}

write_response phone_gatt::write(uint8_t write_op, uint16_t handle, uint16_t offset,
                                 const std::vector<uint8_t>& value,
                                 std::vector<notification>& out) {
    write_response rsp;
    rsp.handle = handle;
    rsp.write_op = write_op;
    rsp.offset = offset;
    rsp.data = value;
    auto fail = [&](uint16_t status) {
        rsp.status = status;
        rsp.error_handle = handle;
        return rsp;
    };
    // A scripted answer stands for a phone that did not take the write.
    if (const gatt_override* rule =
            find_override(gatt_procedure::write, ++write_requests_, handle)) {
        rsp.silent = rule->silent;
        rsp.status = rule->status.value_or(0);
        rsp.error_handle = rule->error_handle.value_or(rsp.status != 0 ? handle : 0);
        return rsp;
    }
    if (write_op != BLE_GATT_OP_WRITE_REQ && write_op != BLE_GATT_OP_WRITE_CMD) {
        return fail(BLE_GATT_STATUS_ATTERR_REQUEST_NOT_SUPPORTED);
    }
    auto it = index_.find(handle);
    if (handle == 0 || it == index_.end()) return fail(BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
    const attr_ref ref = it->second;
    // Anything longer than one write PDU carries cannot have come from a plain write.
    if (value.size() > static_cast<size_t>(att_mtu() - 3)) {
        return fail(BLE_GATT_STATUS_ATTERR_INVALID_ATT_VAL_LENGTH);
    }
    gatt_service_def& service = services_[ref.service_index];
    switch (ref.kind) {
        case attr_kind::service_decl:
        case attr_kind::char_decl:
            return fail(BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
        case attr_kind::descriptor: {
            gatt_descriptor_def& desc =
                service.characteristics[ref.char_index].descriptors[ref.desc_index];
            if (is_cccd(desc)) {
                if (behaviour_.cccd_writes == cccd_policy::ignore) {
                    rsp.silent = true;
                    return rsp;
                }
                if (behaviour_.cccd_writes == cccd_policy::refuse) {
                    return fail(BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
                }
                if (offset != 0) return fail(BLE_GATT_STATUS_ATTERR_INVALID_OFFSET);
                if (value.size() != 2) return fail(BLE_GATT_STATUS_ATTERR_INVALID_ATT_VAL_LENGTH);
                desc.value = value;
                return rsp;
            }
            if (!desc.writable) return fail(BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
            if (offset > desc.value.size()) return fail(BLE_GATT_STATUS_ATTERR_INVALID_OFFSET);
            desc.value.resize(offset);
            desc.value.insert(desc.value.end(), value.begin(), value.end());
            return rsp;
        }
        case attr_kind::char_value: {
            gatt_characteristic_def& chr = service.characteristics[ref.char_index];
            // Phones grant write permission to the value as a whole, so either kind of
            // write reaches a value that advertises either write property.
            if ((chr.properties & (gatt_prop_write | gatt_prop_write_without_response)) == 0) {
                return fail(BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
            }
            if (offset > chr.value.size()) return fail(BLE_GATT_STATUS_ATTERR_INVALID_OFFSET);
            if (offset + value.size() > max_attribute_length) {
                return fail(BLE_GATT_STATUS_ATTERR_INVALID_ATT_VAL_LENGTH);
            }
            chr.value.resize(offset);
            chr.value.insert(chr.value.end(), value.begin(), value.end());
            after_value_write(ref, out);
            return rsp;
        }
    }
    return rsp;
}

std::vector<uint8_t> phone_gatt::challenge_answer(const std::vector<uint8_t>& challenge) const {
    if (behaviour_.challenge == challenge_policy::fixed) return behaviour_.fixed_answer;
    // A notification at the default MTU carries at most 20 bytes; fill them all so that a
    // trace shows the answer depends on every challenge byte position.
    std::vector<uint8_t> answer(att_mtu() - 3u);
    for (size_t i = 0; i < answer.size(); ++i) {
        const uint8_t mix = static_cast<uint8_t>(0xA5 + 7 * i);
        answer[i] =
            challenge.empty() ? mix : static_cast<uint8_t>(challenge[i % challenge.size()] ^ mix);
    }
    return answer;
}

void phone_gatt::after_value_write(const attr_ref& ref, std::vector<notification>& out) {
    const gatt_characteristic_def& written =
        services_[ref.service_index].characteristics[ref.char_index];
    if (!(written.uuid == challenge_uuid())) return;
    if (behaviour_.challenge == challenge_policy::never) return;
    // The answer goes out on the first 'response' characteristic whose CCCD has
    // notifications on.
    for (const gatt_service_def& service : services_) {
        for (const gatt_characteristic_def& chr : service.characteristics) {
            if (!(chr.uuid == response_uuid())) continue;
            for (const gatt_descriptor_def& desc : chr.descriptors) {
                if (is_cccd(desc) && !desc.value.empty() && (desc.value[0] & 0x01) != 0) {
                    out.push_back(notification{chr.value_handle, challenge_answer(written.value)});
                    return;
                }
            }
        }
    }
}

void phone_gatt::on_disconnect() {
    for (gatt_service_def& service : services_) {
        for (gatt_characteristic_def& chr : service.characteristics) {
            for (gatt_descriptor_def& desc : chr.descriptors) {
                if (is_cccd(desc)) desc.value.assign(2, 0);
            }
        }
    }
    services_requests_ = characteristics_requests_ = read_requests_ = write_requests_ = 0;
    requests_ = cccd_writes_ = challenges_ = 0;
    ++connection_number_;
}

std::optional<std::vector<uint8_t>> phone_gatt::stored_value(uint16_t handle) const {
    const auto it = index_.find(handle);
    if (it == index_.end()) return std::nullopt;
    return attribute_value(it->second);
}

uint16_t phone_gatt::cccd_value(uint16_t handle) const {
    auto it = index_.find(handle);
    if (it == index_.end() || it->second.kind != attr_kind::descriptor) return 0;
    const attr_ref& ref = it->second;
    const gatt_descriptor_def& desc =
        services_[ref.service_index].characteristics[ref.char_index].descriptors[ref.desc_index];
    if (!is_cccd(desc) || desc.value.size() < 2) return 0;
    return static_cast<uint16_t>(desc.value[0] | (desc.value[1] << 8));
}

}  // namespace sim
