#include "tests/support/att_server.h"

#include <algorithm>

#include "hci/att.h"
#include "tests/support/hci_peer_pdus.h"

namespace testing_support {

namespace {

constexpr uint8_t find_information_request = 0x04;
constexpr uint8_t find_information_response = 0x05;
constexpr uint8_t handle_value_confirmation = 0x1E;
constexpr uint8_t invalid_pdu = 0x04;

constexpr uint16_t primary_service = 0x2800;
constexpr uint16_t secondary_service = 0x2801;
constexpr uint16_t characteristic = 0x2803;
constexpr uint16_t client_configuration = 0x2902;

bool same(hci::bytes_view a, const std::vector<uint8_t>& b) {
    return a.size == b.size() && std::equal(b.begin(), b.end(), a.data);
}

bool is_uuid16(hci::bytes_view uuid, uint16_t value) {
    return same(uuid, uuid16(value));
}

// Requests have even opcodes, save the confirmation of an indication; commands have bit 6
// set. Everything else (responses, notifications, indications) asks for no answer.
bool is_request(uint8_t opcode) {
    return (opcode & 0x01) == 0 && (opcode & 0x40) == 0 && opcode != handle_value_confirmation;
}

}  // namespace

att_server::att_server(const std::vector<att_service>& services, uint16_t server_mtu)
    : server_mtu_(std::max(server_mtu, default_mtu)) {
    uint16_t next = 1;
    for (const att_service& service : services) {
        const size_t service_index = attributes_.size();
        attributes_.push_back({next++, uuid16(primary_service), service.uuid});
        for (const att_characteristic& c : service.characteristics) {
            const uint16_t declaration = next++;
            const uint16_t value = next++;
            attributes_.push_back({declaration, uuid16(characteristic),
                                   characteristic_declaration(c.properties, value, c.uuid)});
            attribute value_attribute{value, c.uuid, c.value};
            value_attribute.readable = (c.properties & att_property::read) != 0;
            value_attribute.writable =
                (c.properties & (att_property::write | att_property::write_without_response)) != 0;
            attributes_.push_back(value_attribute);
            for (const std::vector<uint8_t>& type : c.descriptors) {
                attributes_.push_back({next++, type, {}});
            }
            if ((c.properties & (att_property::notify | att_property::indicate)) != 0) {
                attribute cccd{next++, uuid16(client_configuration), {0x00, 0x00}};
                cccd.writable = true;
                cccd.client_configuration = true;
                attributes_.push_back(cccd);
            }
        }
        attributes_[service_index].group_end = static_cast<uint16_t>(next - 1);
    }
}

std::optional<std::vector<uint8_t>> att_server::answer(hci::bytes_view pdu) {
    const auto opcode = hci::att_opcode_of(pdu);
    if (!opcode) return std::nullopt;
    hci::byte_reader in(pdu);
    in.u8();
    switch (*opcode) {
        case hci::att_opcode::exchange_mtu_request: {
            const uint16_t client_mtu = in.u16();
            if (!in.done()) break;
            mtu_ = std::max(default_mtu, std::min(client_mtu, server_mtu_));
            return hci::exchange_mtu_response(server_mtu_);
        }
        case hci::att_opcode::read_by_group_type_request:
        case hci::att_opcode::read_by_type_request:
        case find_information_request: {
            const uint16_t start = in.u16();
            const uint16_t end = in.u16();
            const hci::bytes_view type = in.rest();
            const bool typed = *opcode != find_information_request;
            if (!in.ok() || (typed && type.size != 2 && type.size != 16) ||
                (!typed && type.size != 0)) {
                break;
            }
            if (start == 0 || start > end) {
                return att_error_response(*opcode, start, att_error_code::invalid_handle);
            }
            if (*opcode == hci::att_opcode::read_by_group_type_request) {
                return read_by_group_type(start, end, type);
            }
            if (*opcode == hci::att_opcode::read_by_type_request) {
                return read_by_type(start, end, type);
            }
            return find_information(start, end);
        }
        case hci::att_opcode::read_request: {
            const uint16_t handle = in.u16();
            if (!in.done()) break;
            return read(handle);
        }
        case hci::att_opcode::write_request:
        case hci::att_opcode::write_command: {
            const uint16_t handle = in.u16();
            const hci::bytes_view value = in.rest();
            if (!in.ok()) break;
            return write(handle, value, *opcode == hci::att_opcode::write_request);
        }
        default:
            if (!is_request(*opcode)) return std::nullopt;
            return att_error_response(*opcode, 0, att_error_code::request_not_supported);
    }
    // A PDU too short or too long for its opcode.
    if (!is_request(*opcode)) return std::nullopt;
    return att_error_response(*opcode, 0, invalid_pdu);
}

std::vector<uint8_t> att_server::read_by_group_type(uint16_t start, uint16_t end,
                                                    hci::bytes_view type) {
    if (!is_uuid16(type, primary_service) && !is_uuid16(type, secondary_service)) {
        return att_error_response(hci::att_opcode::read_by_group_type_request, start,
                                  att_error_code::unsupported_group_type);
    }
    std::vector<att_group_entry> entries;
    size_t length = 2;
    for (const attribute& a : attributes_) {
        if (a.handle < start || a.handle > end || !same(type, a.type)) continue;
        // One response lists services of one UUID size only, as many as fit.
        if (!entries.empty() && a.value.size() != entries.front().value.size()) break;
        if (length + 4 + a.value.size() > mtu_) break;
        length += 4 + a.value.size();
        entries.push_back({a.handle, a.group_end, a.value});
    }
    if (entries.empty()) {
        return att_error_response(hci::att_opcode::read_by_group_type_request, start,
                                  att_error_code::attribute_not_found);
    }
    return att_read_by_group_type_response(entries);
}

std::vector<uint8_t> att_server::read_by_type(uint16_t start, uint16_t end, hci::bytes_view type) {
    // A value longer than the response has room for, or than the length byte can say, is
    // cut short.
    const size_t max_value = std::min<size_t>(mtu_ - 4, 253);
    std::vector<att_type_entry> entries;
    size_t length = 2;
    for (const attribute& a : attributes_) {
        if (a.handle < start || a.handle > end || !same(type, a.type)) continue;
        if (!a.readable) {
            if (entries.empty()) {
                return att_error_response(hci::att_opcode::read_by_type_request, a.handle,
                                          att_error_code::read_not_permitted);
            }
            break;
        }
        std::vector<uint8_t> value(
            a.value.begin(),
            a.value.begin() + static_cast<std::ptrdiff_t>(std::min(a.value.size(), max_value)));
        if (!entries.empty() && value.size() != entries.front().value.size()) break;
        if (length + 2 + value.size() > mtu_) break;
        length += 2 + value.size();
        entries.push_back({a.handle, std::move(value)});
    }
    if (entries.empty()) {
        return att_error_response(hci::att_opcode::read_by_type_request, start,
                                  att_error_code::attribute_not_found);
    }
    return att_read_by_type_response(entries);
}

std::vector<uint8_t> att_server::find_information(uint16_t start, uint16_t end) {
    std::vector<uint8_t> out{find_information_response, 0};
    size_t type_size = 0;
    for (const attribute& a : attributes_) {
        if (a.handle < start || a.handle > end) continue;
        if (type_size != 0 && a.type.size() != type_size) break;
        if (out.size() + 2 + a.type.size() > mtu_) break;
        type_size = a.type.size();
        hci::put_u16(out, a.handle);
        hci::put_bytes(out, a.type);
    }
    if (type_size == 0) {
        return att_error_response(find_information_request, start,
                                  att_error_code::attribute_not_found);
    }
    out[1] = type_size == 2 ? 0x01 : 0x02;  // the format: 16-bit or 128-bit UUIDs
    return out;
}

std::vector<uint8_t> att_server::read(uint16_t handle) {
    const attribute* a = find(handle);
    if (a == nullptr) {
        return att_error_response(hci::att_opcode::read_request, handle,
                                  att_error_code::invalid_handle);
    }
    if (!a->readable) {
        return att_error_response(hci::att_opcode::read_request, handle,
                                  att_error_code::read_not_permitted);
    }
    const size_t length = std::min<size_t>(a->value.size(), mtu_ - 1);
    return att_read_response({a->value.data(), length});
}

std::optional<std::vector<uint8_t>> att_server::write(uint16_t handle, hci::bytes_view value,
                                                      bool with_response) {
    // A write command that fails is dropped without a word, as the protocol has none.
    const auto refuse = [&](uint8_t error) -> std::optional<std::vector<uint8_t>> {
        if (!with_response) return std::nullopt;
        return att_error_response(hci::att_opcode::write_request, handle, error);
    };
    auto it = std::find_if(attributes_.begin(), attributes_.end(),
                           [handle](const attribute& a) { return a.handle == handle; });
    if (it == attributes_.end()) return refuse(att_error_code::invalid_handle);
    if (!it->writable) return refuse(att_error_code::write_not_permitted);
    if (it->client_configuration && value.size != 2) {
        return refuse(att_error_code::invalid_attribute_value_length);
    }
    it->value = value.to_vector();
    writes_.push_back({handle, it->value, with_response});
    if (!with_response) return std::nullopt;
    return att_write_response();
}

std::optional<std::vector<uint8_t>> att_server::notification(uint16_t value_handle,
                                                             hci::bytes_view value) {
    const uint16_t cccd = cccd_handle(value_handle);
    if (cccd == 0) return std::nullopt;
    if ((find(cccd)->value[0] & 0x01) == 0) return std::nullopt;
    auto it = std::find_if(attributes_.begin(), attributes_.end(),
                           [value_handle](const attribute& a) { return a.handle == value_handle; });
    it->value = value.to_vector();
    const size_t length = std::min<size_t>(value.size, mtu_ - 3);
    return att_notification(value_handle, {value.data, length});
}

uint16_t att_server::value_handle(hci::bytes_view uuid) const {
    for (size_t i = 1; i < attributes_.size(); ++i) {
        if (same(uuid, attributes_[i].type) && is_uuid16(attributes_[i - 1].type, characteristic)) {
            return attributes_[i].handle;
        }
    }
    return 0;
}

uint16_t att_server::cccd_handle(uint16_t value_handle) const {
    // A descriptor follows its value directly, and only a value; see the layout above.
    if (find(value_handle) == nullptr) return 0;
    const attribute* a = find(static_cast<uint16_t>(value_handle + 1));
    return a != nullptr && a->client_configuration ? a->handle : 0;
}

std::vector<uint8_t> att_server::value(uint16_t handle) const {
    const attribute* a = find(handle);
    return a == nullptr ? std::vector<uint8_t>{} : a->value;
}

uint16_t att_server::last_handle() const {
    return attributes_.empty() ? 0 : attributes_.back().handle;
}

const att_server::attribute* att_server::find(uint16_t handle) const {
    // Handles run from 1 without gaps.
    if (handle == 0 || handle > attributes_.size()) return nullptr;
    return &attributes_[handle - 1];
}

}  // namespace testing_support
