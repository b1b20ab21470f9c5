#include "tests/support/gattc_events.h"

#include "tests/support/gap_events.h"

namespace testing_support {

wire::event_buffer make_prim_srvc_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                                           const std::vector<service_entry>& services,
                                           uint16_t error_handle) {
    std::vector<ble_gattc_service_t> list(services.size());
    for (size_t i = 0; i < services.size(); ++i) {
        list[i].uuid.type = services[i].type;
        list[i].uuid.uuid = services[i].uuid16;
        list[i].handle_range.start_handle = services[i].start_handle;
        list[i].handle_range.end_handle = services[i].end_handle;
    }
    return wire::build_services_response(conn_handle, gatt_status, error_handle, list);
}

wire::event_buffer make_char_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                                      const std::vector<characteristic_entry>& chars) {
    std::vector<ble_gattc_char_t> list(chars.size());
    for (size_t i = 0; i < chars.size(); ++i) {
        list[i].uuid.type = chars[i].type;
        list[i].uuid.uuid = chars[i].uuid16;
        list[i].handle_decl = chars[i].decl_handle;
        list[i].handle_value = chars[i].value_handle;
    }
    return wire::build_characteristics_response(conn_handle, gatt_status, 0, list);
}

wire::event_buffer make_desc_disc_rsp(uint16_t conn_handle, uint16_t gatt_status,
                                      const std::vector<descriptor_entry>& descs) {
    std::vector<ble_gattc_desc_t> list(descs.size());
    for (size_t i = 0; i < descs.size(); ++i) {
        list[i].handle = descs[i].handle;
        list[i].uuid.type = BLE_UUID_TYPE_BLE;
        list[i].uuid.uuid = descs[i].uuid16;
    }
    return wire::build_descriptors_response(conn_handle, gatt_status, 0, list);
}

wire::event_buffer make_read_rsp(uint16_t conn_handle, uint16_t gatt_status, uint16_t handle,
                                 const std::vector<uint8_t>& data, uint16_t offset) {
    return wire::build_read_response(conn_handle, gatt_status, 0, handle, offset, data);
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
