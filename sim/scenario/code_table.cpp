#include "sim/scenario/code_table.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "diag/code_lists.h"
#include "driver/sd_rpc.h"

namespace sim {
namespace {
template <typename T>
struct named {
    T value;
    const char* name;
};

#define NAMED(x) \
    { x, #x }

const named<uint16_t> events[] = {
    NAMED(BLE_GAP_EVT_CONNECTED),
    NAMED(BLE_GAP_EVT_DISCONNECTED),
    NAMED(BLE_GAP_EVT_CONN_PARAM_UPDATE),
    NAMED(BLE_GAP_EVT_SEC_PARAMS_REQUEST),
    NAMED(BLE_GAP_EVT_SEC_INFO_REQUEST),
    NAMED(BLE_GAP_EVT_PASSKEY_DISPLAY),
    NAMED(BLE_GAP_EVT_KEY_PRESSED),
    NAMED(BLE_GAP_EVT_AUTH_KEY_REQUEST),
    NAMED(BLE_GAP_EVT_LESC_DHKEY_REQUEST),
    NAMED(BLE_GAP_EVT_AUTH_STATUS),
    NAMED(BLE_GAP_EVT_CONN_SEC_UPDATE),
    NAMED(BLE_GAP_EVT_TIMEOUT),
    NAMED(BLE_GAP_EVT_RSSI_CHANGED),
    NAMED(BLE_GAP_EVT_ADV_REPORT),
    NAMED(BLE_GAP_EVT_SEC_REQUEST),
    NAMED(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST),
    NAMED(BLE_GAP_EVT_SCAN_REQ_REPORT),
    NAMED(BLE_GAP_EVT_PHY_UPDATE_REQUEST),
    NAMED(BLE_GAP_EVT_PHY_UPDATE),
    NAMED(BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST),
    NAMED(BLE_GAP_EVT_DATA_LENGTH_UPDATE),
    NAMED(BLE_GAP_EVT_QOS_CHANNEL_SURVEY_REPORT),
    NAMED(BLE_GAP_EVT_ADV_SET_TERMINATED),
    NAMED(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP),
    NAMED(BLE_GATTC_EVT_REL_DISC_RSP),
    NAMED(BLE_GATTC_EVT_CHAR_DISC_RSP),
    NAMED(BLE_GATTC_EVT_DESC_DISC_RSP),
    NAMED(BLE_GATTC_EVT_ATTR_INFO_DISC_RSP),
    NAMED(BLE_GATTC_EVT_CHAR_VAL_BY_UUID_READ_RSP),
    NAMED(BLE_GATTC_EVT_READ_RSP),
    NAMED(BLE_GATTC_EVT_CHAR_VALS_READ_RSP),
    NAMED(BLE_GATTC_EVT_WRITE_RSP),
    NAMED(BLE_GATTC_EVT_HVX),
    NAMED(BLE_GATTC_EVT_EXCHANGE_MTU_RSP),
    NAMED(BLE_GATTC_EVT_TIMEOUT),
    NAMED(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE),
    NAMED(BLE_GATTS_EVT_WRITE),
    NAMED(BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST),
    NAMED(BLE_GATTS_EVT_SYS_ATTR_MISSING),
    NAMED(BLE_GATTS_EVT_HVC),
    NAMED(BLE_GATTS_EVT_SC_CONFIRM),
    NAMED(BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST),
    NAMED(BLE_GATTS_EVT_TIMEOUT),
    NAMED(BLE_GATTS_EVT_HVN_TX_COMPLETE),
};

const named<int> statuses[] = {
    NAMED(PKT_SEND_MAX_RETRIES_REACHED),
    NAMED(PKT_UNEXPECTED),
    NAMED(PKT_ENCODE_ERROR),
    NAMED(PKT_DECODE_ERROR),
    NAMED(PKT_SEND_ERROR),
    NAMED(IO_RESOURCES_UNAVAILABLE),
    NAMED(RESET_PERFORMED),
    NAMED(CONNECTION_ACTIVE),
};

// Entries are named<T> or the shared lists' named_code, whose values are 32-bit.
template <typename Entry, size_t N, typename T>
const char* find_name(const Entry (&table)[N], T value) {
    const auto* found = std::find_if(std::begin(table), std::end(table),
                                     [value](const Entry& entry) { return entry.value == value; });
    return found != std::end(table) ? found->name : nullptr;
}

template <typename T, typename Entry, size_t N>
std::optional<T> find_value(const Entry (&table)[N], const std::string& name) {
    const auto* found = std::find_if(std::begin(table), std::end(table),
                                     [&name](const Entry& entry) { return name == entry.name; });
    if (found == std::end(table)) return std::nullopt;
    return static_cast<T>(found->value);
}

}  // namespace

std::string result_name(uint32_t code) {
    const char* name = find_name(code_lists::result_codes, code);
    return name != nullptr ? name : "";
}

std::optional<uint32_t> result_by_name(const std::string& name) {
    return find_value<uint32_t>(code_lists::result_codes, name);
}

std::string hci_name(uint8_t code) {
    const char* name = find_name(code_lists::hci_codes, code);
    return name != nullptr ? name : "";
}

std::optional<uint8_t> hci_by_name(const std::string& name) {
    return find_value<uint8_t>(code_lists::hci_codes, name);
}

std::string event_name(uint16_t id) {
    const char* name = find_name(events, id);
    if (name != nullptr) return name;
    char text[32];
    std::snprintf(text, sizeof text, "UNKNOWN_EVENT_0x%02X", id);
    return text;
}

std::optional<uint16_t> event_by_name(const std::string& name) {
    return find_value<uint16_t>(events, name);
}

std::string status_name(int code) {
    const char* name = find_name(statuses, code);
    return name != nullptr ? name : "";
}

std::optional<int> status_by_name(const std::string& name) {
    return find_value<int>(statuses, name);
}

}  // namespace sim
