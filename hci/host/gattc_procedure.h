// The GATT client procedures the program starts, each one ATT request and the event its
// answer becomes: one record carries the procedure from the call to its single completion.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "driver/ble.h"
#include "driver/wire/event_builder.h"
#include "hci/bytes.h"

namespace hci {

struct gattc_procedure {
    enum class kind { services, characteristics, descriptors, read, write_request, write_command };
    kind what = kind::read;
    uint16_t start_handle = 0;             // services, characteristics, descriptors
    uint16_t end_handle = 0;               // characteristics, descriptors
    std::optional<uint16_t> service_uuid;  // services: only those of this 16-bit UUID
    uint16_t handle = 0;                   // read, writes
    uint16_t offset = 0;                   // read, write request
    uint8_t write_op = 0;
    std::vector<uint8_t> value;  // writes

    bool expects_answer() const { return what != kind::write_command; }
};

// The ATT PDU that starts the procedure.
std::vector<uint8_t> request_pdu(const gattc_procedure& procedure);

// What a PDU from the peer means for the procedure under way: not its answer (the PDU is
// for someone else), or its answer, turned into the event the program gets. A malformed
// answer still ends the procedure, with an invalid-PDU status, so nothing waits for ever;
// an answer longer than the link's ATT MTU (`att_mtu`, the default until an exchange)
// is malformed.
struct gattc_answer {
    bool is_answer = false;
    std::optional<wire::event_buffer> event;
};
gattc_answer answer_for(uint16_t conn_handle, const gattc_procedure& procedure, bytes_view pdu,
                        uint16_t att_mtu = BLE_GATT_ATT_MTU_DEFAULT);

// The GATT status of an ATT error code, as the program prints it.
uint16_t gatt_status_of_att_error(uint8_t error_code);

}  // namespace hci
