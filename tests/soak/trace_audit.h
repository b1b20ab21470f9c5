// Reads a soak run's trace and checks it: after every disconnection, forced or faulty, the
// phone is connected and discovered again (its keep-alive read answered) unless a fault
// keeps it away, and no set-up lasts longer than its own time limits allow.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/soak/soak_plan.h"

namespace soak {

// How long a phone may take to come back after a disconnection once nothing keeps it away:
// the longest a set-up of another phone can hold the way (an attempt never answered, 65 s),
// plus its own connection and discovery, with room to spare.
constexpr double reconnect_bound_ms = 100000;
// The longest a set-up may last: a 65 s attempt, then a discovery request that ends in the
// stack's 30 s GATT time-out, with room to spare.
constexpr double setup_bound_ms = 130000;

struct connection_record {
    uint16_t handle = 0;
    int number = 0;             // the phone's n-th connection, as the trace counts them
    double start_ms = 0;        // BLE_GAP_EVT_CONNECTED
    double setup_end_ms = -1;   // the set-up's end step started RSSI reporting on it
    double discovered_ms = -1;  // first keep-alive read answered after the set-up
    double end_ms = -1;         // BLE_GAP_EVT_DISCONNECTED
    int reason = -1;
};

struct phone_audit {
    std::vector<connection_record> connections;
    int forced_disconnects = 0;  // ended by the program (local host, 0x16)
    int faulty_disconnects = 0;  // ended by the phone or the air
    int returns = 0;             // disconnections after which it came back in time
    int lost_again = 0;          // ... after which it was lost again before discovery
    int open_at_end = 0;         // ... whose time was not up when the run ended
    double max_return_ms = 0;    // longest time from a disconnection to the next discovery
    double total_return_ms = 0;
};

struct audit_result {
    double last_t_ms = 0;
    uint64_t lines = 0;
    std::map<std::string, phone_audit> phones;
    int setups = 0;
    double max_setup_ms = 0;
    int stuck_setups = 0;  // lasted past the bound, or still under way past it at the end
    int connections = 0;   // of the monitored phones
    std::map<int, int> disconnections_by_reason;
    int gatt_timeouts = 0;
    int notes = 0;  // fault notes the world wrote
    // Every 128-bit UUID the program was shown (what its list of devices holds), with the
    // simulated time it was first seen.
    std::map<std::string, double> uuids_seen;
    int lag_warnings = 0;  // the world said it was behind its clock
    double worst_lag_ms = 0;
    std::vector<std::string> failures;
};

// Where a run stands, for progress lines while it goes on.
struct audit_progress {
    double t_ms = 0;
    int setups = 0;
    int disconnections = 0;
    int phones_connected = 0;
    int phones = 0;
    bool world_behind = false;
};

// Checks a trace line by line as it grows, so that a run of hours is read once, while it
// runs, and its progress can be told from the same counts the final verdict uses.
class trace_audit {
  public:
    explicit trace_audit(const soak_plan& plan);
    ~trace_audit();
    trace_audit(const trace_audit&) = delete;
    trace_audit& operator=(const trace_audit&) = delete;

    void feed(const std::string& line);
    audit_progress progress() const;
    // The verdict on everything fed so far; call once, at the end.
    audit_result finish();

  private:
    class auditor;
    std::unique_ptr<auditor> auditor_;
    uint64_t lines_ = 0;
    double last_t_ms_ = 0;
};

audit_result audit_trace(std::istream& trace, const soak_plan& plan);

}  // namespace soak
