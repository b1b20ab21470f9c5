// The air: advertisers' advertising events, the scanner that hears them, and the
// dongle's own advertising set.
#include <algorithm>

#include "sim/world/world.h"

namespace sim {
namespace {

constexpr int sensitivity_dbm = -100;  // weaker packets are not received

}  // namespace

ble_gap_addr_t world::address_of(const device_config& config) {
    ble_gap_addr_t a{};
    a.addr_id_peer = 0;
    a.addr_type = config.address_type;
    for (int i = 0; i < BLE_GAP_ADDR_LEN; ++i) a.addr[i] = config.address[i];
    return a;
}

void world::start_devices() {
    for (size_t i = 0; i < devices_.size(); ++i) {
        device_state& d = devices_[i];
        // Devices are already advertising when the dongle is opened: each starts at its
        // own phase within its interval.
        const sim_us first = d.config->adv_start + d.air.uniform(0, d.config->adv_interval - 1);
        const int index = static_cast<int>(i);
        schedule_.at(first, [this, index, first] { advertising_event(index, first); });
    }
}

bool world::heard(const device_state& d, sim_us t) const {
    for (const auto& [start, end] : d.out_of_range) {
        if (t >= start && t < end) return false;
    }
    return true;
}

int world::rssi_sample(const device_config& config, random_stream& stream, sim_us t) const {
    const int value = config.rssi.at(t) + stream.noise(config.rssi.noise_db);
    return std::clamp(value, -127, 20);
}

bool world::in_scan_window(const ble_gap_scan_params_t& params, sim_us t) const {
    // Windows lie on a grid from time 0, so whether an advertisement is heard does not
    // depend on the moment the program started scanning.
    const sim_us interval = units_625(params.interval);
    return t % interval < units_625(params.window);
}

void world::advertising_event(int index, sim_us t) {
    device_state& d = devices_[static_cast<size_t>(index)];
    const device_config& c = *d.config;
    if (t >= c.adv_stop) return;

    // Every draw happens on every event, heard or not: one device's randomness never
    // depends on who listens or what the program does.
    const int rssi = rssi_sample(c, d.air, t);
    const sim_us next = t + c.adv_interval + d.air.uniform(0, c.adv_delay_max);
    ble_gap_addr_t address = address_of(c);
    if (c.fresh_address_each_event) {
        const uint64_t bits = d.air.next();
        for (int i = 0; i < BLE_GAP_ADDR_LEN; ++i)
            address.addr[i] = static_cast<uint8_t>(bits >> (8 * i));
        address.addr[5] |= 0xC0;
        address.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
        ++d.storm_serial;
    }
    schedule_.at(next, [this, index, next] { advertising_event(index, next); });

    if (!rules_.is_enabled() || gone_) return;
    if (d.link >= 0 && !c.advertise_while_connected) return;
    if (!heard(d, t) || rssi < sensitivity_dbm) return;
    if (rules_.initiating() && initiator_.device == index) {
        if (c.connectable && in_scan_window(initiator_.scan, t)) {
            if (air_) capture_advertisement(c, address, rssi, t, initiator_.scan);
            try_establish(index, t);
        }
        return;
    }
    if (rules_.scanner_listening() && in_scan_window(scan_params_, t)) {
        if (air_) capture_advertisement(c, address, rssi, t, scan_params_);
        report(d, address, rssi, t);
    }
}

void world::report(const device_state& d, const ble_gap_addr_t& address, int rssi, sim_us t) {
    const device_config& c = *d.config;
    const uint8_t channel = scan_channel(scan_params_, t);
    // Legacy PDU types: connectable undirected advertising is also scannable.
    const uint16_t type_bits = c.connectable ? 0x3 : 0x0;
    const uint16_t length =
        static_cast<uint16_t>(std::min<size_t>(c.adv_data.size(), scan_buffer_.len));
    wire::event_buffer event =
        wire::build_adv_report(address, type_bits, static_cast<int8_t>(rssi), channel,
                               ble_data_t{scan_buffer_.p_data, length});
    if (!rules_.is_enabled() || gone_) return;
    outgoing o;
    o.what = outgoing::kind::event;
    o.time = t;
    o.event = std::make_shared<wire::event_buffer>(std::move(event));
    o.report_data.assign(c.adv_data.begin(), c.adv_data.begin() + length);
    o.report_buffer = scan_buffer_.p_data;
    o.report_buffer_len = scan_buffer_.len;
    outbox_.push_back(std::move(o));
    // The buffer now belongs to the program until it resumes the scanner.
    rules_.report_delivered();
}

uint32_t world::scan_start(sim_us now, const ble_gap_scan_params_t* params,
                           const ble_data_t* buffer) {
    const uint32_t result = rules_.check_scan_start(params, buffer);
    if (result != NRF_SUCCESS) return result;
    scan_buffer_ = *buffer;
    if (params == nullptr) {
        // A resume hands the report buffer back to a scanner paused by a report.
        rules_.scan_resumed();
        return NRF_SUCCESS;
    }
    scan_params_ = *params;
    rules_.scan_started();
    const uint32_t serial = ++scan_serial_;
    if (params->timeout != BLE_GAP_SCAN_TIMEOUT_UNLIMITED) {
        const sim_us end = now + units_10ms(params->timeout);
        schedule_.at(end, [this, serial, end] { scan_timed_out(serial, end); });
    }
    return NRF_SUCCESS;
}

uint32_t world::scan_stop() {
    const uint32_t result = rules_.check_scan_stop();
    if (result != NRF_SUCCESS) return result;
    rules_.scan_stopped();
    ++scan_serial_;
    return NRF_SUCCESS;
}

void world::scan_timed_out(uint32_t serial, sim_us t) {
    if (serial != scan_serial_ || !rules_.scanner_on()) return;
    rules_.scan_stopped();
    // The time-out hands the report buffer back to the program.
    emit_event(t, wire::build_gap_timeout(BLE_CONN_HANDLE_INVALID, BLE_GAP_TIMEOUT_SRC_SCAN,
                                          scan_buffer_));
}

uint32_t world::adv_set_configure(sim_us, uint8_t* handle, const ble_gap_adv_data_t* data,
                                  const ble_gap_adv_params_t* params) {
    const uint32_t result = rules_.check_adv_set_configure(handle, data, params);
    if (result != NRF_SUCCESS) return result;
    // Nobody on the air listens to the dongle's own advertisements: only a capture keeps
    // the data.
    if (air_) keep_beacon_data(data);
    rules_.adv_set_configured(params);
    *handle = driver::stack::adv_set_handle;
    return NRF_SUCCESS;
}

uint32_t world::adv_start(sim_us now, uint8_t handle, uint8_t conn_cfg_tag) {
    const uint32_t result = rules_.check_adv_start(handle, conn_cfg_tag);
    if (result != NRF_SUCCESS) return result;
    rules_.adv_started();
    adv_.started = now;
    const uint32_t serial = ++adv_.serial;
    const ble_gap_adv_params_t& params = rules_.adv_params();
    const sim_us interval = units_625(params.interval);
    if (air_) beacon_event(serial, now);
    if (params.duration != 0) {
        const sim_us end = now + units_10ms(params.duration);
        schedule_.at(end, [this, serial, end] { adv_set_ended(serial, 0x01, end); });
    }
    if (params.max_adv_evts != 0) {
        const sim_us end = now + interval * params.max_adv_evts;
        schedule_.at(end, [this, serial, end] { adv_set_ended(serial, 0x02, end); });
    }
    return NRF_SUCCESS;
}

uint32_t world::adv_stop(uint8_t handle) {
    const uint32_t result = rules_.check_adv_stop(handle);
    if (result != NRF_SUCCESS) return result;
    rules_.adv_stopped();
    ++adv_.serial;
    return NRF_SUCCESS;
}

void world::adv_set_ended(uint32_t serial, uint8_t reason, sim_us t) {
    if (serial != adv_.serial || !rules_.advertising()) return;
    rules_.adv_stopped();
    const sim_us interval = units_625(rules_.adv_params().interval);
    const sim_us events = interval > 0 ? (t - adv_.started) / interval : 0;
    emit_event(t, wire::build_adv_set_terminated(
                      reason, 0, static_cast<uint8_t>(std::min<sim_us>(events, 255))));
}

}  // namespace sim
