// A script of BLE events, chosen by the input, fed to the event handler on one thread as
// the driver's event thread would, with the work thread's part played in between: the
// connection attempt of a matched phone, the posted work items, a waited-for GATT request.
// Every event carries exactly the elements and bytes it says it has; everything else
// (IDs, handles, counts, statuses, UUID types, lengths, order) is the input's.
//
// Checked beside the sanitizers: a disconnection frees every phone that held the link; once
// the work thread has followed a disconnection up, no set-up is left waiting on a phone
// without a link; and at the end no set-up is stuck on a phone that has none.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/wire/ad_structures.h"
#include "driver/wire/event_builder.h"
#include "driver/wire/uuid_text.h"
#include "fuzz/harness_world.h"
#include "gatt/discovery_chain.h"
#include "gatt/service_discovery.h"
#include "link/event_dispatcher.h"

namespace {

using fuzzing::harness_world;
using fuzzing::violated;

constexpr int max_steps = 96;
constexpr uint16_t max_elements = 24;
constexpr uint16_t max_value_length = 64;

const uint16_t known_event_ids[] = {
    BLE_GAP_EVT_CONNECTED,
    BLE_GAP_EVT_DISCONNECTED,
    BLE_GAP_EVT_CONN_PARAM_UPDATE,
    BLE_GAP_EVT_TIMEOUT,
    BLE_GAP_EVT_RSSI_CHANGED,
    BLE_GAP_EVT_ADV_REPORT,
    BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST,
    BLE_GAP_EVT_SCAN_REQ_REPORT,
    BLE_GAP_EVT_PHY_UPDATE_REQUEST,
    BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST,
    BLE_GAP_EVT_ADV_SET_TERMINATED,
    BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP,
    BLE_GATTC_EVT_REL_DISC_RSP,
    BLE_GATTC_EVT_CHAR_DISC_RSP,
    BLE_GATTC_EVT_DESC_DISC_RSP,
    BLE_GATTC_EVT_READ_RSP,
    BLE_GATTC_EVT_WRITE_RSP,
    BLE_GATTC_EVT_HVX,
    BLE_GATTC_EVT_EXCHANGE_MTU_RSP,
    BLE_GATTC_EVT_TIMEOUT,
    BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE,
    BLE_GATTS_EVT_WRITE,
};

const uint16_t interesting_statuses[] = {
    BLE_GATT_STATUS_SUCCESS,
    BLE_GATT_STATUS_SUCCESS,
    BLE_GATT_STATUS_ATTERR_INVALID_HANDLE,
    BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED,
    BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED,
    BLE_GATT_STATUS_ATTERR_INVALID_PDU,
    BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND,
    BLE_GATT_STATUS_UNKNOWN,
};

const uint32_t interesting_results[] = {
    NRF_SUCCESS,
    NRF_ERROR_BUSY,
    NRF_ERROR_INVALID_STATE,
    NRF_ERROR_TIMEOUT,
    NRF_ERROR_CONN_COUNT,
    BLE_ERROR_INVALID_CONN_HANDLE,
    NRF_ERROR_INVALID_PARAM,
};

const char* const failing_calls[] = {
    "gap_scan_start",
    "gap_connect_cancel",
    "gap_conn_param_update",
    "gap_rssi_start",
    "gattc_read",
    "gattc_primary_services_discover",
    "gattc_characteristics_discover",
    "gattc_descriptors_discover",
};

// Events take exactly the memory their contents need, so that a read past them is caught.
constexpr wire::event_size exact_size = wire::event_size::exact;

// With FUZZ_NARRATE set, each step of the script is told on standard output, among the
// program's own lines, to read a crash input back.
const bool narrate = std::getenv("FUZZ_NARRATE") != nullptr;

void tell(const char* format, ...) {
    if (!narrate) return;
    va_list args;
    va_start(args, format);
    std::printf("[script] ");
    std::vprintf(format, args);
    std::printf("\n");
    va_end(args);
    std::fflush(stdout);
}

class script {
  public:
    script(harness_world& world, FuzzedDataProvider& in) : world_(world), in_(in) {}

    void begin() {
        test_context.log_level = in_.ConsumeIntegralInRange<int32_t>(0, 7);
        if (narrate) test_context.log_level = 7;
        // Where the script starts: nothing under way, an attempt waiting for its answer,
        // or a phone already connected and in discovery.
        switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
            case 1:
                begin_attempt(pick_phone());
                break;
            case 2: {
                phone_record* phone = pick_phone();
                begin_attempt(phone);
                deliver_connected(static_cast<uint16_t>(in_.ConsumeIntegralInRange<int>(0, 3)));
                attempt_returns();
                break;
            }
            default:
                break;
        }
    }

