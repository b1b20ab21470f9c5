// The air: advertisers' advertising events, the scanner that hears them, and the
// dongle's own advertising set.
#include <algorithm>

#include "sim/stack_checks.h"
#include "sim/world.h"

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

    if (!enabled_ || gone_) return;
    if (d.link >= 0 && !c.advertise_while_connected) return;
    if (!heard(d, t) || rssi < sensitivity_dbm) return;
    if (initiator_.active && initiator_.device == index) {
        if (c.connectable && in_scan_window(initiator_.scan, t)) try_establish(index, t);
        return;
    }
    if (scan_ == scan_state::scanning && in_scan_window(scan_params_, t))
        report(d, address, rssi, t);
}

void world::report(const device_state& d, const ble_gap_addr_t& address, int rssi, sim_us t) {
    const device_config& c = *d.config;
    const sim_us interval = units_625(scan_params_.interval);
    const uint8_t channel = static_cast<uint8_t>(37 + (t / interval) % 3);
    // Legacy PDU types: connectable undirected advertising is also scannable.
    const uint16_t type_bits = c.connectable ? 0x3 : 0x0;
    const uint16_t length =
        static_cast<uint16_t>(std::min<size_t>(c.adv_data.size(), scan_buffer_.len));
    wire::event_buffer event =
        wire::build_adv_report(address, type_bits, static_cast<int8_t>(rssi), channel,
                               ble_data_t{scan_buffer_.p_data, length});
    if (!enabled_ || gone_) return;
    outgoing o;
    o.what = outgoing::kind::event;
    o.time = t;
    o.event = std::make_shared<wire::event_buffer>(std::move(event));
    o.report_data.assign(c.adv_data.begin(), c.adv_data.begin() + length);
    o.report_buffer = scan_buffer_.p_data;
    o.report_buffer_len = scan_buffer_.len;
    outbox_.push_back(std::move(o));
    // The buffer now belongs to the program until it resumes the scanner.
    scan_ = scan_state::paused;
}

uint32_t world::scan_start(sim_us now, const ble_gap_scan_params_t* params,
                           const ble_data_t* buffer) {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (buffer == nullptr || buffer->p_data == nullptr) return NRF_ERROR_INVALID_ADDR;
    if (buffer->len < BLE_GAP_SCAN_BUFFER_MIN) return NRF_ERROR_INVALID_LENGTH;
    if (params == nullptr) {
        // A resume hands the report buffer back to a scanner paused by a report.
        if (scan_ != scan_state::paused) return NRF_ERROR_INVALID_STATE;
        scan_buffer_ = *buffer;
        scan_ = scan_state::scanning;
        return NRF_SUCCESS;
    }
    if (scan_ != scan_state::stopped || initiator_.active) return NRF_ERROR_INVALID_STATE;
    const uint32_t check = check_scan_params(*params);
    if (check != NRF_SUCCESS) return check;
    scan_params_ = *params;
    scan_buffer_ = *buffer;
    scan_ = scan_state::scanning;
    const uint32_t serial = ++scan_serial_;
    if (params->timeout != BLE_GAP_SCAN_TIMEOUT_UNLIMITED) {
        const sim_us end = now + units_10ms(params->timeout);
        schedule_.at(end, [this, serial, end] { scan_timed_out(serial, end); });
    }
    return NRF_SUCCESS;
}

uint32_t world::scan_stop() {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (scan_ == scan_state::stopped) return NRF_ERROR_INVALID_STATE;
    scan_ = scan_state::stopped;
    ++scan_serial_;
    return NRF_SUCCESS;
}

void world::scan_timed_out(uint32_t serial, sim_us t) {
    if (serial != scan_serial_ || scan_ == scan_state::stopped) return;
    scan_ = scan_state::stopped;
    // The time-out hands the report buffer back to the program.
    emit_event(t, wire::build_gap_timeout(BLE_CONN_HANDLE_INVALID, BLE_GAP_TIMEOUT_SRC_SCAN,
                                          scan_buffer_));
}

