// The capture of the simulated air: every advertising PDU the scanner hears or the dongle
// sends, each connection's CONNECT_IND, and per connection event the data channel PDUs
// that carry something (ATT in L2CAP, LL control), written as a pcap file of link type 256
// that Wireshark and tshark decode. The world reports what happens; this class keeps the
// link layer's own state (access addresses, sequence numbers, channels) and the file.
//
// Reports may come a little out of time order (a PDU the world plans for a later event is
// reported when planned), so packets wait in a time-ordered queue for a few seconds of
// simulated time before they are written. Called with the world's lock held.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "driver/ble_gap.h"
#include "sim/air_capture/le_packet.h"
#include "sim/air_capture/ll_pdu.h"
#include "sim/air_capture/pcap_file.h"
#include "sim/phone/gatt_model.h"
#include "sim/phone/phone_exchange.h"
#include "sim/world/sim_time.h"

namespace sim::air {

// The simulated dongle's own address on the air (random static C0:FF:EE:00:51:4D).
extern const device_address dongle_address;

// One connection event of one link, as the world schedules it.
struct link_event {
    uint32_t link = 0;    // the world's link serial
    int64_t counter = 0;  // the connection event counter
    sim_us time = 0;      // the event's anchor
    int rssi = 0;         // the phone as the dongle hears it
};

struct new_link {
    uint32_t link = 0;
    device_address peer{};
    bool peer_random = true;
    ble_gap_conn_params_t params{};  // min_conn_interval is the interval in use
    uint8_t hop = 5;
    sim_us first_event = 0;
};

class air_capture {
  public:
    // A capture into `path`, its times counted from `epoch_us` (microseconds since 1970 at
    // simulated time 0). Null, with `error` set, when the file cannot be written.
    static std::unique_ptr<air_capture> open(const std::string& path, bool empty_pdus,
                                             uint64_t seed, int64_t epoch_us, std::string& error);
    ~air_capture();
    air_capture(const air_capture&) = delete;
    air_capture& operator=(const air_capture&) = delete;

    // ---- Advertising channels; `channel` is the link layer's 37..39.
    void advertisement(sim_us t, uint8_t channel, bool connectable, const device_address& from,
                       bool from_random, const std::vector<uint8_t>& data, int rssi);
    // The dongle's own advertising set; nothing for an extended advertising type.
    void own_advertisement(sim_us t, uint8_t channel, const ble_gap_adv_params_t& params,
                           const std::vector<uint8_t>& data);
    // The dongle's CONNECT_IND, sent on `channel` in reply to what it heard at `t`.
    void connection(sim_us t, uint8_t channel, const new_link& link);

    // ---- Data channels.
    void request(const link_event& e, const gatt_request& request);
    void answer(const link_event& e, const gatt_request& request,
                const gatt_reply::response& answer, const std::vector<gatt_service_def>& database);
    void notification(const link_event& e, const sim::notification& n);
    // The phone's L2CAP Connection Parameter Update Request, and the central's answer to
    // it (nothing when no request waits: an update the central started itself).
    void parameter_request(const link_event& e, const ble_gap_conn_params_t& wanted);
    void parameter_response(const link_event& e, bool accepted);
    void connection_update(const link_event& e, const ble_gap_conn_params_t& params,
                           int64_t instant);
    void terminate(const link_event& e, bool by_central, uint8_t reason);
    // New timing from connection event `base` on (after a parameter update).
    void timing(uint32_t link, int64_t base, sim_us anchor, sim_us interval);
    // The link is gone after connection event `e.counter`.
    void link_end(const link_event& e);

    // Writes everything still queued and closes the file.
    void close();

  private:
    struct timing_segment {
        int64_t base;
        sim_us anchor;
        sim_us interval;
    };
    struct link_state {
        uint32_t access_address = 0;
        uint32_t crc_init = 0;
        uint8_t hop = 5;
        std::vector<timing_segment> timings;
        int8_t rssi = 0;
        uint8_t signalling_identifier = 0;  // the last request's
        bool request_waiting = false;
        // The event being written, and the sequence numbers' exchange count at its start.
        int64_t event = -1;
        sim_us event_start = 0;
        int64_t exchanges = 0;
        int pairs = 0;                 // exchanges finished in this event
        bool central_waiting = false;  // the central has sent, the peripheral not yet
        sim_us cursor = 0;             // where in the event the next PDU goes
    };
    enum class entry_kind { ready, data, end };
    struct entry {
        sim_us key = 0;
        uint64_t order = 0;
        entry_kind what = entry_kind::ready;
        le_packet packet;  // ready: the whole packet
        // data and end:
        uint32_t link = 0;
        int64_t counter = 0;
        sim_us event_time = 0;
        bool from_central = true;
        uint8_t llid = 0;
        std::vector<uint8_t> payload;
        int8_t rssi = 0;
    };
    struct later {
        bool operator()(const entry& a, const entry& b) const {
            return a.key != b.key ? a.key > b.key : a.order > b.order;
        }
    };

    air_capture(bool empty_pdus, uint64_t seed, int64_t epoch_us);
    void push(entry e);
    void push_data(const link_event& e, bool from_central, uint8_t llid,
                   const std::vector<uint8_t>& payload);
    void push_att(const link_event& e, bool from_central, const std::vector<uint8_t>& att_pdu);
    void flush_before(sim_us limit);
    void emit(const entry& e);
    void write_packet(sim_us t, const le_packet& p);
    // The link layer's side of a data PDU.
    // With empty PDUs: every link's events before `time` written, empty ones included, so
    // that the file stays in time order.
    void run_links_until(sim_us time);
    void enter_event(link_state& s, int64_t counter, sim_us time);
    void close_event(link_state& s);
    // `written` false: a PDU the file leaves out (an empty one nobody asked for), which
    // still counts for the sequence numbers and the time within the event.
    void send(link_state& s, bool from_central, uint8_t llid, const std::vector<uint8_t>& payload,
              bool more_data, bool written);
    sim_us event_time(const link_state& s, int64_t counter) const;

    pcap_file file_;
    const bool empty_pdus_;
    const uint64_t seed_;
    const int64_t epoch_us_;
    std::priority_queue<entry, std::vector<entry>, later> queue_;
    uint64_t next_order_ = 0;
    sim_us newest_ = 0;
    std::map<uint32_t, link_state> links_;
    // Data PDUs still queued per (link, connection event): more data follows in the event.
    std::map<std::pair<uint32_t, int64_t>, int> queued_in_event_;
    // The advertisement last heard, which a CONNECT_IND answers 150 us after its end.
    sim_us last_advertisement_ = -1;
    sim_us last_advertisement_end_ = 0;
};

}  // namespace sim::air
