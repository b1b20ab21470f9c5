// What the host answers on its own, so that a phone that asks something of us is never
// left waiting for a reply the program cannot give: our ATT server (we hold no attributes),
// the security manager (we do not pair), and LE signalling commands we do not know.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "hci/bytes.h"

namespace hci {

// The ATT PDU to answer a PDU on the ATT channel, if it is a request to our server:
// Exchange MTU gets our MTU, discovery of our (empty) database gets Attribute Not Found,
// any other request gets Request Not Supported. Commands, responses, notifications,
// indications and confirmations get nothing here.
std::optional<std::vector<uint8_t>> att_server_answer(bytes_view pdu, uint16_t our_mtu);

// The security manager PDU to answer a Pairing Request or a Security Request: Pairing
// Failed, Pairing Not Supported.
std::optional<std::vector<uint8_t>> security_manager_answer(bytes_view payload);

// The LE signalling PDU (whole L2CAP PDU) that rejects a command we do not handle; nothing
// for a command reject or a response, which must not be answered.
std::optional<std::vector<uint8_t>> signalling_reject(bytes_view payload);

}  // namespace hci