uint32_t world::adv_set_configure(sim_us, uint8_t* handle, const ble_gap_adv_data_t* data,
                                  const ble_gap_adv_params_t* params) {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (handle == nullptr) return NRF_ERROR_INVALID_ADDR;
    const bool new_set = *handle == BLE_GAP_ADV_SET_HANDLE_NOT_SET;
    if (new_set) {
        if (roles_.adv_set_count == 0 || adv_.configured) return NRF_ERROR_NO_MEM;
        if (params == nullptr) return NRF_ERROR_INVALID_PARAM;
    } else if (*handle != 0 || !adv_.configured) {
        return BLE_ERROR_INVALID_ADV_HANDLE;
    }
    // While advertising only the data may change.
    if (adv_.advertising && params != nullptr) return NRF_ERROR_INVALID_STATE;
    const ble_gap_adv_params_t& p = params != nullptr ? *params : adv_.params;
    if (params != nullptr) {
        const uint8_t type = p.properties.type;
        if (type == 0) return NRF_ERROR_INVALID_PARAM;
        if (type > BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED)
            return NRF_ERROR_NOT_SUPPORTED;
        const bool directed = type == 2 || type == 3;
        if (directed && p.p_peer_addr == nullptr) return NRF_ERROR_INVALID_PARAM;
        if (type != 2 &&
            (p.interval < BLE_GAP_ADV_INTERVAL_MIN || p.interval > BLE_GAP_ADV_INTERVAL_MAX)) {
            return NRF_ERROR_INVALID_PARAM;
        }
        if (p.primary_phy != BLE_GAP_PHY_AUTO && p.primary_phy != BLE_GAP_PHY_1MBPS) {
            return NRF_ERROR_INVALID_PARAM;
        }
        if (p.filter_policy > 3) return NRF_ERROR_INVALID_PARAM;
    }
    std::vector<uint8_t> bytes;
    if (data != nullptr) {
        if (data->adv_data.len > BLE_GAP_ADV_SET_DATA_SIZE_MAX ||
            data->scan_rsp_data.len > BLE_GAP_ADV_SET_DATA_SIZE_MAX) {
            return NRF_ERROR_INVALID_LENGTH;
        }
        if ((data->adv_data.len > 0 && data->adv_data.p_data == nullptr) ||
            (data->scan_rsp_data.len > 0 && data->scan_rsp_data.p_data == nullptr)) {
            return NRF_ERROR_INVALID_ADDR;
        }
        const bool scannable =
            p.properties.type == BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED ||
            p.properties.type == BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED;
        if (data->scan_rsp_data.len > 0 && !scannable) return NRF_ERROR_INVALID_DATA;
        bytes.assign(data->adv_data.p_data, data->adv_data.p_data + data->adv_data.len);
        // Every AD structure must end inside the data.
        size_t at = 0;
        while (at < bytes.size()) {
            if (bytes[at] == 0 || at + 1 + bytes[at] > bytes.size()) return NRF_ERROR_INVALID_DATA;
            at += 1 + static_cast<size_t>(bytes[at]);
        }
    }
    if (params != nullptr) adv_.params = *params;
    adv_.params.p_peer_addr = nullptr;  // the program's pointer is not kept
    if (data != nullptr) adv_.data = std::move(bytes);
    adv_.configured = true;
    *handle = 0;
    return NRF_SUCCESS;
}

uint32_t world::adv_start(sim_us now, uint8_t handle, uint8_t conn_cfg_tag) {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (handle != 0 || !adv_.configured) return BLE_ERROR_INVALID_ADV_HANDLE;
    if (adv_.advertising) return NRF_ERROR_INVALID_STATE;
    const uint8_t type = adv_.params.properties.type;
    const bool connectable =
        type == BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED || type == 2 || type == 3;
    if (connectable) {
        if (conn_configs_.count(conn_cfg_tag) == 0) return NRF_ERROR_NOT_FOUND;
        if (roles_.periph_role_count == 0) return NRF_ERROR_CONN_COUNT;
    }
    adv_.advertising = true;
    adv_.started = now;
    const uint32_t serial = ++adv_.serial;
    const sim_us interval = units_625(adv_.params.interval);
    if (adv_.params.duration != 0) {
        const sim_us end = now + units_10ms(adv_.params.duration);
        schedule_.at(end, [this, serial, end] { adv_set_ended(serial, 0x01, end); });
    }
    if (adv_.params.max_adv_evts != 0) {
        const sim_us end = now + interval * adv_.params.max_adv_evts;
        schedule_.at(end, [this, serial, end] { adv_set_ended(serial, 0x02, end); });
    }
    return NRF_SUCCESS;
}

uint32_t world::adv_stop(uint8_t handle) {
    if (!enabled_) return BLE_ERROR_NOT_ENABLED;
    if (handle != 0 || !adv_.configured) return BLE_ERROR_INVALID_ADV_HANDLE;
    if (!adv_.advertising) return NRF_ERROR_INVALID_STATE;
    adv_.advertising = false;
    ++adv_.serial;
    return NRF_SUCCESS;
}

void world::adv_set_ended(uint32_t serial, uint8_t reason, sim_us t) {
    if (serial != adv_.serial || !adv_.advertising) return;
    adv_.advertising = false;
    const sim_us interval = units_625(adv_.params.interval);
    const sim_us events = interval > 0 ? (t - adv_.started) / interval : 0;
    emit_event(t, wire::build_adv_set_terminated(
                      reason, 0, static_cast<uint8_t>(std::min<sim_us>(events, 255))));
}

}  // namespace sim
