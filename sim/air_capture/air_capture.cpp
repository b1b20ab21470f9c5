#include "sim/air_capture/air_capture.h"

#include <algorithm>

#include "hci/l2cap.h"
#include "sim/air_capture/att_pdu.h"
#include "sim/air_capture/rf_channel.h"
#include "sim/world/random.h"

namespace sim::air {

const device_address dongle_address = {0x4D, 0x51, 0x00, 0xEE, 0xFF, 0xC0};

namespace {

// How long a packet waits in simulated time for reports that belong before it: a PDU the
// world plans for a later connection event arrives early by at most a few intervals.
constexpr sim_us reorder_window = ms(10000);
// The inter frame space between two packets of one exchange.
constexpr sim_us ifs_us = 150;
// The most an LL data PDU carries without a data length update.
constexpr size_t max_data_payload = 27;
constexpr uint8_t sleep_clock_accuracy = 5;  // 31 to 50 ppm
// A connection's first event may begin anywhere in a 1.25 ms transmit window.
constexpr uint8_t transmit_window_units = 1;

int8_t signal_of(int rssi) {
    return static_cast<int8_t>(std::clamp(rssi, -127, 20));
}

}  // namespace

std::unique_ptr<air_capture> air_capture::open(const std::string& path, bool empty_pdus,
                                               uint64_t seed, int64_t epoch_us,
                                               std::string& error) {
    std::unique_ptr<air_capture> capture(new air_capture(empty_pdus, seed, epoch_us));
    if (!capture->file_.open(path, le_ll_with_phdr_link_type, error)) return nullptr;
    return capture;
}

air_capture::air_capture(bool empty_pdus, uint64_t seed, int64_t epoch_us)
    : empty_pdus_(empty_pdus), seed_(seed), epoch_us_(epoch_us) {}

air_capture::~air_capture() {
    close();
}

void air_capture::close() {
    if (!file_.is_open()) return;
    flush_before(never);
    for (auto& found : links_) close_event(found.second);
    links_.clear();
    file_.close();
}

void air_capture::push(entry e) {
    e.order = next_order_++;
    newest_ = std::max(newest_, e.key);
    queue_.push(std::move(e));
    flush_before(newest_ - reorder_window);
}

void air_capture::flush_before(sim_us limit) {
    while (!queue_.empty() && queue_.top().key < limit) {
        const entry e = queue_.top();
        queue_.pop();
        emit(e);
    }
}

void air_capture::write_packet(sim_us t, const le_packet& p) {
    file_.write(epoch_us_ + t, le_packet_bytes(p));
}

// ---- Advertising channels.

void air_capture::advertisement(sim_us t, uint8_t channel, bool connectable,
                                const device_address& from, bool from_random,
                                const std::vector<uint8_t>& data, int rssi) {
    entry e;
    e.key = t;
    e.packet.rf_channel = rf_channel(channel);
    e.packet.signal = signal_of(rssi);
    e.packet.access_address = advertising_access_address;
    e.packet.crc_init = advertising_crc_init;
    e.packet.pdu =
        advertising_pdu(connectable ? adv_pdu_type::adv_ind : adv_pdu_type::adv_nonconn_ind,
                        from_random, false, advertisement_payload(from, data));
    last_advertisement_ = t;
    last_advertisement_end_ = t + le_air_time_us(e.packet.pdu.size());
    push(std::move(e));
}

void air_capture::own_advertisement(sim_us t, uint8_t channel, const ble_gap_adv_params_t& params,
                                    const std::vector<uint8_t>& data) {
    uint8_t type = 0;
    std::vector<uint8_t> payload = advertisement_payload(dongle_address, data);
    bool target_random = false;
    switch (params.properties.type) {
        case BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED:
            type = adv_pdu_type::adv_ind;
            break;
        case BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED:
            type = adv_pdu_type::adv_scan_ind;
            break;
        case BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED:
            type = adv_pdu_type::adv_nonconn_ind;
            break;
        case BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE:
        case BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED:
            // A directed advertisement carries the target's address instead of data.
            type = adv_pdu_type::adv_direct_ind;
            payload.assign(dongle_address.begin(), dongle_address.end());
            if (params.p_peer_addr != nullptr) {
                payload.insert(payload.end(), params.p_peer_addr->addr,
                               params.p_peer_addr->addr + BLE_GAP_ADDR_LEN);
                target_random = params.p_peer_addr->addr_type != BLE_GAP_ADDR_TYPE_PUBLIC;
            } else {
                payload.insert(payload.end(), BLE_GAP_ADDR_LEN, 0);
            }
            break;
        default:
            return;  // extended advertising: not on the legacy channels' PDUs
    }
    entry e;
    e.key = t;
    e.packet.rf_channel = rf_channel(channel);
    e.packet.access_address = advertising_access_address;
    e.packet.crc_init = advertising_crc_init;
    e.packet.pdu = advertising_pdu(type, true, target_random, payload);
    push(std::move(e));
}

void air_capture::connection(sim_us t, uint8_t channel, const new_link& l) {
    random_stream chance = random_stream::for_purpose(seed_, "air link " + std::to_string(l.link));
    link_state& s = links_[l.link];
    s.access_address = static_cast<uint32_t>(chance.next());
    s.crc_init = static_cast<uint32_t>(chance.next()) & 0xFFFFFFU;
    s.hop = l.hop;
    const sim_us interval = units_1250(l.params.min_conn_interval);
    s.timings.push_back({0, l.first_event, interval});

    // The CONNECT_IND follows the advertisement it answers by the inter frame space.
    const sim_us sent = t == last_advertisement_ ? last_advertisement_end_ + ifs_us : t;
    connect_request r;
    r.initiator = dongle_address;
    r.advertiser = l.peer;
    r.access_address = s.access_address;
    r.crc_init = s.crc_init;
    r.win_size = transmit_window_units;
    // The transmit window opens 1.25 ms plus the offset after the CONNECT_IND.
    const sim_us offset = std::max<sim_us>(0, l.first_event - t - 1250);
    r.win_offset = static_cast<uint16_t>(offset / 1250);
    r.interval = l.params.min_conn_interval;
    r.latency = l.params.slave_latency;
    r.timeout = l.params.conn_sup_timeout;
    r.hop = l.hop;
    r.sca = sleep_clock_accuracy;

    entry e;
    e.key = sent;
    e.packet.rf_channel = rf_channel(channel);
    e.packet.access_address = advertising_access_address;
    e.packet.crc_init = advertising_crc_init;
    e.packet.pdu =
        advertising_pdu(adv_pdu_type::connect_ind, true, l.peer_random, connect_ind_payload(r));
    push(std::move(e));
}

// ---- Data channels.

void air_capture::push_data(const link_event& le, bool from_central, uint8_t llid,
                            const std::vector<uint8_t>& payload) {
    entry e;
    e.key = le.time;
    e.what = entry_kind::data;
    e.link = le.link;
    e.counter = le.counter;
    e.event_time = le.time;
    e.from_central = from_central;
    e.llid = llid;
    e.payload = payload;
    e.rssi = signal_of(le.rssi);
    ++queued_in_event_[{le.link, le.counter}];
    push(std::move(e));
}

void air_capture::push_att(const link_event& e, bool from_central,
                           const std::vector<uint8_t>& att_pdu) {
    const std::vector<uint8_t> frame = l2cap_att_frame(att_pdu);
    // Longer frames go in fragments, the first one starting the frame.
    for (size_t at = 0; at < frame.size(); at += max_data_payload) {
        const size_t end = std::min(frame.size(), at + max_data_payload);
        push_data(e, from_central, at == 0 ? llid::start : llid::continuation,
                  std::vector<uint8_t>(frame.begin() + static_cast<std::ptrdiff_t>(at),
                                       frame.begin() + static_cast<std::ptrdiff_t>(end)));
    }
}

void air_capture::request(const link_event& e, const gatt_request& request) {
    push_att(e, true, att_request(request));
}

void air_capture::answer(const link_event& e, const gatt_request& request,
                         const gatt_reply::response& answer,
                         const std::vector<gatt_service_def>& database) {
    if (const auto pdu = att_answer(request, answer, database)) push_att(e, false, *pdu);
}

void air_capture::notification(const link_event& e, const sim::notification& n) {
    push_att(e, false, att_notification(n));
}

void air_capture::parameter_request(const link_event& e, const ble_gap_conn_params_t& wanted) {
    const auto found = links_.find(e.link);
    if (found == links_.end()) return;
    link_state& s = found->second;
    // Identifiers run 1..255: 0 is reserved.
    s.signalling_identifier = static_cast<uint8_t>(s.signalling_identifier % 255 + 1);
    s.request_waiting = true;
    hci::connection_parameter_update_request r;
    r.identifier = s.signalling_identifier;
    r.interval_min = wanted.min_conn_interval;
    r.interval_max = wanted.max_conn_interval;
    r.latency = wanted.slave_latency;
    r.timeout = wanted.conn_sup_timeout;
    push_data(e, false, llid::start, hci::connection_parameter_update_request_pdu(r));
}

void air_capture::parameter_response(const link_event& e, bool accepted) {
    const auto found = links_.find(e.link);
    if (found == links_.end() || !found->second.request_waiting) return;
    found->second.request_waiting = false;
    push_data(e, true, llid::start,
              hci::connection_parameter_update_response_pdu(found->second.signalling_identifier,
                                                            accepted ? 0 : 1));
}

void air_capture::connection_update(const link_event& e, const ble_gap_conn_params_t& params,
                                    int64_t instant) {
    sim::air::connection_update u;
    u.win_size = transmit_window_units;
    u.interval = params.min_conn_interval;
    u.latency = params.slave_latency;
    u.timeout = params.conn_sup_timeout;
    u.instant = static_cast<uint16_t>(instant);
    push_data(e, true, llid::control, ll_connection_update_ind(u));
}

void air_capture::terminate(const link_event& e, bool by_central, uint8_t reason) {
    push_data(e, by_central, llid::control, ll_terminate_ind(reason));
}

void air_capture::timing(uint32_t link, int64_t base, sim_us anchor, sim_us interval) {
    const auto found = links_.find(link);
    if (found != links_.end()) found->second.timings.push_back({base, anchor, interval});
}

void air_capture::link_end(const link_event& le) {
    entry e;
    // After every PDU of its last event.
    e.key = le.time + 1;
    e.what = entry_kind::end;
    e.link = le.link;
    e.counter = le.counter;
    e.event_time = le.time;
    push(std::move(e));
}

sim_us air_capture::event_time(const link_state& s, int64_t counter) const {
    // Segments come in the order of their bases: the last one that has begun applies.
    const auto found =
        std::find_if(s.timings.rbegin(), s.timings.rend(),
                     [counter](const timing_segment& t) { return t.base <= counter; });
    const timing_segment& use = found != s.timings.rend() ? *found : s.timings.front();
    return use.anchor + (counter - use.base) * use.interval;
}

void air_capture::run_links_until(sim_us time) {
    for (auto& found : links_) {
        link_state& s = found.second;
        for (;;) {
            const int64_t next = s.event + 1;
            const sim_us at = event_time(s, next);
            if (at >= time) break;
            enter_event(s, next, at);
        }
    }
}

void air_capture::emit(const entry& e) {
    if (empty_pdus_) run_links_until(e.key);
    if (e.what == entry_kind::ready) {
        write_packet(e.key, e.packet);
        return;
    }
    const auto found = links_.find(e.link);
    if (found == links_.end()) return;
    link_state& s = found->second;
    if (e.what == entry_kind::end) {
        if (empty_pdus_ && e.counter > s.event) enter_event(s, e.counter, e.event_time);
        close_event(s);
        links_.erase(found);
        return;
    }
    const auto key = std::make_pair(e.link, e.counter);
    const int left = --queued_in_event_[key];
    if (left <= 0) queued_in_event_.erase(key);
    if (!e.from_central) s.rssi = e.rssi;
    enter_event(s, e.counter, e.event_time);
    send(s, e.from_central, e.llid, e.payload, left > 0, true);
}

void air_capture::enter_event(link_state& s, int64_t counter, sim_us time) {
    if (counter <= s.event) return;  // late: it joins the event being written
    close_event(s);
    for (int64_t k = s.event + 1; k < counter; ++k) {
        // Events where nothing was to be said: an empty PDU each way.
        if (empty_pdus_) {
            s.event = k;
            s.event_start = event_time(s, k);
            s.cursor = 0;
            s.pairs = 0;
            send(s, true, llid::continuation, {}, false, true);
            send(s, false, llid::continuation, {}, false, true);
        }
        ++s.exchanges;
    }
    s.event = counter;
    s.event_start = time;
    s.cursor = 0;
    s.pairs = 0;
    s.central_waiting = false;
}

void air_capture::close_event(link_state& s) {
    if (s.event < 0) return;
    if (s.central_waiting) send(s, false, llid::continuation, {}, false, empty_pdus_);
    if (s.pairs == 0 && empty_pdus_) {
        send(s, true, llid::continuation, {}, false, true);
        send(s, false, llid::continuation, {}, false, true);
    }
    s.exchanges += std::max(s.pairs, 1);
    s.pairs = 0;
    s.central_waiting = false;
}

void air_capture::send(link_state& s, bool from_central, uint8_t llid,
                       const std::vector<uint8_t>& payload, bool more_data, bool written) {
    if (from_central && s.central_waiting) {
        // The peripheral's turn came first: it answered with nothing to say.
        send(s, false, llid::continuation, {}, false, empty_pdus_);
    }
    if (!from_central && !s.central_waiting) {
        send(s, true, llid::continuation, {}, false, empty_pdus_);
    }
    // Every PDU each side sent before was acknowledged: both bits follow the exchange count.
    const int64_t n = s.exchanges + s.pairs;
    data_header h;
    h.llid = llid;
    h.sn = (n & 1) != 0;
    h.nesn = from_central ? (n & 1) != 0 : ((n + 1) & 1) != 0;
    h.md = more_data;
    le_packet p;
    p.rf_channel = rf_channel(hopped_channel(s.event, s.hop));
    if (!from_central) p.signal = s.rssi;
    p.access_address = s.access_address;
    p.crc_init = s.crc_init;
    p.direction =
        from_central ? pdu_direction::central_to_peripheral : pdu_direction::peripheral_to_central;
    p.pdu = data_pdu(h, payload);
    if (written) write_packet(s.event_start + s.cursor, p);
    s.cursor += le_air_time_us(p.pdu.size()) + ifs_us;
    if (from_central) {
        s.central_waiting = true;
    } else {
        s.central_waiting = false;
        ++s.pairs;
    }
}

}  // namespace sim::air
