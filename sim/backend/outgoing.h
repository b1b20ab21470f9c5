// What the world hands to the event thread: BLE events for the program's event handler,
// status reports and log lines for its other two callbacks, and notes that only the trace
// shows. Items go out in the order the world made them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/wire/event_builder.h"
#include "sim/world/sim_time.h"
#include "sim/world/trace.h"

namespace sim {

struct outgoing {
    enum class kind { event, status, log, note };

    kind what = kind::note;
    sim_us time = 0;
    std::shared_ptr<wire::event_buffer> event;
    // An advertising report's data, written into the program's report buffer just before
    // the event is delivered (never more than the buffer's length).
    std::vector<uint8_t> report_data;
    uint8_t* report_buffer = nullptr;
    uint16_t report_buffer_len = 0;
    int code = 0;      // status code, or log severity
    std::string text;  // status or log text
    trace_json note;   // for notes: what the trace shows
    trace_json extra;  // for events: what the trace adds, counted in the simulation's schedule
};

}  // namespace sim
