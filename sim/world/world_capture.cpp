// What the capture of the air needs from the world: the channel the scanner listens on,
// connection events as the link schedules them, and the dongle's own advertising events,
// which nobody else on the simulated air listens to.
#include <algorithm>

#include "sim/world/world.h"

namespace sim {

void world::close_capture() {
    std::lock_guard<std::mutex> guard(lock_);
    if (air_) air_->close();
    air_.reset();
}

uint8_t world::scan_channel(const ble_gap_scan_params_t& params, sim_us t) const {
    // The scanner moves to the next advertising channel every scan interval.
    const sim_us interval = std::max<sim_us>(1, units_625(params.interval));
    return static_cast<uint8_t>(37 + (t / interval) % 3);
}

air::link_event world::air_event(const link& l, int64_t counter) const {
    air::link_event e;
    e.link = l.serial;
    e.counter = counter;
    e.time = event_time(l, counter);
    e.rssi = devices_[static_cast<size_t>(l.device)].config->rssi.at(e.time);
    return e;
}

air::link_event world::air_event_at(const link& l, sim_us t) const {
    return air_event(l, std::max(l.base, last_event_at_or_before(l, t)));
}

void world::capture_advertisement(const device_config& c, const ble_gap_addr_t& address, int rssi,
                                  sim_us t, const ble_gap_scan_params_t& scan) {
    air::device_address from{};
    std::copy(address.addr, address.addr + BLE_GAP_ADDR_LEN, from.begin());
    air_->advertisement(t, scan_channel(scan, t), c.connectable, from,
                        address.addr_type != BLE_GAP_ADDR_TYPE_PUBLIC, c.adv_data, rssi);
}

void world::capture_connection(const link& l, sim_us t) {
    const device_config& c = *devices_[static_cast<size_t>(l.device)].config;
    air::new_link made;
    made.link = l.serial;
    std::copy(c.address.begin(), c.address.end(), made.peer.begin());
    made.peer_random = c.address_type != BLE_GAP_ADDR_TYPE_PUBLIC;
    made.params = l.params;
    made.hop = l.hop;
    made.first_event = l.anchor;
    air_->connection(t, scan_channel(initiator_.scan, t), made);
}

void world::capture_parameter_response(uint16_t conn_handle, sim_us now,
                                       const ble_gap_conn_params_t* params) {
    const link* l = find_link(conn_handle);
    if (l != nullptr)
        air_->parameter_response(air_event(*l, first_event_after(*l, now)), params != nullptr);
}

void world::capture_links_gone(sim_us t) {
    for (const std::optional<link>& l : links_) {
        if (l) air_->link_end(air_event_at(*l, t));
    }
}

void world::keep_beacon_data(const ble_gap_adv_data_t* data) {
    // Without new data the set keeps what it had.
    if (data == nullptr || data->adv_data.p_data == nullptr) return;
    beacon_data_.assign(data->adv_data.p_data, data->adv_data.p_data + data->adv_data.len);
}

void world::beacon_event(uint32_t serial, sim_us t) {
    if (!air_ || serial != adv_.serial || !rules_.advertising() || gone_) return;
    const ble_gap_adv_params_t& params = rules_.adv_params();
    const uint8_t channel = rules_.scanner_on() ? scan_channel(scan_params_, t) : 37;
    air_->own_advertisement(t, channel, params, beacon_data_);
    const sim_us next = t + std::max<sim_us>(units_625(params.interval), ms(20));
    schedule_.at(next, [this, serial, next] { beacon_event(serial, next); });
}

}  // namespace sim
