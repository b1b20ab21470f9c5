// Reading a phone's database and scripted misbehaviour from a scenario's "gatt" value.
// The shape is documented in docs/scenario-gatt.md.
#include <cstdio>

#include "sim/phone/phone_gatt.h"
#include "sim/scenario/gatt_json_values.h"

namespace sim {

namespace {

using nlohmann::json;
using namespace gatt_json;

constexpr size_t max_attribute_length = 512;
// What one read response or one notification can carry at the default MTU.
constexpr size_t max_read_data = BLE_GATT_ATT_MTU_DEFAULT - 1;
constexpr size_t max_notification_data = BLE_GATT_ATT_MTU_DEFAULT - 3;
// Scripted discovery answers may hold more entries than fit a real PDU, within reason.
constexpr size_t max_override_entries = 32;

std::string hex16(uint32_t handle) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(handle & 0xFFFF));
    return text;
}

std::string indexed(const std::string& path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

// Hands out attribute handles in increasing order: each explicit handle must lie past the
// previous attribute, each missing one takes the next free handle.
class handle_allocator {
  public:
    bool take(const json& object, const char* key, const std::string& path, uint16_t& out,
              std::string& error) {
        if (object.contains(key)) {
            uint32_t handle = 0;
            if (!read_number(object[key], path + "." + key, 1, 0xFFFF, handle, error)) {
                return false;
            }
            if (handle < next_) {
                error = path + "." + key + ": handle " + hex16(handle) +
                        " is out of order: it must come after " + hex16(next_ - 1);
                return false;
            }
            next_ = handle;
        } else if (next_ > 0xFFFF) {
            error = path + ": no handle left after 0xFFFF";
            return false;
        }
        out = static_cast<uint16_t>(next_);
        last_ = next_;
        ++next_;
        return true;
    }
    bool end_service(const json& object, const std::string& path, uint16_t& out,
                     std::string& error) {
        uint32_t end = last_;
        if (object.contains("end")) {
            if (!read_number(object["end"], path + ".end", 1, 0xFFFF, end, error)) return false;
            if (end < last_) {
                error = path + ".end: handle " + hex16(end) +
                        " is before the service's last attribute " + hex16(last_);
                return false;
            }
        }
        out = static_cast<uint16_t>(end);
        last_ = end;
        next_ = end + 1;
        return true;
    }

  private:
    uint32_t next_ = 1;
    uint32_t last_ = 0;
};

class gatt_parser {
  public:
    gatt_parser(const gatt_uuid& phone, std::string& error) : phone_(phone), error_(error) {}

    bool services(const json& list, const std::string& path, std::vector<gatt_service_def>& out) {
        if (!check_array(list, path, error_)) return false;
        for (size_t i = 0; i < list.size(); ++i) {
            gatt_service_def service;
            if (!one_service(list[i], indexed(path, i), service)) return false;
            out.push_back(std::move(service));
        }
        return true;
    }

    bool behaviour(const json& gatt, const std::string& path, phone_behaviour& out) {
        if (gatt.contains("cccd_writes")) {
            const json& policy = gatt["cccd_writes"];
            if (policy == "accept") {
                out.cccd_writes = cccd_policy::accept;
            } else if (policy == "refuse") {
                out.cccd_writes = cccd_policy::refuse;
            } else if (policy == "ignore") {
                out.cccd_writes = cccd_policy::ignore;
            } else {
                error_ = path + ".cccd_writes: expected \"accept\", \"refuse\" or \"ignore\"";
                return false;
            }
        }
        if (gatt.contains("challenge_answer")) {
            const json& answer = gatt["challenge_answer"];
            if (answer == "derived") {
                out.challenge = challenge_policy::derived;
            } else if (answer == "never") {
                out.challenge = challenge_policy::never;
            } else {
                if (!read_bytes(answer, path + ".challenge_answer", max_notification_data,
                                out.fixed_answer, error_)) {
                    error_ += " (or \"derived\" or \"never\")";
                    return false;
                }
                out.challenge = challenge_policy::fixed;
            }
        }
        return true;
    }

    bool overrides(const json& list, const std::string& path, std::vector<gatt_override>& out) {
        if (!check_array(list, path, error_)) return false;
        for (size_t i = 0; i < list.size(); ++i) {
            gatt_override rule;
            if (!one_override(list[i], indexed(path, i), rule)) return false;
            out.push_back(std::move(rule));
        }
        return true;
    }

  private:
    bool optional_type(const json& object, const std::string& path, std::optional<uint8_t>& out) {
        if (!object.contains("reported_type")) return true;
        uint32_t type = 0;
        if (!read_number(object["reported_type"], path + ".reported_type", 0, 0xFF, type, error_)) {
            return false;
        }
        out = static_cast<uint8_t>(type);
        return true;
    }

    bool optional_declaration(const json& object, const std::string& path,
                              std::optional<std::vector<uint8_t>>& out) {
        if (!object.contains("declaration")) return true;
        std::vector<uint8_t> bytes;
        if (!read_bytes(object["declaration"], path + ".declaration", max_attribute_length, bytes,
                        error_)) {
            return false;
        }
        out = std::move(bytes);
        return true;
    }

    bool one_service(const json& object, const std::string& path, gatt_service_def& out) {
        if (!check_object(
                object, path,
                {"uuid", "start", "end", "reported_type", "declaration", "characteristics"},
                error_)) {
            return false;
        }
        if (!object.contains("uuid")) return missing(path, "uuid");
        if (!read_uuid(object["uuid"], path + ".uuid", phone_, out.uuid, error_)) return false;
        if (!handles_.take(object, "start", path, out.start_handle, error_)) return false;
        if (!optional_type(object, path, out.reported_type)) return false;
        if (!optional_declaration(object, path, out.declaration)) return false;
        if (object.contains("characteristics")) {
            const json& list = object["characteristics"];
            const std::string list_path = path + ".characteristics";
            if (!check_array(list, list_path, error_)) return false;
            for (size_t i = 0; i < list.size(); ++i) {
                gatt_characteristic_def chr;
                if (!one_characteristic(list[i], indexed(list_path, i), chr)) return false;
                out.characteristics.push_back(std::move(chr));
            }
        }
        return handles_.end_service(object, path, out.end_handle, error_);
    }

    bool one_characteristic(const json& object, const std::string& path,
                            gatt_characteristic_def& out) {
        if (!check_object(object, path,
                          {"uuid", "properties", "value", "handle", "value_handle", "reported_type",
                           "declared_value_handle", "declaration", "cccd", "descriptors"},
                          error_)) {
            return false;
        }
        if (!object.contains("uuid")) return missing(path, "uuid");
        if (!read_uuid(object["uuid"], path + ".uuid", phone_, out.uuid, error_)) return false;
        out.properties = gatt_prop_read;
        if (object.contains("properties") &&
            !read_properties(object["properties"], path + ".properties", out.properties, error_)) {
            return false;
        }
        if (object.contains("value") && !read_bytes(object["value"], path + ".value",
                                                    max_attribute_length, out.value, error_)) {
            return false;
        }
        if (!handles_.take(object, "handle", path, out.decl_handle, error_)) return false;
        if (!handles_.take(object, "value_handle", path, out.value_handle, error_)) return false;
        if (!optional_type(object, path, out.reported_type)) return false;
        if (object.contains("declared_value_handle")) {
            uint16_t handle = 0;
            if (!read_u16(object["declared_value_handle"], path + ".declared_value_handle", handle,
                          error_)) {
                return false;
            }
            out.declared_value_handle = handle;
        }
        if (!optional_declaration(object, path, out.declaration)) return false;
        bool with_cccd = false;
        if (object.contains("cccd") &&
            !read_bool(object["cccd"], path + ".cccd", with_cccd, error_)) {
            return false;
        }
        if (with_cccd) {
            gatt_descriptor_def cccd;
            cccd.uuid = gatt_uuid::from16(gatt_uuid_cccd);
            cccd.value = {0x00, 0x00};
            cccd.writable = true;
            if (!handles_.take(json::object(), "handle", path + ".cccd", cccd.handle, error_)) {
                return false;
            }
            out.descriptors.push_back(std::move(cccd));
        }
        if (object.contains("descriptors")) {
            const json& list = object["descriptors"];
            const std::string list_path = path + ".descriptors";
            if (!check_array(list, list_path, error_)) return false;
            for (size_t i = 0; i < list.size(); ++i) {
                gatt_descriptor_def desc;
                if (!one_descriptor(list[i], indexed(list_path, i), desc)) return false;
                out.descriptors.push_back(std::move(desc));
            }
        }
        return true;
    }

    bool one_descriptor(const json& object, const std::string& path, gatt_descriptor_def& out) {
        if (!check_object(object, path, {"uuid", "handle", "value", "writable"}, error_)) {
            return false;
        }
        if (!object.contains("uuid")) return missing(path, "uuid");
        if (!read_uuid(object["uuid"], path + ".uuid", phone_, out.uuid, error_)) return false;
        if (!handles_.take(object, "handle", path, out.handle, error_)) return false;
        const bool cccd = !out.uuid.is_128 && out.uuid.short_uuid == gatt_uuid_cccd;
        if (cccd) out.value = {0x00, 0x00};
        if (object.contains("value") && !read_bytes(object["value"], path + ".value",
                                                    max_attribute_length, out.value, error_)) {
            return false;
        }
        out.writable = cccd;
        if (object.contains("writable") &&
            !read_bool(object["writable"], path + ".writable", out.writable, error_)) {
            return false;
        }
        return true;
    }

    bool one_override(const json& object, const std::string& path, gatt_override& out) {
        if (!check_object(object, path,
                          {"procedure", "request", "connection", "handle", "silent", "status",
                           "error_handle", "services", "characteristics", "data"},
                          error_)) {
            return false;
        }
        if (!object.contains("procedure")) return missing(path, "procedure");
        const json& procedure = object["procedure"];
        if (procedure == "services") {
            out.procedure = gatt_procedure::services;
        } else if (procedure == "characteristics") {
            out.procedure = gatt_procedure::characteristics;
        } else if (procedure == "read") {
            out.procedure = gatt_procedure::read;
        } else if (procedure == "write") {
            out.procedure = gatt_procedure::write;
        } else {
            error_ = path +
                     ".procedure: expected \"services\", \"characteristics\", \"read\" or "
                     "\"write\"";
            return false;
        }
        for (const char* key : {"request", "connection"}) {
            if (!object.contains(key)) continue;
            uint32_t number = 0;
            if (!read_number(object[key], path + "." + key, 1, 0xFFFFFFFFu, number, error_)) {
                return false;
            }
            (std::string(key) == "request" ? out.request : out.connection) = number;
        }
        uint16_t number = 0;
        if (object.contains("handle")) {
            if (!read_u16(object["handle"], path + ".handle", number, error_)) return false;
            out.handle = number;
        }
        if (object.contains("silent") &&
            !read_bool(object["silent"], path + ".silent", out.silent, error_)) {
            return false;
        }
        if (object.contains("status")) {
            if (!read_u16(object["status"], path + ".status", number, error_)) return false;
            out.status = number;
        }
        if (object.contains("error_handle")) {
            if (!read_u16(object["error_handle"], path + ".error_handle", number, error_)) {
                return false;
            }
            out.error_handle = number;
        }
        if (!answer_content(object, path, out)) return false;
        const bool answers = out.status || out.services || out.chars || out.data;
        if (out.silent && answers) {
            error_ = path + ": a silent phone sends no status, entries or data";
            return false;
        }
        if (!out.silent && !answers) {
            error_ = path +
                     ": gives no answer (expected silent, status, services, characteristics "
                     "or data)";
            return false;
        }
        return true;
    }

    bool answer_content(const json& object, const std::string& path, gatt_override& out) {
        if (object.contains("services")) {
            if (out.procedure != gatt_procedure::services) {
                return only_for(path, "services", "services");
            }
            std::vector<ble_gattc_service_t> entries;
            if (!entry_list(object["services"], path + ".services", entries,
                            &gatt_parser::service_entry)) {
                return false;
            }
            out.services = std::move(entries);
        }
        if (object.contains("characteristics")) {
            if (out.procedure != gatt_procedure::characteristics) {
                return only_for(path, "characteristics", "characteristics");
            }
            std::vector<ble_gattc_char_t> entries;
            if (!entry_list(object["characteristics"], path + ".characteristics", entries,
                            &gatt_parser::char_entry)) {
                return false;
            }
            out.chars = std::move(entries);
        }
        if (object.contains("data")) {
            if (out.procedure != gatt_procedure::read) return only_for(path, "data", "read");
            std::vector<uint8_t> bytes;
            if (!read_bytes(object["data"], path + ".data", max_read_data, bytes, error_)) {
                return false;
            }
            out.data = std::move(bytes);
        }
        return true;
    }

    template <typename entry>
    bool entry_list(const json& list, const std::string& path, std::vector<entry>& out,
                    bool (gatt_parser::*one)(const json&, const std::string&, entry&)) {
        if (!check_array(list, path, error_)) return false;
        if (list.size() > max_override_entries) {
            error_ = path + ": " + std::to_string(list.size()) + " entries, at most " +
                     std::to_string(max_override_entries);
            return false;
        }
        for (size_t i = 0; i < list.size(); ++i) {
            entry item{};
            if (!(this->*one)(list[i], indexed(path, i), item)) return false;
            out.push_back(item);
        }
        return true;
    }

    bool reported_uuid(const json& object, const std::string& path, ble_uuid_t& out) {
        uint32_t type = BLE_UUID_TYPE_BLE;
        if (object.contains("type") &&
            !read_number(object["type"], path + ".type", 0, 0xFF, type, error_)) {
            return false;
        }
        out.type = static_cast<uint8_t>(type);
        out.uuid = 0;
        return !object.contains("uuid") ||
               read_u16(object["uuid"], path + ".uuid", out.uuid, error_);
    }

    bool service_entry(const json& object, const std::string& path, ble_gattc_service_t& out) {
        if (!check_object(object, path, {"type", "uuid", "start", "end"}, error_)) return false;
        if (!reported_uuid(object, path, out.uuid)) return false;
        if (!object.contains("start")) return missing(path, "start");
        if (!object.contains("end")) return missing(path, "end");
        return read_u16(object["start"], path + ".start", out.handle_range.start_handle, error_) &&
               read_u16(object["end"], path + ".end", out.handle_range.end_handle, error_);
    }

    bool char_entry(const json& object, const std::string& path, ble_gattc_char_t& out) {
        if (!check_object(object, path, {"type", "uuid", "handle", "value_handle", "properties"},
                          error_)) {
            return false;
        }
        if (!reported_uuid(object, path, out.uuid)) return false;
        if (!object.contains("handle")) return missing(path, "handle");
        if (!read_u16(object["handle"], path + ".handle", out.handle_decl, error_)) return false;
        if (object.contains("value_handle")) {
            if (!read_u16(object["value_handle"], path + ".value_handle", out.handle_value,
                          error_)) {
                return false;
            }
        } else if (out.handle_decl == 0xFFFF) {
            error_ = path + ": a declaration at 0xFFFF needs an explicit value_handle";
            return false;
        } else {
            out.handle_value = static_cast<uint16_t>(out.handle_decl + 1);
        }
        uint8_t properties = gatt_prop_read;
        if (object.contains("properties") &&
            !read_properties(object["properties"], path + ".properties", properties, error_)) {
            return false;
        }
        out.char_props.broadcast = (properties & gatt_prop_broadcast) != 0;
        out.char_props.read = (properties & gatt_prop_read) != 0;
        out.char_props.write_wo_resp = (properties & gatt_prop_write_without_response) != 0;
        out.char_props.write = (properties & gatt_prop_write) != 0;
        out.char_props.notify = (properties & gatt_prop_notify) != 0;
        out.char_props.indicate = (properties & gatt_prop_indicate) != 0;
        out.char_props.auth_signed_wr = (properties & gatt_prop_authenticated_signed_writes) != 0;
        out.char_ext_props = (properties & gatt_prop_extended_properties) != 0;
        return true;
    }

    bool missing(const std::string& path, const char* key) {
        error_ = path + "." + key + ": missing";
        return false;
    }

    bool only_for(const std::string& path, const char* key, const char* procedure) {
        error_ = path + "." + key + ": only allowed with procedure \"" + procedure + "\"";
        return false;
    }

    const gatt_uuid& phone_;
    std::string& error_;
    handle_allocator handles_;
};

}  // namespace