    void run() {
        for (int step = 0; step < max_steps && in_.remaining_bytes() > 0; ++step) {
            switch (in_.ConsumeIntegralInRange<int>(0, 15)) {
                case 0:
                    if (!attempt_waiting_) begin_attempt(pick_phone());
                    break;
                case 1:
                    if (attempt_waiting_) attempt_returns();
                    break;
                case 2:
                    run_work(in_.ConsumeIntegralInRange<int>(1, 4));
                    break;
                case 3: {
                    const char* call = in_.PickValueInArray(failing_calls);
                    const uint32_t result = in_.ConsumeBool()
                                                ? in_.PickValueInArray(interesting_results)
                                                : in_.ConsumeIntegral<uint32_t>();
                    tell("%s now answers 0x%X", call, result);
                    world_.backend->set_default_result(call, result);
                    break;
                }
                case 4:
                    claim_or_release_request();
                    break;
                case 5: {
                    const int32_t level = in_.ConsumeIntegralInRange<int32_t>(0, 7);
                    if (!narrate) test_context.log_level = level;
                    break;
                }
                case 6:
                    if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
                        tell("quit");
                        test_context.quit_requested = true;
                    }
                    break;
                case 7:
                    ble_event_handler(world_.adapter, nullptr);
                    break;
                default:
                    deliver_event(in_.ConsumeBool() ? in_.PickValueInArray(known_event_ids)
                                                    : in_.ConsumeIntegral<uint16_t>());
                    break;
            }
        }
    }

    // What the threads would do once the air falls silent: the attempt's wait ends and the
    // work thread catches up.
    void finish() {
        if (attempt_waiting_) attempt_returns();
        run_work(1 << 20);
        // After the quit key events only wake waiters: the shutdown follows nothing up.
        if (test_context.quit_requested.load()) return;
        phone_record* stuck = test_context.phone_in_setup.load();
        if (stuck != nullptr && stuck->conn_handle.load() == BLE_CONN_HANDLE_INVALID) {
            violated("a set-up is left on a phone without a link");
        }
    }

  private:
    phone_record* pick_phone() {
        return world_.phones[in_.ConsumeIntegralInRange<size_t>(0, world_.phones.size() - 1)];
    }

    // The work thread matching `phone` in an advertisement: everything earlier in the queue
    // has run, and the attempt goes out only when the phone is free, nobody is set up and
    // the run is not quitting.
    void begin_attempt(phone_record* phone) {
        run_work(1 << 20);
        if (test_context.phone_in_setup.load() != nullptr) return;
        if (phone->conn_handle.load() != BLE_CONN_HANDLE_INVALID) return;
        if (test_context.quit_requested.load()) return;
        platform::reset_event(test_context.connected_event.load());
        test_context.connect_failed = false;
        test_context.phone_in_setup = phone;
        phone->rssi_event_count = 0;
        attempt_waiting_ = true;
        tell("attempt to connect %s", phone->uuid.c_str());
    }

    // The attempt's wait ends: with the answer the event thread gave, or with the time
    // limit, after which the attempt is cancelled and the set-up ended.
    void attempt_returns() {
        attempt_waiting_ = false;
        phone_record* phone = test_context.phone_in_setup.load();
        const bool answered = platform::wait_for_event(test_context.connected_event.load(), 0) ==
                              platform::wait_object_0;
        tell("attempt returns: %s", !answered                            ? "time limit"
                                    : test_context.connect_failed.load() ? "failed"
                                                                         : "connected");
        if (answered && !test_context.connect_failed.load() && phone != nullptr) {
            service_discovery_start(phone->conn_handle.load());
            return;
        }
        if (!answered) {
            std::lock_guard<std::mutex> guard(test_context.driver_lock);
            sd_ble_gap_connect_cancel(test_context.adapter.load());
        }
        service_discovery_end();
    }

    // The work thread is busy with the attempt while it waits.
    void run_work(int items) {
        if (attempt_waiting_) return;
        const uint32_t refusal = in_.ConsumeBool() ? NRF_ERROR_CONN_COUNT : NRF_ERROR_BUSY;
        for (int i = 0; i < items && !world_.posted.empty(); ++i) {
            const disconnect_work* followup = world_.posted.front().target<disconnect_work>();
            const bool is_followup = followup != nullptr;
            tell("work thread runs %s", is_followup ? "a disconnection follow-up" : "an item");
            fuzzing::run_next_posted(world_, refusal);
            if (!is_followup) continue;
            phone_record* phone = test_context.phone_in_setup.load();
            if (phone != nullptr && phone->conn_handle.load() == BLE_CONN_HANDLE_INVALID) {
                violated("a disconnection follow-up left the set-up on a phone without a link");
            }
        }
    }

    void claim_or_release_request() {
        if (test_context.pending_gattc_event.load() != nullptr) {
            tell("the waiting GATT request ends");
            test_context.pending_gattc_event = nullptr;
            return;
        }
        tell("a GATT request waits");
        test_context.gattc_aborted = false;
        test_context.pending_gattc_event = in_.ConsumeBool() ? test_context.read_rsp_event.load()
                                                             : test_context.write_rsp_event.load();
    }

    uint16_t pick_conn_handle() {
        phone_record* setup = test_context.phone_in_setup.load();
        switch (in_.ConsumeIntegralInRange<int>(0, 4)) {
            case 0:
            case 1:
                if (setup != nullptr) return setup->conn_handle.load();
                return 0;
            case 2:
                return pick_phone()->conn_handle.load();
            case 3:
                return static_cast<uint16_t>(in_.ConsumeIntegralInRange<int>(0, 3));
            default:
                return in_.ConsumeIntegral<uint16_t>();
        }
    }

    uint16_t pick_attribute_handle() {
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                return static_cast<uint16_t>(in_.ConsumeIntegralInRange<int>(0, 48));
            case 1:
                return 0xFFFF;
            case 2:
                return recorded_handle();
            default:
                return in_.ConsumeIntegral<uint16_t>();
        }
    }

    // A handle the phone in set-up has recorded (a service start or a declaration), so
    // that read answers can match.
    uint16_t recorded_handle() {
        phone_record* phone = test_context.phone_in_setup.load();
        if (phone == nullptr) return 1;
        std::vector<uint16_t> handles;
        {
            std::lock_guard<std::mutex> guard(phone->services_lock);
            for (const gatt_service& service : phone->services) {
                handles.push_back(service.start_handle);
                for (const gatt_characteristic& c : service.characteristics) {
                    handles.push_back(c.decl_handle);
                }
            }
        }
        if (handles.empty()) return 1;
        return handles[in_.ConsumeIntegralInRange<size_t>(0, handles.size() - 1)];
    }

    uint16_t value_handle_of(uint16_t decl_handle) {
        phone_record* phone = test_context.phone_in_setup.load();
        if (phone == nullptr) return static_cast<uint16_t>(decl_handle + 1);
        std::lock_guard<std::mutex> guard(phone->services_lock);
        for (const gatt_service& service : phone->services) {
            for (const gatt_characteristic& c : service.characteristics) {
                if (c.decl_handle == decl_handle) return c.value_handle;
            }
        }
        return static_cast<uint16_t>(decl_handle + 1);
    }

    void fill(uint8_t* at, size_t length) {
        const std::vector<uint8_t> bytes = in_.ConsumeBytes<uint8_t>(length);
        if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    }

    void deliver(wire::event_buffer& buffer) {
        ble_evt_t* event = buffer.get();
        tell("event 0x%02X conn_handle %d, %zu bytes", event->header.evt_id,
             event->evt.common_evt.conn_handle, buffer.size());
        ble_event_handler(world_.adapter, event);
    }

    void deliver_connected(uint16_t conn_handle) {
        ble_gap_conn_params_t params{};
        params.min_conn_interval = 6;
        params.max_conn_interval = 6;
        wire::event_buffer buffer =
            wire::build_connected(conn_handle, ble_gap_addr_t{}, BLE_GAP_ROLE_CENTRAL, params);
        deliver(buffer);
    }

    void deliver_event(uint16_t id) {
        switch (id) {
            case BLE_GAP_EVT_ADV_REPORT:
                return deliver_adv_report();
            case BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP:
                return deliver_services();
            case BLE_GATTC_EVT_CHAR_DISC_RSP:
                return deliver_characteristics();
            case BLE_GATTC_EVT_DESC_DISC_RSP:
                return deliver_descriptors();
            case BLE_GATTC_EVT_READ_RSP:
                return deliver_read_response();
            case BLE_GATTC_EVT_WRITE_RSP:
                return deliver_value_event(
                    id, offsetof(ble_evt_t, evt.gattc_evt.params.write_rsp.data));
            case BLE_GATTC_EVT_HVX:
                return deliver_value_event(id, offsetof(ble_evt_t, evt.gattc_evt.params.hvx.data));
            case BLE_GATTS_EVT_WRITE:
                return deliver_value_event(id,
                                           offsetof(ble_evt_t, evt.gatts_evt.params.write.data));
            default:
                break;
        }
        wire::event_buffer buffer(id, sizeof(ble_evt_t));
        fill(buffer.bytes_at(sizeof(ble_evt_hdr_t)), buffer.size() - sizeof(ble_evt_hdr_t));
        ble_evt_t* event = buffer.get();
        event->evt.common_evt.conn_handle = pick_conn_handle();
        if (id == BLE_GAP_EVT_CONNECTED &&
            event->evt.common_evt.conn_handle == BLE_CONN_HANDLE_INVALID) {
            // The stack names every link it reports with a real handle.
            event->evt.common_evt.conn_handle = 0;
        }
        if (id == BLE_GAP_EVT_TIMEOUT && in_.ConsumeBool()) {
            event->evt.gap_evt.params.timeout.src =
                in_.ConsumeBool() ? BLE_GAP_TIMEOUT_SRC_CONN : BLE_GAP_TIMEOUT_SRC_SCAN;
        }
        deliver(buffer);
        if (id == BLE_GAP_EVT_DISCONNECTED) check_freed(event->evt.gap_evt.conn_handle);
    }

    void check_freed(uint16_t conn_handle) {
        if (conn_handle == BLE_CONN_HANDLE_INVALID) return;
        for (phone_record* phone : world_.phones) {
            if (phone->conn_handle.load() == conn_handle) {
                violated("a phone still holds a link that has gone");
            }
        }
    }

    void deliver_adv_report() {
        ble_gap_addr_t peer{};
        fill(peer.addr, BLE_GAP_ADDR_LEN);
        const auto rssi = in_.ConsumeIntegral<int8_t>();
        std::vector<uint8_t> data;
        if (in_.ConsumeBool()) {
            // A monitored phone's own advertisement: flags, then its UUID.
            wire::uuid128_bytes uuid{};
            wire::parse_uuid128(pick_phone()->uuid, uuid);
            wire::append_ad_structure(data, wire::ad_type::flags, {0x06});
            wire::append_ad_structure(data, wire::ad_type::complete_uuid128_list,
                                      std::vector<uint8_t>(uuid.begin(), uuid.end()));
        } else {
            data = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 62));
        }
        std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size() + (data.empty() ? 1 : 0)]);
        if (!data.empty()) std::memcpy(exact.get(), data.data(), data.size());
        wire::event_buffer buffer = wire::build_adv_report(
            peer, 0, rssi, 0, ble_data_t{exact.get(), static_cast<uint16_t>(data.size())});
        deliver(buffer);
    }

    uint16_t pick_status() {
        return in_.ConsumeBool() ? in_.PickValueInArray(interesting_statuses)
                                 : in_.ConsumeIntegral<uint16_t>();
    }

    ble_uuid_t pick_uuid() {
        ble_uuid_t uuid;
        uuid.uuid = in_.ConsumeIntegral<uint16_t>();
        uuid.type = in_.ConsumeBool() ? static_cast<uint8_t>(in_.ConsumeIntegralInRange<int>(0, 2))
                                      : in_.ConsumeIntegral<uint8_t>();
        return uuid;
    }

    void deliver_services() {
        const uint16_t count = in_.ConsumeIntegralInRange<uint16_t>(0, max_elements);
        const uint16_t conn_handle = pick_conn_handle();
        const uint16_t status = pick_status();
        const auto error_handle = in_.ConsumeIntegral<uint16_t>();
        std::vector<ble_gattc_service_t> services(count);
        uint16_t next = 1;
        for (ble_gattc_service_t& service : services) {
            service.uuid = pick_uuid();
            if (in_.ConsumeBool()) {
                // A plausible database: ranges in order, a few handles each.
                service.handle_range.start_handle = next;
                service.handle_range.end_handle =
                    static_cast<uint16_t>(next + in_.ConsumeIntegralInRange<int>(0, 12));
            } else {
                service.handle_range.start_handle = pick_attribute_handle();
                service.handle_range.end_handle = pick_attribute_handle();
            }
            next = static_cast<uint16_t>(service.handle_range.end_handle + 1);
        }
        wire::event_buffer buffer =
            wire::build_services_response(conn_handle, status, error_handle, services, exact_size);
        deliver(buffer);
    }

    void deliver_characteristics() {
        const uint16_t count = in_.ConsumeIntegralInRange<uint16_t>(0, max_elements);
        const uint16_t conn_handle = pick_conn_handle();
        const uint16_t status = pick_status();
        std::vector<ble_gattc_char_t> chars(count);
        uint16_t next = static_cast<uint16_t>(in_.ConsumeIntegralInRange<int>(1, 8));
        for (ble_gattc_char_t& found : chars) {
            found.uuid = pick_uuid();
            if (in_.ConsumeBool()) {
                found.handle_decl = next;
                found.handle_value = static_cast<uint16_t>(next + 1);
                next = static_cast<uint16_t>(next + in_.ConsumeIntegralInRange<int>(1, 4));
            } else {
                found.handle_decl = pick_attribute_handle();
                found.handle_value = pick_attribute_handle();
            }
        }
        wire::event_buffer buffer =
            wire::build_characteristics_response(conn_handle, status, 0, chars, exact_size);
        deliver(buffer);
    }

    void deliver_descriptors() {
        const uint16_t count = in_.ConsumeIntegralInRange<uint16_t>(0, max_elements);
        const uint16_t conn_handle = pick_conn_handle();
        const uint16_t status = pick_status();
        std::vector<ble_gattc_desc_t> descs(count);
        for (ble_gattc_desc_t& desc : descs) {
            desc.handle = pick_attribute_handle();
            desc.uuid = pick_uuid();
            if (in_.ConsumeBool()) desc.uuid.uuid = 0x2902;
        }
        wire::event_buffer buffer =
            wire::build_descriptors_response(conn_handle, status, 0, descs, exact_size);
        deliver(buffer);
    }

    void deliver_read_response() {
        const uint16_t handle = pick_attribute_handle();
        std::vector<uint8_t> value;
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:  // a 128-bit service UUID
                value = in_.ConsumeBytes<uint8_t>(16);
                value.resize(16);
                break;
            case 1: {  // a characteristic declaration with a 128-bit UUID
                value = in_.ConsumeBytes<uint8_t>(19);
                value.resize(19);
                if (in_.ConsumeBool()) {
                    const uint16_t value_handle = value_handle_of(handle);
                    value[1] = static_cast<uint8_t>(value_handle & 0xFF);
                    value[2] = static_cast<uint8_t>(value_handle >> 8);
                }
                break;
            }
            default:
                value = in_.ConsumeBytes<uint8_t>(
                    in_.ConsumeIntegralInRange<size_t>(0, max_value_length));
                break;
        }
        const uint16_t conn_handle = pick_conn_handle();
        const uint16_t status = in_.ConsumeIntegralInRange<int>(0, 3) == 0 ? pick_status() : 0;
        const uint16_t offset = in_.ConsumeBool() ? 0 : in_.ConsumeIntegral<uint16_t>();
        wire::event_buffer buffer =
            wire::build_read_response(conn_handle, status, 0, handle, offset, value, exact_size);
        deliver(buffer);
    }

    // Write responses, notifications and server writes: a handle, a length and that many
    // bytes at `data_at`.
    void deliver_value_event(uint16_t id, size_t data_at) {
        const size_t length = in_.ConsumeIntegralInRange<size_t>(0, max_value_length);
        wire::event_buffer buffer(id, data_at + length, exact_size);
        // Everything before the bytes is the input's, then the length is made true.
        fill(buffer.bytes_at(sizeof(ble_evt_hdr_t)), data_at - sizeof(ble_evt_hdr_t));
        fill(buffer.bytes_at(data_at), length);
        ble_evt_t* event = buffer.get();
        event->evt.common_evt.conn_handle = pick_conn_handle();
        const auto len = static_cast<uint16_t>(length);
        switch (id) {
            case BLE_GATTC_EVT_WRITE_RSP:
                event->evt.gattc_evt.params.write_rsp.len = len;
                if (in_.ConsumeBool()) event->evt.gattc_evt.gatt_status = pick_status();
                break;
            case BLE_GATTC_EVT_HVX:
                event->evt.gattc_evt.params.hvx.len = len;
                break;
            default:
                event->evt.gatts_evt.params.write.len = len;
                break;
        }
        deliver(buffer);
    }

    harness_world& world_;
    FuzzedDataProvider& in_;
    bool attempt_waiting_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    harness_world& world = fuzzing::fresh_world();
    script s(world, in);
    s.begin();
    s.run();
    s.finish();
    return 0;
}
