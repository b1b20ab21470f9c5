#include "tests/support/gattc_events.h"

#include <cstring>
#include <string>

namespace testing_support {

built_event::built_event(size_t tail_bytes)
    : storage_((sizeof(ble_evt_t) + tail_bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0) {}

namespace {

built_event gattc_event(uint16_t evt_id, size_t tail_bytes, uint16_t conn_handle,
                        uint16_t gatt_status) {
    built_event built(tail_bytes);
    ble_evt_t* event = built.event();
    event->header.evt_id = evt_id;
    event->header.evt_len = static_cast<uint16_t>(sizeof(ble_evt_t) + tail_bytes);
    built.gattc().conn_handle = conn_handle;
    built.gattc().gatt_status = gatt_status;
    return built;
}

uint8_t hex_value(char digit) {
    if (digit >= '0' && digit <= '9') return static_cast<uint8_t>(digit - '0');
    if (digit >= 'a' && digit <= 'f') return static_cast<uint8_t>(digit - 'a' + 10);
    return static_cast<uint8_t>(digit - 'A' + 10);
}

}  // namespace

built_event make_prim_srvc_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                                    const std::vector<service_entry>& services,
                                    uint16_t error_handle) {
    built_event built =
        gattc_event(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, services.size() * sizeof(ble_gattc_service_t),
                    conn_handle, gatt_status);
    built.gattc().error_handle = error_handle;
    auto& rsp = built.gattc().params.prim_srvc_disc_rsp;
    rsp.count = static_cast<uint16_t>(services.size());
    ble_gattc_service_t* out = rsp.services;
    for (size_t i = 0; i < services.size(); ++i) {
        out[i].uuid.type = services[i].type;
        out[i].uuid.uuid = services[i].uuid16;
        out[i].handle_range.start_handle = services[i].start_handle;
        out[i].handle_range.end_handle = services[i].end_handle;
    }
    return built;
}

built_event make_char_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                               const std::vector<characteristic_entry>& chars) {
    built_event built =
        gattc_event(BLE_GATTC_EVT_CHAR_DISC_RSP, chars.size() * sizeof(ble_gattc_char_t),
                    conn_handle, gatt_status);
    auto& rsp = built.gattc().params.char_disc_rsp;
    rsp.count = static_cast<uint16_t>(chars.size());
    ble_gattc_char_t* out = rsp.chars;
    for (size_t i = 0; i < chars.size(); ++i) {
        out[i].uuid.type = chars[i].type;
        out[i].uuid.uuid = chars[i].uuid16;
        out[i].handle_decl = chars[i].decl_handle;
        out[i].handle_value = chars[i].value_handle;
    }
    return built;
}

built_event make_desc_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                               const std::vector<descriptor_entry>& descs) {
    built_event built =
        gattc_event(BLE_GATTC_EVT_DESC_DISC_RSP, descs.size() * sizeof(ble_gattc_desc_t),
                    conn_handle, gatt_status);
    auto& rsp = built.gattc().params.desc_disc_rsp;
    rsp.count = static_cast<uint16_t>(descs.size());
    ble_gattc_desc_t* out = rsp.descs;
    for (size_t i = 0; i < descs.size(); ++i) {
        out[i].handle = descs[i].handle;
        out[i].uuid.type = BLE_UUID_TYPE_BLE;
        out[i].uuid.uuid = descs[i].uuid16;
    }
    return built;
}

built_event make_read_rsp(uint16_t conn_handle, uint16_t gatt_status, uint16_t handle,
                          const std::vector<uint8_t>& data, uint16_t offset) {
    built_event built = gattc_event(BLE_GATTC_EVT_READ_RSP, data.size(), conn_handle, gatt_status);
    auto& rsp = built.gattc().params.read_rsp;
    rsp.handle = handle;
    rsp.offset = offset;
    rsp.len = static_cast<uint16_t>(data.size());
    uint8_t* out = rsp.data;
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    return built;
}

std::vector<uint8_t> uuid_air_bytes(const char* uuid_text) {
    const size_t digits = std::strlen(uuid_text);
    std::vector<uint8_t> bytes;
    for (size_t i = digits; i >= 2; i -= 2) {
        bytes.push_back(
            static_cast<uint8_t>(hex_value(uuid_text[i - 2]) << 4 | hex_value(uuid_text[i - 1])));
    }
    return bytes;
}

std::vector<uint8_t> declaration_value(uint16_t value_handle, const char* uuid_text,
                                       uint8_t properties) {
    std::vector<uint8_t> value = {properties, static_cast<uint8_t>(value_handle & 0xFF),
                                  static_cast<uint8_t>(value_handle >> 8)};
    const std::vector<uint8_t> uuid = uuid_air_bytes(uuid_text);
    value.insert(value.end(), uuid.begin(), uuid.end());
    return value;
}

}  // namespace testing_support