bool phone_gatt::from_json(const json& value, const std::string& phone_uuid, phone_gatt& out,
                           std::string& error) {
    const std::string path = "gatt";
    gatt_uuid phone;
    if (!gatt_uuid::parse128(phone_uuid, phone)) {
        error =
            path + ": the phone's UUID \"" + phone_uuid.substr(0, 40) + "\" is not 32 hex digits";
        return false;
    }
    if (value.is_null()) {
        out = standard_profile(phone_uuid);
        return true;
    }
    if (!check_object(value, path, {"services", "cccd_writes", "challenge_answer", "overrides"},
                      error)) {
        return false;
    }
    gatt_parser parser(phone, error);
    std::vector<gatt_service_def> services;
    if (value.contains("services")) {
        if (!parser.services(value["services"], path + ".services", services)) return false;
    } else {
        services = standard_profile(phone_uuid).services();
    }
    phone_behaviour behaviour;
    if (!parser.behaviour(value, path, behaviour)) return false;
    std::vector<gatt_override> overrides;
    if (value.contains("overrides") &&
        !parser.overrides(value["overrides"], path + ".overrides", overrides)) {
        return false;
    }
    out = phone_gatt(std::move(services), std::move(behaviour), std::move(overrides));
    return true;
}

}  // namespace sim
