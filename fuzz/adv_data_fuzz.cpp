// Arbitrary bytes as the data of one advertising report, through the event handler, the
// work items it posts and the work they do (matching, a refused connection attempt, the
// scan resume). The data sits in a buffer of exactly its length, so any read past it is
// caught. Input: a control byte, six address bytes, an RSSI byte, then the data.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/wire/uuid_text.h"
#include "fuzz/harness_world.h"
#include "link/event_dispatcher.h"

namespace {

constexpr size_t header_size = 8;

// The UUID text an advertisement must yield, worked out on its own: the first complete
// 128-bit list, if it holds exactly one UUID and every structure up to it lies inside the
// data. The walk is deliberately not the program's; the text form is the shared one.
bool expected_uuid(const std::vector<uint8_t>& data, std::string& uuid) {
    size_t at = 0;
    while (at < data.size()) {
        const size_t length = data[at];
        if (length == 0) {
            ++at;
            continue;
        }
        // The structure is `length` bytes after its length byte; cut short, it is none.
        if (at + 1 + length > data.size()) return false;
        if (data[at + 1] == 0x07) {
            if (length != 17) return false;
            uuid = wire::uuid128_text(&data[at + 2]);
            return true;
        }
        at += length + 1;
    }
    return false;
}

const adv_report_work* as_report(const std::function<void()>& item) {
    return item.target<adv_report_work>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size > header_size + 0xFFFF) return -1;
    uint8_t header[header_size] = {};
    std::memcpy(header, input, size < header_size ? size : header_size);
    const size_t data_size = size > header_size ? size - header_size : 0;
    // Exactly the advertisement's length: nothing after it is readable.
    std::vector<uint8_t> data(input + (size - data_size), input + size);

    fuzzing::harness_world& world = fuzzing::fresh_world();
    const uint8_t control = header[0];
    test_context.log_level = control & 0x07;
    if (control & 0x08) {
        // A phone being set up on handle 0: reports must wait behind it.
        world.phones[0]->conn_handle = 0;
        test_context.phone_in_setup = world.phones[0];
    }
    if (control & 0x10) world.phones[1]->conn_handle = 1;
    const uint32_t connect_refusal = (control & 0x20) ? NRF_ERROR_CONN_COUNT : NRF_ERROR_BUSY;

    std::vector<uint8_t> event_bytes(sizeof(ble_evt_t));
    auto* event = reinterpret_cast<ble_evt_t*>(event_bytes.data());
    event->header.evt_id = BLE_GAP_EVT_ADV_REPORT;
    event->header.evt_len = static_cast<uint16_t>(sizeof(ble_evt_t));
    ble_gap_evt_adv_report_t& report = event->evt.gap_evt.params.adv_report;
    event->evt.gap_evt.conn_handle = BLE_CONN_HANDLE_INVALID;
    report.peer_addr.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    std::memcpy(report.peer_addr.addr, header + 1, BLE_GAP_ADDR_LEN);
    report.rssi = static_cast<int8_t>(header[7]);
    // An empty report still points at the driver's buffer, here a byte nobody may read.
    uint8_t empty = 0;
    report.data.p_data = data.empty() ? &empty : data.data();
    report.data.len = static_cast<uint16_t>(data.size());

    ble_event_handler(world.adapter, event);

    if (test_context.adv_reports_total.load() != 1) fuzzing::violated("report not counted");
    std::string expected;
    const bool has_uuid = expected_uuid(data, expected);
    const size_t wanted_items = has_uuid ? 2 : 1;
    if (world.posted.size() != wanted_items) fuzzing::violated("wrong number of work items");
    if (world.posted.back().target<scan_resume_work>() == nullptr) {
        fuzzing::violated("the scan resume is not the last work item");
    }
    if (has_uuid) {
        const adv_report_work* work = as_report(world.posted.front());
        if (work == nullptr) fuzzing::violated("a UUID was found but no report work posted");
        if (work->uuid != expected)
            fuzzing::violated("UUID text " + work->uuid + " != " + expected);
        if (std::memcmp(&work->peer_addr, &report.peer_addr, sizeof report.peer_addr) != 0) {
            fuzzing::violated("peer address not copied");
        }
        if (work->rssi != report.rssi) fuzzing::violated("RSSI not copied");
    }

    // The driver's buffer is gone once the handler returns: the work must not need it.
    if (!data.empty()) std::memset(data.data(), 0xA5, data.size());
    data.clear();
    data.shrink_to_fit();
    fuzzing::run_all_posted(world, connect_refusal);

    if (has_uuid && test_context.all_devices.snapshot().size() != 1) {
        fuzzing::violated("the UUID seen was not recorded");
    }
    if (test_context.phone_in_setup.load() != ((control & 0x08) ? world.phones[0] : nullptr)) {
        fuzzing::violated("a refused attempt left the set-up changed");
    }
    return 0;
}
