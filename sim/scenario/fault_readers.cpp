#include "sim/scenario/fault_readers.h"

#include <utility>

#include "driver/nrf_error.h"
#include "sim/scenario/code_table.h"
#include "sim/scenario/scenario_loader.h"

namespace sim {
namespace {

template <typename T, std::optional<T> (*lookup)(const std::string&)>
std::optional<int64_t> widened(const std::string& name) {
    const std::optional<T> code = lookup(name);
    if (!code) return std::nullopt;
    return static_cast<int64_t>(*code);
}

const code_kind result_code{"result code", &widened<uint32_t, result_by_name>, 0, UINT32_MAX};
// Status names have no "0x" form to tell them from numbers.
const code_kind link_status{"status", &widened<int, status_by_name>, 0, 255, false};
const code_kind event_id{
    "event", &widened<uint16_t, event_by_name>, 0, 0xFFFF, true, " (give the number)"};
const code_kind hci_reason{"HCI status", &widened<uint8_t, hci_by_name>, 1, 255};

constexpr uint32_t max_event_count = 1000000;

}  // namespace

fault_readers::fault_readers(scenario_reader& reader, scenario& out, storm_reader storm)
    : r_(reader), out_(out), storm_(std::move(storm)) {}

const std::map<std::string, fault_readers::reader>& fault_readers::by_type() {
    static const std::map<std::string, reader> readers = {
        {"call_result", &fault_readers::call_result},
        {"dongle_gone", &fault_readers::dongle_gone},
        {"event", &fault_readers::event},
        {"adv_storm", &fault_readers::adv_storm},
        {"gatt_silent", &fault_readers::gatt_silent},
        {"cccd", &fault_readers::cccd},
        {"challenge_silent", &fault_readers::challenge_silent},
        {"connect_never", &fault_readers::connect_never},
        {"connect_timeout", &fault_readers::connect_timeout},
        {"connect_fail", &fault_readers::connect_fail},
        {"connect_late", &fault_readers::connect_late},
        {"disconnect", &fault_readers::disconnect},
        {"out_of_range", &fault_readers::out_of_range},
    };
    return readers;
}

bool fault_readers::read(const json& v, const std::string& path) {
    if (!v.is_object()) return r_.fail(path, "must be an object");
    if (!v.contains("type")) return r_.fail(key_path(path, "type"), "is missing");
    std::string type;
    if (!r_.text(v["type"], key_path(path, "type"), type)) return false;
    const auto found = by_type().find(type);
    if (found == by_type().end()) {
        std::string list;
        for (const auto& [name, ignored] : by_type()) list += (list.empty() ? "" : ", ") + name;
        return r_.fail(key_path(path, "type"),
                       "unknown fault \"" + type + "\" (known: " + list + ")");
    }
    return (this->*found->second)(v, path);
}

bool fault_readers::call_result(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::call_result;
    f.where = path;
    if (!r_.object(v, path, {"type", "call", "result", "nth", "count", "from_ms", "until_ms"}))
        return false;
    if (!v.contains("call")) return r_.fail(key_path(path, "call"), "is missing");
    if (!r_.text(v["call"], key_path(path, "call"), f.call)) return false;
    bool known = false;
    for (const auto& name : driver_call_names()) known = known || name == f.call;
    if (!known) return r_.fail(key_path(path, "call"), "\"" + f.call + "\" is not a driver call");
    if (!result(v, path, true, f.result)) return false;
    if (!r_.one_of(v, path, {"nth", "from_ms"}, true)) return false;
    if (!r_.optional_count(v, "nth", path, 1, f.nth) || !window(v, path, f.from, f.until))
        return false;
    std::optional<uint32_t> count;
    if (!r_.optional_count(v, "count", path, 1, count)) return false;
    if (count && !f.nth) return r_.fail(key_path(path, "count"), "goes with nth");
    f.count = count.value_or(1);
    return add(std::move(f));
}

bool fault_readers::dongle_gone(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::dongle_gone;
    f.where = path;
    if (!r_.object(v, path, {"type", "at_ms", "result", "status", "message"})) return false;
    if (!v.contains("at_ms")) return r_.fail(key_path(path, "at_ms"), "is missing");
    if (!r_.optional_time(v, "at_ms", path, f.from)) return false;
    f.result = NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE;
    if (!result(v, path, false, f.result)) return false;
    if (v.contains("status")) {
        int64_t code = 0;
        if (!r_.code(v["status"], key_path(path, "status"), link_status, code)) return false;
        f.status_code = static_cast<int>(code);
    }
    f.message = "serial port lost: the dongle does not answer any more";
    if (v.contains("message") && !r_.text(v["message"], key_path(path, "message"), f.message)) {
        return false;
    }
    return add(std::move(f));
}

bool fault_readers::event(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::event;
    f.where = path;
    if (!r_.object(v, path,
                   {"type", "event", "phone", "at_ms", "after_connect_ms", "count", "every_ms",
                    "connection"})) {
        return false;
    }
    if (!v.contains("event")) return r_.fail(key_path(path, "event"), "is missing");
    int64_t id = 0;
    if (!r_.code(v["event"], key_path(path, "event"), event_id, id)) return false;
    f.event_id = static_cast<uint16_t>(id);
    if (v.contains("phone") && !phone(v, path, f.device)) return false;
    if (!r_.one_of(v, path, {"at_ms", "after_connect_ms"}, true)) return false;
    if (v.contains("after_connect_ms") && f.device < 0) {
        return r_.fail(key_path(path, "after_connect_ms"), "needs a phone");
    }
    if (!r_.optional_time(v, "at_ms", path, f.from) ||
        !r_.optional_time(v, "after_connect_ms", path, f.after_connect) ||
        !r_.optional_count(v, "connection", path, 1, f.connection)) {
        return false;
    }
    std::optional<uint32_t> count;
    if (!r_.optional_count(v, "count", path, 1, count)) return false;
    if (count && *count > max_event_count)
        return r_.fail(key_path(path, "count"), "must be at most 1000000");
    f.count = count.value_or(1);
    if (v.contains("every_ms") &&
        !r_.time_ms(v["every_ms"], key_path(path, "every_ms"), 0, max_time_ms, f.every)) {
        return false;
    }
    return add(std::move(f));
}

bool fault_readers::adv_storm(const json& v, const std::string& path) {
    return storm_(v, path);
}

bool fault_readers::gatt_silent(const json& v, const std::string& path) {
    phone_fault f;
    f.what = phone_fault::kind::silent;
    if (!r_.object(v, path,
                   {"type", "phone", "from_ms", "until_ms", "after_requests", "connection",
                    "stack_timeout"})) {
        return false;
    }
    if (v.contains("stack_timeout") &&
        !r_.boolean(v["stack_timeout"], key_path(path, "stack_timeout"), f.stack_timeout)) {
        return false;
    }
    return phone_gatt_fault(v, path, "after_requests", f);
}

bool fault_readers::cccd(const json& v, const std::string& path) {
    phone_fault f;
    f.what = phone_fault::kind::cccd;
    if (!r_.object(
            v, path,
            {"type", "phone", "mode", "from_ms", "until_ms", "after_writes", "connection"})) {
        return false;
    }
    if (!v.contains("mode")) return r_.fail(key_path(path, "mode"), "is missing");
    std::string mode;
    if (!r_.text(v["mode"], key_path(path, "mode"), mode)) return false;
    if (mode == "refuse") {
        f.mode = cccd_mode::refuse;
    } else if (mode != "ignore") {
        return r_.fail(key_path(path, "mode"),
                       "must be \"ignore\" or \"refuse\", not \"" + mode + "\"");
    }
    return phone_gatt_fault(v, path, "after_writes", f);
}

bool fault_readers::challenge_silent(const json& v, const std::string& path) {
    phone_fault f;
    f.what = phone_fault::kind::challenge_silent;
    if (!r_.object(v, path,
                   {"type", "phone", "from_ms", "until_ms", "after_challenges", "connection"})) {
        return false;
    }
    return phone_gatt_fault(v, path, "after_challenges", f);
}

bool fault_readers::connect_never(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::connect_never;
    if (!r_.object(v, path, {"type", "phone", "from_ms", "until_ms", "attempts"})) return false;
    return attempt_fault(v, path, std::move(f));
}

bool fault_readers::connect_timeout(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::connect_timeout;
    if (!r_.object(v, path, {"type", "phone", "from_ms", "until_ms", "attempts", "timeout_ms"}))
        return false;
    if (v.contains("timeout_ms") &&
        !r_.time_ms(v["timeout_ms"], key_path(path, "timeout_ms"), 1, max_time_ms, f.timeout)) {
        return false;
    }
    return attempt_fault(v, path, std::move(f));
}

bool fault_readers::connect_fail(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::connect_fail;
    if (!r_.object(v, path, {"type", "phone", "from_ms", "until_ms", "attempts"})) return false;
    return attempt_fault(v, path, std::move(f));
}

bool fault_readers::connect_late(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::connect_late;
    if (!r_.object(v, path, {"type", "phone", "from_ms", "until_ms", "attempts", "delay_ms"}))
        return false;
    if (v.contains("delay_ms") &&
        !r_.time_ms(v["delay_ms"], key_path(path, "delay_ms"), 0, max_time_ms, f.late_by)) {
        return false;
    }
    return attempt_fault(v, path, std::move(f));
}

bool fault_readers::disconnect(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::disconnect;
    f.where = path;
    if (!r_.object(v, path,
                   {"type", "phone", "reason", "at_ms", "after_connect_ms", "after_requests",
                    "connection"})) {
        return false;
    }
    std::optional<uint32_t> after_requests;
    if (!phone(v, path, f.device) ||
        !r_.one_of(v, path, {"at_ms", "after_connect_ms", "after_requests"}, true) ||
        !r_.optional_time(v, "at_ms", path, f.from) ||
        !r_.optional_time(v, "after_connect_ms", path, f.after_connect) ||
        !r_.optional_count(v, "after_requests", path, 0, after_requests) ||
        !r_.optional_count(v, "connection", path, 1, f.connection)) {
        return false;
    }
    if (v.contains("reason")) {
        int64_t reason = 0;
        if (!r_.code(v["reason"], key_path(path, "reason"), hci_reason, reason)) return false;
        f.reason = static_cast<uint8_t>(reason);
    }
    if (!after_requests) return add(std::move(f));
    // Hanging up instead of answering is the phone's own way with a request.
    phone_fault hang_up;
    hang_up.what = phone_fault::kind::hang_up;
    hang_up.after_count = after_requests;
    hang_up.connection = f.connection;
    hang_up.reason = f.reason;
    out_.devices[static_cast<size_t>(f.device)].gatt.add_fault(hang_up);
    return true;
}

bool fault_readers::out_of_range(const json& v, const std::string& path) {
    fault_config f;
    f.type = fault_type::out_of_range;
    f.where = path;
    if (!r_.object(v, path,
                   {"type", "phone", "from_ms", "until_ms", "after_connect_ms", "duration_ms",
                    "connection"})) {
        return false;
    }
    if (!phone(v, path, f.device) || !r_.one_of(v, path, {"from_ms", "after_connect_ms"}, true) ||
        !window(v, path, f.from, f.until) ||
        !r_.optional_time(v, "after_connect_ms", path, f.after_connect) ||
        !r_.optional_time(v, "duration_ms", path, f.duration) ||
        !r_.optional_count(v, "connection", path, 1, f.connection)) {
        return false;
    }
    if (f.duration && !f.after_connect) {
        return r_.fail(key_path(path, "duration_ms"), "goes with after_connect_ms");
    }
    if (f.connection && !f.after_connect) {
        return r_.fail(key_path(path, "connection"), "goes with after_connect_ms");
    }
    return add(std::move(f));
}

bool fault_readers::phone(const json& v, const std::string& path, int& device) {
    const std::string p = key_path(path, "phone");
    if (!v.contains("phone")) return r_.fail(p, "is missing");
    std::string key;
    if (!r_.text(v["phone"], p, key)) return false;
    for (size_t i = 0; i < out_.devices.size(); ++i) {
        const device_config& d = out_.devices[i];
        if (d.is_phone && (d.name == key || d.uuid == key)) {
            device = static_cast<int>(i);
            return true;
        }
    }
    return r_.fail(p, "no phone is named \"" + key + "\"");
}

bool fault_readers::window(const json& v, const std::string& path, std::optional<sim_us>& from,
                           std::optional<sim_us>& until) {
    if (!r_.optional_time(v, "from_ms", path, from) ||
        !r_.optional_time(v, "until_ms", path, until)) {
        return false;
    }
    if (until && !from) return r_.fail(key_path(path, "until_ms"), "needs from_ms");
    if (until && *until <= *from) {
        return r_.fail(key_path(path, "until_ms"), "must be later than from_ms");
    }
    return true;
}

bool fault_readers::result(const json& v, const std::string& path, bool required, uint32_t& out) {
    if (!v.contains("result")) {
        return required ? r_.fail(key_path(path, "result"), "is missing") : true;
    }
    int64_t code = 0;
    if (!r_.code(v["result"], key_path(path, "result"), result_code, code)) return false;
    out = static_cast<uint32_t>(code);
    return true;
}

bool fault_readers::phone_gatt_fault(const json& v, const std::string& path, const char* count_key,
                                     phone_fault f) {
    int device = -1;
    if (!phone(v, path, device) || !r_.one_of(v, path, {"from_ms", count_key}, false) ||
        !window(v, path, f.from, f.until) ||
        !r_.optional_count(v, count_key, path, 0, f.after_count) ||
        !r_.optional_count(v, "connection", path, 1, f.connection)) {
        return false;
    }
    out_.devices[static_cast<size_t>(device)].gatt.add_fault(f);
    return true;
}

bool fault_readers::attempt_fault(const json& v, const std::string& path, fault_config f) {
    f.where = path;
    if (!phone(v, path, f.device) || !window(v, path, f.from, f.until) ||
        !r_.optional_count(v, "attempts", path, 1, f.attempts)) {
        return false;
    }
    return add(std::move(f));
}

bool fault_readers::add(fault_config f) {
    out_.faults.push_back(std::move(f));
    return true;
}

}  // namespace sim
