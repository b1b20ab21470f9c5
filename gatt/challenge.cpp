#include "gatt/challenge.h"

#include <mutex>
#include <vector>

#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "gatt/gatt_text.h"
#include "gatt/gattc_request.h"

namespace {

struct challenge_target {
    std::string uuid;
    phone_record* phone;
    uint16_t challenge_handle;
    uint16_t response_handle;
    uint16_t cccd_handle;
};

// What the look-up found of 'response' besides its value handle.
struct response_cccd {
    uint16_t handle = 0;  // 0: right after the value
    bool missing = false;
};

// Looks up both characteristics in the phone's authentication services; a later match
// replaces an earlier one. Holds services_lock: the event thread may empty them meanwhile.
void find_handles(phone_record& phone, uint16_t& challenge_handle, uint16_t& response_handle,
                  response_cccd& cccd) {
    std::lock_guard<std::mutex> guard(phone.services_lock);
    for (const gatt_service& service : phone.services) {
        if (service.uuid128 != phone.uuid) continue;
        for (const gatt_characteristic& characteristic : service.characteristics) {
            if (uuid_equal_ignoring_case(characteristic.uuid128, challenge_characteristic_uuid)) {
                challenge_handle = characteristic.value_handle;
                if (log_enabled(4)) {
                    console_printf(
                        "authentication service %s 'challenge' characteristic value 0x%04X "
                        "handle\n",
                        service.uuid128.c_str(), challenge_handle);
                }
            } else if (uuid_equal_ignoring_case(characteristic.uuid128,
                                                response_characteristic_uuid)) {
                response_handle = characteristic.value_handle;
                cccd.handle = characteristic.cccd_handle;
                cccd.missing = characteristic.cccd_missing;
                if (log_enabled(4)) {
                    console_printf(
                        "authentication service %s 'response' characteristic value 0x%04X handle\n",
                        service.uuid128.c_str(), response_handle);
                }
            }
        }
    }
}

}  // namespace

const char* const challenge_characteristic_uuid = "7198C97A914A432DB8280EEA0E2B65FC";
const char* const response_characteristic_uuid = "0B9DB0E5C5B34043829444D8112ADC54";

void challenge_response_all() {
    if (test_context.phone_in_setup.load() != nullptr) return;

    int connected = 0;
    std::vector<challenge_target> targets;
    for (const auto& entry : test_context.phone_registry) {
        phone_record& phone = *entry.second;
        if (phone.conn_handle.load() == BLE_CONN_HANDLE_INVALID) continue;
        ++connected;
        uint16_t challenge_handle = 0;
        uint16_t response_handle = 0;
        response_cccd cccd;
        find_handles(phone, challenge_handle, response_handle, cccd);
        if (challenge_handle != 0 && response_handle != 0 && cccd.missing) {
            // Its set-up found nowhere to switch notification on: a switch written to
            // value + 1 would reach another attribute.
            console_printf_flush(
                "phone %s connection_handle = %d has no Client Characteristic Configuration "
                "descriptor for its 'response' characteristic, left out of the challenge\n",
                phone.uuid.c_str(), phone.conn_handle.load());
        } else if (challenge_handle != 0 && response_handle != 0) {
            targets.push_back({phone.uuid, &phone, challenge_handle, response_handle, cccd.handle});
        } else {
            console_printf(
                "phone %s connection_handle = %d could not find 'challenge' and 'respnose' "
                "characteristics\n",
                phone.uuid.c_str(), phone.conn_handle.load());
            flush_output();
        }
    }

    for (const challenge_target& target : targets) {
        send_challenge(target.uuid, *target.phone, target.challenge_handle, target.response_handle,
                       target.cccd_handle);
    }
    if (connected == 0 && log_enabled(4)) {
        console_printf("no devices are connected, cannot test challenge/response\n");
    }
    flush_output();
}

