// The ATT PDUs that carry the simulated GATT traffic, built from the world's records of a
// request and of the phone's answer, at the default ATT MTU the program keeps to.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/phone/gatt_model.h"
#include "sim/phone/phone_exchange.h"

namespace sim::air {

// The request as the central sends it: Read By Group Type or Find By Type Value (primary
// services), Read By Type (characteristics), Find Information (descriptors), Read or Read
// Blob, Write Request or Command.
std::vector<uint8_t> att_request(const gatt_request& request);

// The phone's answer to `request`: the matching response, or an Error Response naming the
// request's opcode when the answer's status is not success. `database` gives the 128-bit
// UUIDs that the answer's records carry only in part. Nullopt when nothing is sent back.
std::optional<std::vector<uint8_t>> att_answer(const gatt_request& request,
                                               const gatt_reply::response& answer,
                                               const std::vector<gatt_service_def>& database);

std::vector<uint8_t> att_notification(const notification& n);

// The PDU in an L2CAP basic frame on the ATT channel.
std::vector<uint8_t> l2cap_att_frame(const std::vector<uint8_t>& att_pdu);

}  // namespace sim::air
