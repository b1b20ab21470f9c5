// The attribute database of a simulated phone, as plain records, and the scripted
// misbehaviour that a scenario can attach to it. phone_gatt answers the central's
// client procedures from these records.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/ble_gattc.h"

namespace sim {

// A 16-bit SIG UUID or a full 128-bit UUID.
struct gatt_uuid {
    bool is_128 = false;
    uint16_t short_uuid = 0;          // meaningful when !is_128
    std::array<uint8_t, 16> bytes{};  // meaningful when is_128; least significant byte first

    static gatt_uuid from16(uint16_t value);
    // `text` is 32 hex digits, most significant byte first. False if it is not.
    static bool parse128(const std::string& text, gatt_uuid& out);
    // The UUID as it travels in ATT PDUs: 2 or 16 bytes, little-endian.
    std::vector<uint8_t> air_bytes() const;
    // Octets 12 and 13 of a 128-bit UUID: what the stack reports for a vendor-registered base.
    uint16_t octets_12_13() const;
    bool operator==(const gatt_uuid& other) const;
};

// Characteristic property bits as they appear in the declaration.
enum : uint8_t {
    gatt_prop_broadcast = 0x01,
    gatt_prop_read = 0x02,
    gatt_prop_write_without_response = 0x04,
    gatt_prop_write = 0x08,
    gatt_prop_notify = 0x10,
    gatt_prop_indicate = 0x20,
    gatt_prop_authenticated_signed_writes = 0x40,
    gatt_prop_extended_properties = 0x80,
};

constexpr uint16_t gatt_uuid_primary_service = 0x2800;
constexpr uint16_t gatt_uuid_characteristic = 0x2803;
constexpr uint16_t gatt_uuid_cccd = 0x2902;

struct gatt_descriptor_def {
    uint16_t handle = 0;
    gatt_uuid uuid;
    std::vector<uint8_t> value;
    bool writable = false;  // CCCDs are always writable
};

struct gatt_characteristic_def {
    uint16_t decl_handle = 0;
    uint16_t value_handle = 0;
    gatt_uuid uuid;
    uint8_t properties = 0;
    std::vector<uint8_t> value;
    // UUID type the stack reports in discovery; unset means the usual one
    // (BLE_UUID_TYPE_BLE for 16-bit, BLE_UUID_TYPE_UNKNOWN for 128-bit).
    std::optional<uint8_t> reported_type;
    // Value handle written inside the declaration as read (discovery keeps the true one).
    std::optional<uint16_t> declared_value_handle;
    // Raw declaration bytes returned by a read, replacing the built declaration.
    std::optional<std::vector<uint8_t>> declaration;
    std::vector<gatt_descriptor_def> descriptors;
};

struct gatt_service_def {
    uint16_t start_handle = 0;
    uint16_t end_handle = 0;
    gatt_uuid uuid;
    std::optional<uint8_t> reported_type;
    std::optional<std::vector<uint8_t>> declaration;
    std::vector<gatt_characteristic_def> characteristics;
};

// Descriptors: ATT Find Information over a handle range. Scenario overrides do not
// script it; the database answers.
enum class gatt_procedure { services, characteristics, read, write, descriptors };

// A scripted answer that replaces the database's own. The first override whose
// conditions all hold answers the request.
struct gatt_override {
    gatt_procedure procedure = gatt_procedure::read;
    std::optional<uint32_t> request;     // n-th request of this procedure on the connection, from 1
    std::optional<uint32_t> connection;  // n-th connection of the phone, from 1
    std::optional<uint16_t> handle;      // start handle (discovery) or attribute handle
    bool silent = false;                 // the phone never answers
    std::optional<uint16_t> status;
    std::optional<uint16_t> error_handle;
    std::optional<std::vector<ble_gattc_service_t>> services;
    std::optional<std::vector<ble_gattc_char_t>> chars;
    std::optional<std::vector<uint8_t>> data;
};

enum class cccd_policy { accept, refuse, ignore };
enum class challenge_policy { derived, fixed, never };

struct phone_behaviour {
    cccd_policy cccd_writes = cccd_policy::accept;
    challenge_policy challenge = challenge_policy::derived;
    std::vector<uint8_t> fixed_answer;  // for challenge_policy::fixed
};

}  // namespace sim