void send_challenge(const std::string& uuid, phone_record& phone, uint16_t challenge_handle,
                    uint16_t response_handle, uint16_t cccd_handle) {
    if (!set_response_notification(uuid, phone, response_handle, true, cccd_handle)) return;
    const uint16_t conn_handle = phone.conn_handle.load();
    if (conn_handle == BLE_CONN_HANDLE_INVALID) return;

    static const uint8_t challenge[challenge_length] = {};
    ble_gattc_write_params_t write{};
    write.write_op = BLE_GATT_OP_WRITE_CMD;
    write.flags = 0;
    write.handle = challenge_handle;
    write.offset = 0;
    write.len = challenge_length;
    write.p_value = challenge;

    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_ble_gattc_write(test_context.adapter, conn_handle, &write);
    }
    if (result != NRF_SUCCESS) {
        console_printf("%s: ERROR setting challenge for phone %s conn_handle = %d, error %s\n",
                       make_timestamp().c_str(), uuid.c_str(), conn_handle,
                       error_code_name(result).c_str());
        flush_output();
        return;
    }
    if (log_enabled(4)) {
        console_printf(
            "%s: Thread %d: success setting challenge for phone %s conn_handle = %d challenge char "
            "0x%04X\n",
            make_timestamp().c_str(), thread_id(), uuid.c_str(), conn_handle, challenge_handle);
        flush_output();
    }

    // The phone's answer arrives meanwhile as a notification, logged by the event thread.
    // A quit cuts the time short and leaves notification on: no request goes out any more.
    if (sleep_unless_quitting(challenge_answer_time_ms)) return;
    set_response_notification(uuid, phone, response_handle, false, cccd_handle);
}

bool set_response_notification(const std::string& uuid, phone_record& phone,
                               uint16_t response_handle, bool on, uint16_t cccd_handle) {
    if (phone.conn_handle.load() == BLE_CONN_HANDLE_INVALID) return false;

    // The CCCD value, least significant byte first; the descriptor sits right after the
    // value unless the set-up found it elsewhere.
    static const uint8_t notify_on[2] = {0x01, 0x00};
    static const uint8_t notify_off[2] = {0x00, 0x00};
    ble_gattc_write_params_t write{};
    write.write_op = BLE_GATT_OP_WRITE_REQ;
    write.flags = 0;
    write.handle = cccd_handle != 0 ? cccd_handle : static_cast<uint16_t>(response_handle + 1);
    write.offset = 0;
    write.len = 2;
    write.p_value = on ? notify_on : notify_off;

    const char* action = on ? "enable" : "disable";
    uint16_t conn_handle = BLE_CONN_HANDLE_INVALID;

    gattc_request_texts texts;
    texts.skip_warning = [] {
        console_printf(
            "%s: WARNING skip sd_ble_gattc_write when there is already a GATTC operation in "
            "progress - this should not happen\n",
            make_timestamp().c_str());
    };
    texts.call_failure = [&](uint32_t code) {
        console_printf("%s: ERROR requesting %s for phone %s conn_handle = %d, error %s\n",
                       make_timestamp().c_str(), action, uuid.c_str(), conn_handle,
                       error_code_name(code).c_str());
    };
    texts.issued = [&] {
        console_printf("%s: Thread %d: %s notify for %s conn %d response handle 0x%04X\n",
                       make_timestamp().c_str(), thread_id(), action, uuid.c_str(), conn_handle,
                       response_handle);
    };
    texts.answered = [] {
        console_printf("%s: Thread %d: got expected BLE_GATTC_EVT_WRITE_RSP\n",
                       make_timestamp().c_str(), thread_id());
    };
    texts.aborted = [] {
        console_printf(
            "%s: sd_ble_gattc_write for characteristic notification got BLE_GATTC_EVT_TIMEOUT or "
            "BLE_GAP_EVT_DISCONNECTED (discard this connection and re-connect)\n",
            make_timestamp().c_str());
    };
    texts.never_got = [](int waited_ms) {
        console_printf(
            "%s: Thread %d: ERROR: never got BLE_GATTC_EVT_WRITE_RSP or BLE_GATTC_EVT_TIMEOUT or "
            "BLE_GAP_EVT_DISCONNECTED after waiting %d milliseconds.\n",
            make_timestamp().c_str(), thread_id(), waited_ms);
    };
    texts.unexpected_wait = [](uint32_t wait_result) {
        console_printf(
            "ERROR: WaitForSingleObject returned unexpected value %d while waiting for "
            "BLE_GATTC_EVT_WRITE_RSP\n",
            static_cast<int>(wait_result));
    };

    const gattc_request_result result = gattc_request_sync(
        gattc_request_kind::write, phone,
        [&](uint16_t link) {
            conn_handle = link;
            return sd_ble_gattc_write(test_context.adapter, link, &write);
        },
        texts);
    return result == gattc_request_result::answered;
}
