#include "driver/stack/discovery_answer.h"

namespace driver::stack {

std::optional<wire::event_buffer> discovery_answered_by_stack(discovery what, uint16_t conn_handle,
                                                              uint16_t start_handle) {
    if (start_handle != 0) return std::nullopt;
    constexpr uint16_t status = BLE_GATT_STATUS_ATTERR_INVALID_HANDLE;
    // The handle in error is the one asked for.
    constexpr uint16_t error_handle = 0;
    switch (what) {
        case discovery::services:
            return wire::build_services_response(conn_handle, status, error_handle, {});
        case discovery::characteristics:
            return wire::build_characteristics_response(conn_handle, status, error_handle, {});
        case discovery::descriptors:
            break;
    }
    return wire::build_descriptors_response(conn_handle, status, error_handle, {});
}

}  // namespace driver::stack
