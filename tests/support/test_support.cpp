#include "tests/support/test_support.h"

#include <sstream>

#include "gatt/discovery_chain.h"

namespace testing_support {

void reset_test_context() {
    shared_test_state& c = test_context;
    c.has_uuids = false;
    c.silent = false;
    c.exit_on_error = false;
    c.scan_interval = 0;
    c.scan_window = 0;
    c.adapter = nullptr;
    c.write_rsp_event = nullptr;
    c.read_rsp_event = nullptr;
    c.disconnected_event = nullptr;
    c.connected_event = nullptr;
    c.quit_event = nullptr;
    c.pending_gattc_event = nullptr;
    c.gattc_aborted = false;
    c.pending_gattc_conn_handle = BLE_CONN_HANDLE_INVALID;
    c.pending_gattc_status = BLE_GATT_STATUS_SUCCESS;
    c.phone_in_setup = nullptr;
    c.connect_failed = false;
    c.connect_attempt_active = false;
    discovery_chain::reset();
    c.adv_reports_total = 0;
    c.adv_reports_uuid128 = 0;
    c.start_tick = 0;
    c.last_adv_tick = 0;
    c.last_scan_start_tick = 0;
    c.phone_registry.clear();
    {
        std::lock_guard<std::mutex> guard(c.all_devices.lock);
        c.all_devices.uuids.clear();
    }
    c.log_level = 0;
    c.quit_requested = false;
    c.first_event_pending = true;
}

std::vector<phone_record*> add_phones(const std::vector<std::string>& uuids) {
    std::vector<phone_record*> made;
    for (const auto& uuid : uuids) {
        auto* phone = new phone_record(uuid);
        test_context.phone_registry[uuid] = phone;
        made.push_back(phone);
    }
    test_context.has_uuids = !test_context.phone_registry.empty();
    return made;
}

void create_event_objects() {
    test_context.write_rsp_event = platform::create_event(false, false);
    test_context.read_rsp_event = platform::create_event(false, false);
    test_context.disconnected_event = platform::create_event(true, false);
    test_context.connected_event = platform::create_event(true, false);
    test_context.quit_event = platform::create_event(true, false);
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool has_line(const std::string& text, const std::string& line) {
    for (const auto& l : split_lines(text)) {
        if (l == line) return true;
    }
    return false;
}

bool contains(const std::string& text, const std::string& fragment) {
    return text.find(fragment) != std::string::npos;
}

std::string strip_timestamps(const std::string& text) {
    // "dddd-dd-dd dd:dd:dd.ddd": 'd' a digit, other characters literal.
    static const std::string shape = "dddd-dd-dd dd:dd:dd.ddd";
    auto matches_at = [&](size_t at) {
        if (at + shape.size() > text.size()) return false;
        for (size_t i = 0; i < shape.size(); ++i) {
            const char c = text[at + i];
            if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return false;
        }
        return true;
    };
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (matches_at(i)) {
            out += "TS";
            i += shape.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

}  // namespace testing_support
