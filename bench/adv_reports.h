// The advertising reports the pipeline benchmark feeds to the event handler, built as the
// driver builds them: the data in the program's scan buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/sd_rpc.h"
#include "driver/wire/ad_structures.h"
#include "driver/wire/uuid_text.h"
#include "radio/scanning.h"

namespace adv_pipeline_bench {

// The phone the benchmark monitors; it stays connected, so its reports start no attempt.
inline const char* const monitored_uuid = "a0a489971097bba1b343eddd8f50f6ac";
inline const char* const unmonitored_uuid = "3f2a9c1e5b7d4e60a1c28d9e0f4b7a65";

struct report_kind {
    const char* name;
    std::vector<uint8_t> data;
};

inline std::vector<uint8_t> flags_and_uuid128(const std::string& uuid) {
    wire::uuid128_bytes air{};
    wire::parse_uuid128(uuid, air);
    std::vector<uint8_t> data = wire::ad_structure(wire::ad_type::flags, {0x06});
    wire::append_ad_structure(data, wire::ad_type::complete_uuid128_list,
                              std::vector<uint8_t>(air.begin(), air.end()));
    return data;
}

enum report_index { no_uuid128 = 0, unmonitored = 1, monitored_connected = 2 };

// What a crowded room brings: bystanders without a 128-bit UUID (only a scan resume is
// posted), bystanders with one (on_adv_report records it), and the monitored phone itself,
// which keeps advertising while it is connected.
inline const std::vector<report_kind>& report_kinds() {
    static const std::vector<report_kind> kinds{
        {"no 128-bit UUID",
         {0x02, 0x01, 0x06, 0x05, 0x03, 0x0D, 0x18, 0x0F, 0x18, 0x07, 0x09, 'H', 'R', 'M', ' ', '4',
          '2'}},
        {"unmonitored 128-bit UUID", flags_and_uuid128(unmonitored_uuid)},
        {"monitored phone, connected", flags_and_uuid128(monitored_uuid)},
    };
    return kinds;
}

// The report of `kind` from D2:4F:0A:91:3C:01 at -55 dBm, its data copied into scan_buffer.
inline ble_evt_t make_report(const report_kind& kind) {
    std::memcpy(scan_buffer, kind.data.data(), kind.data.size());
    ble_evt_t event;
    std::memset(&event, 0, sizeof event);
    event.header.evt_id = BLE_GAP_EVT_ADV_REPORT;
    event.header.evt_len = sizeof event;
    event.evt.gap_evt.conn_handle = BLE_CONN_HANDLE_INVALID;
    ble_gap_evt_adv_report_t& report = event.evt.gap_evt.params.adv_report;
    report.type.status = 0;  // complete
    report.type.type = 1;    // legacy
    const uint8_t address[BLE_GAP_ADDR_LEN] = {0x01, 0x3C, 0x91, 0x0A, 0x4F, 0xD2};
    report.peer_addr.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    std::memcpy(report.peer_addr.addr, address, sizeof address);
    report.primary_phy = BLE_GAP_PHY_1MBPS;
    report.rssi = -55;
    report.ch_index = 37;
    report.data.p_data = scan_buffer;
    report.data.len = static_cast<uint16_t>(kind.data.size());
    return event;
}

}  // namespace adv_pipeline_bench
