// A simulated phone's GATT server: its attribute database, the answers a real phone gives
// to the central's client procedures at the default ATT MTU, and the ways this phone
// misbehaves, whether its "gatt" value or the scenario's fault list says so. Pure and
// synchronous: no threads, and the time comes with each request. The world owns one per
// phone, serialises the calls on it and turns each reply into the event the dongle would
// report (see docs/scenario-gatt.md).
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "driver/ble_gattc.h"
#include "sim/phone/gatt_model.h"
#include "sim/phone/gatt_responses.h"
#include "sim/phone/phone_exchange.h"
#include "sim/phone/phone_faults.h"

namespace sim {

// UUIDs of the authentication service's characteristics, 32 hex digits, most significant first.
extern const char* const feature_uuid_text;
extern const char* const challenge_uuid_text;
extern const char* const response_uuid_text;

class phone_gatt {
  public:
    // An empty database: every discovery ends at once, every handle is unknown.
    phone_gatt() = default;
    // A database from records that the caller has already checked (from_json does that).
    phone_gatt(std::vector<gatt_service_def> services, phone_behaviour behaviour,
               std::vector<gatt_override> overrides);

    // The standard profile of a phone whose own UUID is `phone_uuid` (32 hex digits, most
    // significant first): Generic Access 0x1800 (device name 0x2A00, appearance 0x2A01),
    // Generic Attribute 0x1801 (service changed 0x2A05 indicate + its CCCD), and the
    // authentication service with 128-bit UUID = phone_uuid holding 'feature'
    // 578629605B0F4CE0A25530997B420C79 (read, a 1-byte value), 'challenge'
    // 7198C97A914A432DB8280EEA0E2B65FC (write without response) and 'response'
    // 0B9DB0E5C5B34043829444D8112ADC54 (notify, CCCD at value handle + 1).
    // A `phone_uuid` that is not 32 hex digits reads its bad digits as 0; callers check it.
    static phone_gatt standard_profile(const std::string& phone_uuid);
    // From a scenario's "gatt" JSON value. On error returns false and sets `error` to a
    // message naming the key path (e.g. "gatt.services[2].characteristics[0].uuid") and the
    // problem; `out` is then left unchanged.
    static bool from_json(const nlohmann::json& value, const std::string& phone_uuid,
                          phone_gatt& out, std::string& error);

    // Scripted misbehaviour from the fault list, tried in the order it was added.
    void add_fault(const phone_fault& fault);
    // A request the phone has just heard at `now`: counted for its connection, then
    // answered, ignored or refused by hanging up, as the phone behaves now.
    gatt_reply respond(const gatt_request& request, sim_us now);

    // ATT Read By Group Type (primary services) over [start_handle, 0xFFFF].
    services_response discover_primary_services(uint16_t start_handle);
    // Discovery by service UUID (ATT Find By Type Value): the services of that 16-bit UUID
    // from `start_handle` on, walking the database until some are found or it ends.
    services_response discover_primary_services(uint16_t start_handle, uint16_t uuid);
    // ATT Read By Type for characteristic declarations over [start, end].
    characteristics_response discover_characteristics(uint16_t start, uint16_t end);
    // ATT Find Information over [start, end]: every attribute in the range by handle and
    // type, declarations included, as many of one UUID size as fit in the MTU.
    descriptors_response discover_descriptors(uint16_t start, uint16_t end);
    // ATT Read (offset 0) or Read Blob.
    read_response read(uint16_t handle, uint16_t offset);
    // write_op BLE_GATT_OP_WRITE_REQ or BLE_GATT_OP_WRITE_CMD. For a command the response is
    // not sent by the world (it reports BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE instead), but
    // the write still takes effect. Any notifications the write triggers are appended to `out`.
    write_response write(uint8_t write_op, uint16_t handle, uint16_t offset,
                         const std::vector<uint8_t>& value, std::vector<notification>& out);
    void on_disconnect();      // CCCDs back to 0, per-connection counters reset
    uint16_t att_mtu() const;  // 23: the program never exchanges the MTU

    // Inspection for the world's trace and for tests.
    const std::vector<gatt_service_def>& services() const { return services_; }
    // The stored value of the attribute at `handle` as a read of it would carry it whole
    // (declarations as built, or as the scenario crafted them), read permission aside and
    // without counting as a request; nullopt for a handle with no attribute.
    std::optional<std::vector<uint8_t>> stored_value(uint16_t handle) const;
    // The value of the CCCD at `handle` (0 when there is no CCCD there).
    uint16_t cccd_value(uint16_t handle) const;

  private:
    // Where an attribute lives in `services_`: char_index/desc_index -1 when not applicable.
    enum class attr_kind { service_decl, char_decl, char_value, descriptor };
    struct attr_ref {
        attr_kind kind;
        int service_index;
        int char_index;
        int desc_index;
    };

    void build_index();
    const gatt_override* find_override(gatt_procedure procedure, uint32_t request,
                                       uint16_t handle) const;
    std::vector<uint8_t> attribute_value(const attr_ref& ref) const;
    std::vector<uint8_t> challenge_answer(const std::vector<uint8_t>& challenge) const;
    void after_value_write(const attr_ref& ref, std::vector<notification>& out);
    bool is_cccd_handle(uint16_t handle) const;
    // The first fault of `what` that strikes now, or null.
    const phone_fault* striking(phone_fault::kind what, uint32_t count, sim_us t) const;
    const phone_fault* hang_up_now() const;
    gatt_reply answer_write(const gatt_request& request);

    std::vector<gatt_service_def> services_;
    phone_behaviour behaviour_;
    std::vector<gatt_override> overrides_;
    std::map<uint16_t, attr_ref> index_;
    std::vector<phone_fault> faults_;
    uint16_t challenge_handle_ = 0;  // the value of the (last) 'challenge' characteristic

    // Counters of the current connection, by procedure, and the connection's number.
    uint32_t services_requests_ = 0;
    uint32_t characteristics_requests_ = 0;
    uint32_t read_requests_ = 0;
    uint32_t write_requests_ = 0;
    uint32_t connection_number_ = 1;
    // Counters of the current connection that faults count: every request heard, CCCD
    // writes answered, challenges taken.
    uint32_t requests_ = 0;
    uint32_t cccd_writes_ = 0;
    uint32_t challenges_ = 0;
};

}  // namespace sim
