#include "tests/support/gap_events.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#endif

#include "queue/message_queue.h"

namespace testing_support {

std::vector<uint8_t> ad_structure(uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(payload.size() + 1));
    bytes.push_back(type);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

std::vector<uint8_t> ad_uuid128_list(const std::vector<std::vector<uint8_t>>& uuids) {
    return ad_structure(0x07, concat(uuids));
}

std::vector<uint8_t> uuid_air_bytes(const std::string& uuid_text) {
    if (uuid_text.size() != 32) throw std::invalid_argument("UUID text needs 32 hex digits");
    std::vector<uint8_t> bytes(16);
    for (size_t i = 0; i < 16; ++i) {
        bytes[15 - i] = static_cast<uint8_t>(std::stoul(uuid_text.substr(2 * i, 2), nullptr, 16));
    }
    return bytes;
}

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

ble_gap_addr_t make_address(const std::vector<uint8_t>& air_order_bytes) {
    ble_gap_addr_t address{};
    address.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    for (size_t i = 0; i < BLE_GAP_ADDR_LEN && i < air_order_bytes.size(); ++i) {
        address.addr[i] = air_order_bytes[i];
    }
    return address;
}

namespace {

std::unique_ptr<gap_event_record> gap(uint16_t evt_id, uint16_t conn_handle) {
    auto made = std::make_unique<gap_event_record>();
    made->event.header.evt_id = evt_id;
    made->event.header.evt_len = sizeof(ble_evt_t);
    made->event.evt.gap_evt.conn_handle = conn_handle;
    return made;
}

std::unique_ptr<gap_event_record> gattc(uint16_t evt_id, uint16_t conn_handle, uint16_t status) {
    auto made = std::make_unique<gap_event_record>();
    made->event.header.evt_id = evt_id;
    made->event.header.evt_len = sizeof(ble_evt_t);
    made->event.evt.gattc_evt.conn_handle = conn_handle;
    made->event.evt.gattc_evt.gatt_status = status;
    return made;
}

}  // namespace

std::unique_ptr<gap_event_record> adv_report_event(const std::vector<uint8_t>& data, int8_t rssi,
                                                   const ble_gap_addr_t& peer, uint16_t type_bits) {
    auto made = gap(BLE_GAP_EVT_ADV_REPORT, BLE_CONN_HANDLE_INVALID);
    made->data = data;
    ble_gap_evt_adv_report_t& report = made->event.evt.gap_evt.params.adv_report;
    report.type.type = type_bits & 0x0F;
    report.peer_addr = peer;
    report.rssi = rssi;
    report.data.p_data = made->data.empty() ? nullptr : made->data.data();
    report.data.len = static_cast<uint16_t>(made->data.size());
    return made;
}

std::unique_ptr<gap_event_record> connected_event(uint16_t conn_handle, uint8_t role) {
    auto made = gap(BLE_GAP_EVT_CONNECTED, conn_handle);
    made->event.evt.gap_evt.params.connected.role = role;
    return made;
}

std::unique_ptr<gap_event_record> disconnected_event(uint16_t conn_handle, uint8_t reason) {
    auto made = gap(BLE_GAP_EVT_DISCONNECTED, conn_handle);
    made->event.evt.gap_evt.params.disconnected.reason = reason;
    return made;
}

std::unique_ptr<gap_event_record> gap_timeout_event(uint8_t source) {
    auto made = gap(BLE_GAP_EVT_TIMEOUT, BLE_CONN_HANDLE_INVALID);
    made->event.evt.gap_evt.params.timeout.src = source;
    return made;
}

std::unique_ptr<gap_event_record> rssi_changed_event(uint16_t conn_handle, int8_t rssi,
                                                     uint8_t channel) {
    auto made = gap(BLE_GAP_EVT_RSSI_CHANGED, conn_handle);
    made->event.evt.gap_evt.params.rssi_changed.rssi = rssi;
    made->event.evt.gap_evt.params.rssi_changed.ch_index = channel;
    return made;
}

std::unique_ptr<gap_event_record> conn_param_update_request_event(
    uint16_t conn_handle, const ble_gap_conn_params_t& params) {
    auto made = gap(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST, conn_handle);
    made->event.evt.gap_evt.params.conn_param_update_request.conn_params = params;
    return made;
}

std::unique_ptr<gap_event_record> adv_set_terminated_event(uint8_t adv_handle) {
    auto made = gap(BLE_GAP_EVT_ADV_SET_TERMINATED, BLE_CONN_HANDLE_INVALID);
    made->event.evt.gap_evt.params.adv_set_terminated.adv_handle = adv_handle;
    return made;
}

std::unique_ptr<gap_event_record> write_response_event(uint16_t conn_handle, uint16_t gatt_status) {
    return gattc(BLE_GATTC_EVT_WRITE_RSP, conn_handle, gatt_status);
}

std::unique_ptr<gap_event_record> hvx_event(uint16_t conn_handle, uint16_t handle, uint16_t len) {
    auto made = gattc(BLE_GATTC_EVT_HVX, conn_handle, 0);
    made->event.evt.gattc_evt.params.hvx.handle = handle;
    made->event.evt.gattc_evt.params.hvx.len = len;
    return made;
}

std::unique_ptr<gap_event_record> read_response_event(uint16_t conn_handle, uint16_t handle,
                                                      uint16_t gatt_status) {
    auto made = gattc(BLE_GATTC_EVT_READ_RSP, conn_handle, gatt_status);
    made->event.evt.gattc_evt.params.read_rsp.handle = handle;
    made->event.evt.gattc_evt.params.read_rsp.len = 0;
    return made;
}

std::unique_ptr<gap_event_record> gattc_timeout_event(uint16_t conn_handle) {
    return gattc(BLE_GATTC_EVT_TIMEOUT, conn_handle, 0);
}

std::unique_ptr<gap_event_record> bare_event(uint16_t evt_id, uint16_t conn_handle) {
    return gap(evt_id, conn_handle);
}

bool drain_message_queue(uint32_t real_ms_limit) {
    struct done_flag {
        std::mutex lock;
        std::condition_variable changed;
        bool done = false;
    };
    auto flag = std::make_shared<done_flag>();
    the_message_queue.post([flag] {
        std::lock_guard<std::mutex> guard(flag->lock);
        flag->done = true;
        flag->changed.notify_all();
    });
    std::unique_lock<std::mutex> guard(flag->lock);
    return flag->changed.wait_for(guard, std::chrono::milliseconds(real_ms_limit),
                                  [&] { return flag->done; });
}

bool wait_until(const std::function<bool()>& condition, uint32_t real_ms_limit) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(real_ms_limit);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void route_stdout_to_stderr() {
    std::fflush(stdout);
#if defined(_WIN32)
    // No /dev/stderr: point the runtime's standard output descriptor at standard error's.
    if (_dup2(_fileno(stderr), _fileno(stdout)) == 0) std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
    if (std::freopen("/dev/stderr", "w", stdout) != nullptr)
        std::setvbuf(stdout, nullptr, _IONBF, 0);
#endif
}

}  // namespace testing_support
