// A simulated world as data: the phones and other advertisers on the air, the faults to
// play, and the run's seed and clock. The loader builds it from a scenario file (see
// docs/scenario-format.md); the default world is one such file built in.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/phone/phone_gatt.h"
#include "sim/world/sim_time.h"

namespace sim {

// RSSI over time: points joined by straight lines, held flat after the last one (or
// played again from the start every `repeat`), plus seeded noise on every sample.
struct rssi_track {
    std::vector<std::pair<sim_us, int>> points{{0, -60}};
    sim_us repeat = 0;  // 0: no repeat
    int noise_db = 2;

    // The track's value at `t`, before noise.
    int at(sim_us t) const;
};

struct conn_param_request_config {
    sim_us after_connect = ms(1500);
    uint16_t min_interval = 24;  // 1.25 ms units
    uint16_t max_interval = 40;
    uint16_t slave_latency = 0;
    uint16_t sup_timeout = 400;  // 10 ms units
};

// Anything that advertises: a monitored phone, a bystander, or a storm of devices.
struct device_config {
    std::string name;
    bool is_phone = false;
    std::string uuid;                  // phones: 32 hex digits, as written
    std::array<uint8_t, 6> address{};  // least significant byte first, as on air
    uint8_t address_type = 1;          // BLE_GAP_ADDR_TYPE_RANDOM_STATIC
    bool connectable = true;
    sim_us adv_interval = ms(100);
    sim_us adv_delay_max = ms(10);  // the random delay added to every advertising event
    sim_us adv_start = 0;
    sim_us adv_stop = never;
    bool advertise_while_connected = true;
    bool fresh_address_each_event = false;  // a storm: every event from a new device
    std::vector<uint8_t> adv_data;
    rssi_track rssi;
    uint32_t latency_min = 1;  // connection events until a GATT answer
    uint32_t latency_max = 1;
    std::optional<conn_param_request_config> conn_param_request;
    // The phone's GATT server and the ways it misbehaves, its scripted faults included;
    // an empty database for bystanders.
    phone_gatt gatt;
};

// Faults on the world, its links and the driver. What a phone does with the requests it
// receives is the phone's own (phone_fault, in device_config::gatt).
enum class fault_type {
    call_result,
    dongle_gone,
    event,
    connect_never,
    connect_timeout,
    connect_fail,
    connect_late,
    disconnect,
    out_of_range,
};

struct fault_config {
    fault_type type = fault_type::event;
    std::string where;  // "faults[3]", for messages
    int device = -1;    // index into scenario::devices, for faults on one phone

    // When: absolute times, or counts.
    std::optional<sim_us> from;           // at_ms / from_ms
    std::optional<sim_us> until;          // until_ms
    std::optional<sim_us> after_connect;  // after_connect_ms
    std::optional<sim_us> duration;       // duration_ms (out_of_range after connect)
    std::optional<uint32_t> connection;   // only the n-th connection of the phone
    std::optional<uint32_t> nth;          // call_result: the n-th call
    uint32_t count = 1;                   // call_result with nth; event repetitions
    std::optional<uint32_t> attempts;     // connect_*: the first n attempts only

    // What.
    std::string call;           // call_result: driver call name
    uint32_t result = 0;        // call_result, dongle_gone
    uint8_t reason = 0x13;      // disconnect
    uint16_t event_id = 0;      // event
    sim_us every = 0;           // event
    sim_us timeout = ms(5000);  // connect_timeout
    sim_us late_by = ms(5);     // connect_late: from the cancel to the connection
    int status_code = 5;        // dongle_gone: IO_RESOURCES_UNAVAILABLE
    std::string message;        // dongle_gone
};

struct scenario {
    std::string name;
    std::string source;  // the file, or "default world"
    uint64_t seed = 1;
    std::optional<double> time_scale;
    std::string trace_path;
    std::string pcap_path;  // the capture of the air; ORVETTE_SIM_PCAP wins over it
    bool pcap_empty_pdus = false;
    std::vector<device_config> devices;
    std::vector<fault_config> faults;
};

}  // namespace sim
