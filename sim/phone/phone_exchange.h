// One GATT request as a phone receives it, and what the phone does with it: answers,
// keeps quiet, or hangs up. The world carries the request to the phone and turns the
// answer into the event the dongle reports.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "sim/phone/gatt_model.h"
#include "sim/phone/gatt_responses.h"
#include "sim/world/sim_time.h"

namespace sim {

struct gatt_request {
    gatt_procedure procedure = gatt_procedure::read;
    uint16_t handle = 0;                   // the start handle of a discovery, or the attribute
    uint16_t end_handle = 0;               // characteristics and descriptors discovery
    std::optional<uint16_t> service_uuid;  // services discovery by 16-bit UUID
    uint16_t offset = 0;
    uint8_t write_op = 0;
    std::vector<uint8_t> value;
    sim_us sent = 0;  // the connection event that first carried it
};

struct gatt_reply {
    enum class kind { answer, silent, hang_up };
    using response = std::variant<std::monostate, services_response, characteristics_response,
                                  read_response, write_response, descriptors_response>;

    kind what = kind::answer;
    bool stack_loses_request = false;  // silent: the stack will never time the request out
    uint8_t reason = 0;                // hang_up: the HCI reason the phone gives
    response answer;                   // none for a write command: its effect is all
    std::vector<notification> notifications;

    static gatt_reply silence(bool stack_loses_request) {
        gatt_reply r;
        r.what = kind::silent;
        r.stack_loses_request = stack_loses_request;
        return r;
    }
    static gatt_reply hang_up(uint8_t reason) {
        gatt_reply r;
        r.what = kind::hang_up;
        r.reason = reason;
        return r;
    }
};

}  // namespace sim
