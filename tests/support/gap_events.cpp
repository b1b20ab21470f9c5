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

#include "driver/wire/ad_structures.h"
#include "driver/wire/uuid_text.h"
#include "queue/message_queue.h"

namespace testing_support {

std::vector<uint8_t> ad_uuid128_list(const std::vector<std::vector<uint8_t>>& uuids) {
    return wire::ad_structure(wire::ad_type::complete_uuid128_list, concat(uuids));
}

std::vector<uint8_t> uuid_air_bytes(const std::string& uuid_text) {
    wire::uuid128_bytes bytes{};
    if (uuid_text.size() != 32 || !wire::parse_uuid128(uuid_text, bytes)) {
        throw std::invalid_argument("UUID text needs 32 hex digits: " + uuid_text);
    }
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
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

wire::event_buffer adv_report_event(const std::vector<uint8_t>& data, int8_t rssi,
                                    const ble_gap_addr_t& peer, uint16_t type_bits) {
    return wire::build_adv_report_with_data(peer, type_bits, rssi, 0, data);
}

wire::event_buffer connected_event(uint16_t conn_handle, uint8_t role) {
    return wire::build_connected(conn_handle, ble_gap_addr_t{}, role, ble_gap_conn_params_t{});
}

wire::event_buffer gap_timeout_event(uint8_t source) {
    return wire::build_gap_timeout(BLE_CONN_HANDLE_INVALID, source, ble_data_t{});
}

wire::event_buffer adv_set_terminated_event(uint8_t adv_handle) {
    return wire::build_adv_set_terminated(0, adv_handle, 0);
}

wire::event_buffer write_response_event(uint16_t conn_handle, uint16_t gatt_status) {
    return wire::build_write_response(conn_handle, gatt_status, 0, 0, 0, 0, {});
}

wire::event_buffer hvx_event(uint16_t conn_handle, uint16_t handle, uint16_t len) {
    return wire::build_hvx(conn_handle, handle, 0, std::vector<uint8_t>(len));
}

wire::event_buffer read_response_event(uint16_t conn_handle, uint16_t handle,
                                       uint16_t gatt_status) {
    return wire::build_read_response(conn_handle, gatt_status, 0, handle, 0, {});
}

wire::event_buffer bare_event(uint16_t evt_id, uint16_t conn_handle) {
    wire::event_buffer made(evt_id, sizeof(ble_evt_t));
    made.gap().conn_handle = conn_handle;
    return made;
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
