#include "sim/scenario/scenario_loader.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "driver/nrf_error.h"
#include "driver/wire/hex_text.h"
#include "driver/wire/printable_text.h"
#include "platform/regular_file.h"
#include "sim/scenario/ad_data.h"
#include "sim/scenario/fault_readers.h"
#include "sim/scenario/scenario_reader.h"
#include "sim/world/random.h"

namespace sim {
namespace {

using json = nlohmann::json;

class loader {
  public:
    loader(std::string source, scenario& out) : source_(std::move(source)), out_(out) {}

    bool run(const json& doc, std::string& error) {
        const bool ok = read_document(doc);
        if (!ok) {
            error = "scenario " + wire::printable_text(source_) + ": " + r_.error();
            return false;
        }
        scenario_.source = source_;
        out_ = std::move(scenario_);
        return true;
    }

  private:
    bool read_document(const json& doc) {
        if (!r_.object(doc, "",
                       {"$schema", "name", "description", "seed", "time_scale", "trace", "pcap",
                        "pcap_empty_pdus", "phones", "advertisers", "faults"})) {
            return false;
        }
        // Names the schema for editors; the loader checks the file itself.
        std::string ignored;
        if (doc.contains("$schema") && !r_.text(doc["$schema"], "$schema", ignored)) return false;
        if (doc.contains("name") && !r_.text(doc["name"], "name", scenario_.name)) return false;
        if (doc.contains("description") && !r_.text(doc["description"], "description", ignored)) {
            return false;
        }
        if (doc.contains("seed") && !r_.unsigned_integer(doc["seed"], "seed", scenario_.seed)) {
            return false;
        }
        if (doc.contains("time_scale")) {
            double scale = 1;
            if (!r_.number(doc["time_scale"], "time_scale", 0.01, 1000, scale)) return false;
            scenario_.time_scale = scale;
        }
        if (doc.contains("trace")) {
            if (!r_.text(doc["trace"], "trace", scenario_.trace_path)) return false;
            if (scenario_.trace_path.empty()) return r_.fail("trace", "must name a file");
        }
        if (doc.contains("pcap")) {
            if (!r_.text(doc["pcap"], "pcap", scenario_.pcap_path)) return false;
            if (scenario_.pcap_path.empty()) return r_.fail("pcap", "must name a file");
        }
        if (doc.contains("pcap_empty_pdus") &&
            !r_.boolean(doc["pcap_empty_pdus"], "pcap_empty_pdus", scenario_.pcap_empty_pdus)) {
            return false;
        }
        if (doc.contains("phones")) {
            const json& list = doc["phones"];
            if (!r_.array(list, "phones")) return false;
            for (size_t i = 0; i < list.size(); ++i) {
                if (!read_phone(list[i], index_path("phones", i))) return false;
            }
        }
        if (doc.contains("advertisers")) {
            const json& list = doc["advertisers"];
            if (!r_.array(list, "advertisers")) return false;
            for (size_t i = 0; i < list.size(); ++i) {
                if (!read_advertiser(list[i], index_path("advertisers", i))) return false;
            }
        }
        if (doc.contains("faults")) {
            const json& list = doc["faults"];
            if (!r_.array(list, "faults")) return false;
            fault_readers faults(r_, scenario_, [this](const json& v, const std::string& path) {
                return read_storm(v, path);
            });
            for (size_t i = 0; i < list.size(); ++i) {
                if (!faults.read(list[i], index_path("faults", i))) return false;
            }
        }
        return true;
    }

    // Name, address and advertising timing, shared by phones and bystanders.
    bool read_identity(const json& v, const std::string& path, const std::string& default_name,
                       device_config& d) {
        d.name = default_name;
        if (v.contains("name")) {
            if (!r_.text(v["name"], key_path(path, "name"), d.name)) return false;
            if (d.name.empty() || d.name.size() > 64) {
                return r_.fail(key_path(path, "name"), "must be 1 to 64 characters");
            }
        }
        if (!names_.insert(d.name).second) {
            return r_.fail(key_path(path, "name"), "\"" + d.name + "\" is used twice");
        }
        if (v.contains("address")) {
            std::string text;
            if (!r_.text(v["address"], key_path(path, "address"), text)) return false;
            if (!wire::parse_address(text, d.address)) {
                return r_.fail(
                    key_path(path, "address"),
                    "must be six hex bytes joined by ':', e.g. \"C0:11:22:33:44:55\", not \"" +
                        text + "\"");
            }
        } else {
            d.address = derived_address(d.name);
        }
        d.address_type = 1;
        if (v.contains("address_type")) {
            std::string type;
            if (!r_.text(v["address_type"], key_path(path, "address_type"), type)) return false;
            if (type == "public") {
                d.address_type = 0;
            } else if (type != "random_static") {
                return r_.fail(key_path(path, "address_type"),
                               "must be \"public\" or \"random_static\", not \"" + type + "\"");
            }
        }
        if (d.address_type == 1 && (d.address[5] & 0xC0) != 0xC0) {
            return r_.fail(key_path(path, "address"),
                           "a random static address has its two top bits set (first digit C to F)");
        }
        if (!addresses_.insert(wire::address_text(d.address.data())).second) {
            return r_.fail(key_path(path, "address"),
                           wire::address_text(d.address.data()) + " is used twice");
        }
        if (v.contains("adv_interval_ms") &&
            !r_.time_ms(v["adv_interval_ms"], key_path(path, "adv_interval_ms"), 20, 10240,
                        d.adv_interval)) {
            return false;
        }
        if (v.contains("adv_start_ms") &&
            !r_.time_ms(v["adv_start_ms"], key_path(path, "adv_start_ms"), 0, max_time_ms,
                        d.adv_start)) {
            return false;
        }
        if (v.contains("adv_stop_ms")) {
            if (!r_.time_ms(v["adv_stop_ms"], key_path(path, "adv_stop_ms"), 0, max_time_ms,
                            d.adv_stop)) {
                return false;
            }
            if (d.adv_stop <= d.adv_start) {
                return r_.fail(key_path(path, "adv_stop_ms"), "must be later than adv_start_ms");
            }
        }
        if (v.contains("rssi") && !read_rssi(v["rssi"], key_path(path, "rssi"), d.rssi))
            return false;
        return true;
    }

    address_bytes derived_address(const std::string& name) {
        random_stream stream = random_stream::for_purpose(scenario_.seed, "address " + name);
        const uint64_t bits = stream.next();
        address_bytes a{};
        for (int i = 0; i < 6; ++i) a[i] = static_cast<uint8_t>(bits >> (8 * i));
        a[5] |= 0xC0;  // random static
        return a;
    }

    bool read_rssi(const json& v, const std::string& path, rssi_track& out) {
        rssi_track track;
        if (v.is_number()) {
            int64_t dbm = 0;
            if (!r_.integer(v, path, -127, 20, dbm)) return false;
            track.points = {{0, static_cast<int>(dbm)}};
            out = track;
            return true;
        }
        if (!r_.object(v, path, {"dbm", "track", "repeat_ms", "noise_db"})) return false;
        if (v.contains("dbm") == v.contains("track")) {
            return r_.fail(
                path, "give either \"dbm\" (a steady level) or \"track\" (a list of [ms, dBm])");
        }
        if (v.contains("dbm")) {
            int64_t dbm = 0;
            if (!r_.integer(v["dbm"], key_path(path, "dbm"), -127, 20, dbm)) return false;
            track.points = {{0, static_cast<int>(dbm)}};
        } else {
            const std::string track_path = key_path(path, "track");
            const json& list = v["track"];
            if (!r_.array(list, track_path)) return false;
            if (list.empty()) return r_.fail(track_path, "needs at least one [ms, dBm] point");
            track.points.clear();
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string p = index_path(track_path, i);
                if (!list[i].is_array() || list[i].size() != 2) {
                    return r_.fail(p, "must be a pair [ms, dBm]");
                }
                sim_us at = 0;
                int64_t dbm = 0;
                if (!r_.time_ms(list[i][0], p + "[0]", 0, max_time_ms, at)) return false;
                if (!r_.integer(list[i][1], p + "[1]", -127, 20, dbm)) return false;
                if (!track.points.empty() && at <= track.points.back().first) {
                    return r_.fail(p + "[0]", "times must increase along the track");
                }
                track.points.emplace_back(at, static_cast<int>(dbm));
            }
        }
        if (v.contains("repeat_ms")) {
            if (!r_.time_ms(v["repeat_ms"], key_path(path, "repeat_ms"), 1, max_time_ms,
                            track.repeat)) {
                return false;
            }
            if (track.repeat < track.points.back().first) {
                return r_.fail(key_path(path, "repeat_ms"),
                               "must not be earlier than the track's last point");
            }
        }
        if (v.contains("noise_db")) {
            int64_t noise = 0;
            if (!r_.integer(v["noise_db"], key_path(path, "noise_db"), 0, 40, noise)) return false;
            track.noise_db = static_cast<int>(noise);
        }
        out = track;
        return true;
    }

    bool read_latency(const json& v, const std::string& path, device_config& d) {
        int64_t low = 0;
        int64_t high = 0;
        if (v.is_array()) {
            if (v.size() != 2)
                return r_.fail(path, "must be a number of connection events or a pair [min, max]");
            if (!r_.integer(v[0], path + "[0]", 1, 16, low) ||
                !r_.integer(v[1], path + "[1]", 1, 16, high)) {
                return false;
            }
            if (high < low) return r_.fail(path, "the maximum is below the minimum");
        } else {
            if (!r_.integer(v, path, 1, 16, low)) return false;
            high = low;
        }
        d.latency_min = static_cast<uint32_t>(low);
        d.latency_max = static_cast<uint32_t>(high);
        return true;
    }

    bool read_conn_param_request(const json& v, const std::string& path, device_config& d) {
        if (!r_.object(v, path,
                       {"after_connect_ms", "min_interval", "max_interval", "slave_latency",
                        "sup_timeout"})) {
            return false;
        }
        conn_param_request_config c;
        int64_t n = 0;
        if (v.contains("after_connect_ms") &&
            !r_.time_ms(v["after_connect_ms"], key_path(path, "after_connect_ms"), 0, max_time_ms,
                        c.after_connect)) {
            return false;
        }
        if (v.contains("min_interval")) {
            if (!r_.integer(v["min_interval"], key_path(path, "min_interval"), 6, 3200, n))
                return false;
            c.min_interval = static_cast<uint16_t>(n);
        }
        if (v.contains("max_interval")) {
            if (!r_.integer(v["max_interval"], key_path(path, "max_interval"), 6, 3200, n))
                return false;
            c.max_interval = static_cast<uint16_t>(n);
        }
        if (v.contains("slave_latency")) {
            if (!r_.integer(v["slave_latency"], key_path(path, "slave_latency"), 0, 499, n))
                return false;
            c.slave_latency = static_cast<uint16_t>(n);
        }
        if (v.contains("sup_timeout")) {
            if (!r_.integer(v["sup_timeout"], key_path(path, "sup_timeout"), 10, 3200, n))
                return false;
            c.sup_timeout = static_cast<uint16_t>(n);
        }
        if (c.max_interval < c.min_interval) {
            return r_.fail(key_path(path, "max_interval"), "is below min_interval");
        }
        // The link must survive a few missed events: the supervision time-out has to exceed
        // (1 + latency) * interval * 2.
        if (static_cast<int64_t>(c.sup_timeout) * 10000 <=
            (1 + static_cast<int64_t>(c.slave_latency)) * c.max_interval * 1250 * 2) {
            return r_.fail(key_path(path, "sup_timeout"),
                           "is too short for max_interval and slave_latency");
        }
        d.conn_param_request = c;
        return true;
    }

    // "data" (fields) or "data_hex" (raw bytes, malformed on purpose if wanted).
    bool read_air_data(const json& v, const std::string& path, device_config& d) {
        if (v.contains("data") && v.contains("data_hex")) {
            return r_.fail(key_path(path, "data_hex"),
                           "give either \"data\" or \"data_hex\", not both");
        }
        if (v.contains("data_hex")) {
            std::string text;
            const std::string p = key_path(path, "data_hex");
            if (!r_.text(v["data_hex"], p, text)) return false;
            if (!wire::parse_hex_bytes(text, d.adv_data))
                return r_.fail(p, "must be pairs of hex digits");
            if (d.adv_data.size() > 255) return r_.fail(p, "is longer than 255 bytes");
            return true;
        }
        ad_fields fields;
        fields.flags.reset();
        if (v.contains("data")) {
            const std::string p = key_path(path, "data");
            const json& data = v["data"];
            if (!r_.object(data, p,
                           {"flags", "uuid16", "uuid128", "uuid128_incomplete", "name",
                            "manufacturer", "tx_power"})) {
                return false;
            }
            int64_t n = 0;
            if (data.contains("flags")) {
                if (!r_.integer(data["flags"], key_path(p, "flags"), 0, 255, n)) return false;
                fields.flags = static_cast<uint8_t>(n);
            }
            if (data.contains("uuid16")) {
                const std::string lp = key_path(p, "uuid16");
                if (!r_.array(data["uuid16"], lp)) return false;
                for (size_t i = 0; i < data["uuid16"].size(); ++i) {
                    if (!r_.integer(data["uuid16"][i], index_path(lp, i), 0, 0xFFFF, n))
                        return false;
                    fields.uuid16.push_back(static_cast<uint16_t>(n));
                }
            }
            for (const char* key : {"uuid128", "uuid128_incomplete"}) {
                if (!data.contains(key)) continue;
                const std::string lp = key_path(p, key);
                if (!r_.array(data[key], lp)) return false;
                for (size_t i = 0; i < data[key].size(); ++i) {
                    std::string text;
                    uuid128_bytes u{};
                    if (!r_.text(data[key][i], index_path(lp, i), text)) return false;
                    if (!wire::parse_uuid128(text, u)) {
                        return r_.fail(index_path(lp, i),
                                       "must be 32 hex digits, not \"" + text + "\"");
                    }
                    (std::string(key) == "uuid128" ? fields.uuid128 : fields.uuid128_incomplete)
                        .push_back(u);
                }
            }
            if (data.contains("name") && !r_.text(data["name"], key_path(p, "name"), fields.name)) {
                return false;
            }
            if (data.contains("manufacturer")) {
                std::string text;
                if (!r_.text(data["manufacturer"], key_path(p, "manufacturer"), text)) return false;
                if (!wire::parse_hex_bytes(text, fields.manufacturer) ||
                    fields.manufacturer.size() < 2) {
                    return r_.fail(key_path(p, "manufacturer"),
                                   "must be hex bytes, the company ID (2 bytes) first");
                }
            }
            if (data.contains("tx_power")) {
                if (!r_.integer(data["tx_power"], key_path(p, "tx_power"), -127, 20, n))
                    return false;
                fields.tx_power = static_cast<int8_t>(n);
            }
        }
        d.adv_data = build_ad(fields);
        if (d.adv_data.size() > 31) {
            return r_.fail(key_path(path, "data"),
                           "makes " + std::to_string(d.adv_data.size()) +
                               " bytes, more than the 31 of an advertisement (use data_hex to send "
                               "malformed data on purpose)");
        }
        return true;
    }

    bool read_phone(const json& v, const std::string& path) {
        if (!r_.object(v, path,
                       {"name", "uuid", "address", "address_type", "adv_interval_ms",
                        "adv_start_ms", "adv_stop_ms", "advertise_while_connected", "local_name",
                        "data_hex", "rssi", "response_latency", "conn_param_request", "gatt"})) {
            return false;
        }
        device_config d;
        d.is_phone = true;
        d.connectable = true;
        if (!v.contains("uuid")) return r_.fail(key_path(path, "uuid"), "is missing");
        uuid128_bytes uuid{};
        if (!r_.text(v["uuid"], key_path(path, "uuid"), d.uuid)) return false;
        if (d.uuid.size() != 32 || !wire::parse_uuid128(d.uuid, uuid)) {
            return r_.fail(key_path(path, "uuid"),
                           "must be 32 hex digits without dashes, not \"" + d.uuid + "\"");
        }
        if (!read_identity(v, path, "phone-" + std::to_string(phone_count_ + 1), d)) return false;
        if (v.contains("advertise_while_connected") &&
            !r_.boolean(v["advertise_while_connected"], key_path(path, "advertise_while_connected"),
                        d.advertise_while_connected)) {
            return false;
        }
        if (v.contains("data_hex")) {
            if (v.contains("local_name")) {
                return r_.fail(key_path(path, "local_name"), "cannot go with data_hex");
            }
            if (!read_air_data(v, path, d)) return false;
        } else {
            ad_fields fields;
            fields.uuid128.push_back(uuid);
            if (v.contains("local_name") &&
                !r_.text(v["local_name"], key_path(path, "local_name"), fields.name)) {
                return false;
            }
            d.adv_data = build_ad(fields);
            if (d.adv_data.size() > 31) {
                return r_.fail(
                    key_path(path, "local_name"),
                    "is too long: with the UUID the advertisement would exceed 31 bytes");
            }
        }
        if (v.contains("response_latency") &&
            !read_latency(v["response_latency"], key_path(path, "response_latency"), d)) {
            return false;
        }
        if (v.contains("conn_param_request") &&
            !read_conn_param_request(v["conn_param_request"], key_path(path, "conn_param_request"),
                                     d)) {
            return false;
        }
        if (v.contains("gatt")) {
            std::string problem;
            if (!phone_gatt::from_json(v["gatt"], d.uuid, d.gatt, problem)) {
                return r_.fail_raw(path + "." + problem);
            }
        } else {
            d.gatt = phone_gatt::standard_profile(d.uuid);
        }
        ++phone_count_;
        scenario_.devices.push_back(std::move(d));
        return true;
    }

    bool read_advertiser(const json& v, const std::string& path) {
        if (!r_.object(v, path,
                       {"name", "address", "address_type", "adv_interval_ms", "adv_start_ms",
                        "adv_stop_ms", "connectable", "data", "data_hex", "rssi", "count"})) {
            return false;
        }
        int64_t count = 1;
        if (v.contains("count") &&
            !r_.integer(v["count"], key_path(path, "count"), 1, 1000, count)) {
            return false;
        }
        if (count > 1 && v.contains("address")) {
            return r_.fail(key_path(path, "address"), "cannot be given with a count above 1");
        }
        std::string base_name = "advertiser-" + std::to_string(advertiser_count_ + 1);
        if (v.contains("name") && !r_.text(v["name"], key_path(path, "name"), base_name))
            return false;
        for (int64_t i = 0; i < count; ++i) {
            device_config d;
            d.connectable = false;
            json one = v;
            one.erase("count");
            if (count > 1) one["name"] = base_name + "-" + std::to_string(i + 1);
            if (!read_identity(one, path, base_name, d)) return false;
            if (v.contains("connectable") &&
                !r_.boolean(v["connectable"], key_path(path, "connectable"), d.connectable)) {
                return false;
            }
            if (!read_air_data(v, path, d)) return false;
            ++advertiser_count_;
            scenario_.devices.push_back(std::move(d));
        }
        return true;
    }

    bool read_storm(const json& v, const std::string& path) {
        if (!r_.object(v, path,
                       {"type", "from_ms", "until_ms", "rate_per_s", "data", "data_hex", "rssi"})) {
            return false;
        }
        device_config d;
        d.name = "storm-" + std::to_string(++storm_count_);
        d.connectable = false;
        d.fresh_address_each_event = true;
        d.address = derived_address(d.name);
        if (!v.contains("from_ms")) return r_.fail(key_path(path, "from_ms"), "is missing");
        if (!r_.time_ms(v["from_ms"], key_path(path, "from_ms"), 0, max_time_ms, d.adv_start))
            return false;
        if (v.contains("until_ms")) {
            if (!r_.time_ms(v["until_ms"], key_path(path, "until_ms"), 0, max_time_ms,
                            d.adv_stop)) {
                return false;
            }
            if (d.adv_stop <= d.adv_start)
                return r_.fail(key_path(path, "until_ms"), "must be later than from_ms");
        }
        if (!v.contains("rate_per_s")) return r_.fail(key_path(path, "rate_per_s"), "is missing");
        double rate = 0;
        if (!r_.number(v["rate_per_s"], key_path(path, "rate_per_s"), 1, 100000, rate))
            return false;
        d.adv_interval = static_cast<sim_us>(1e6 / rate);
        if (d.adv_interval < 1) d.adv_interval = 1;
        d.adv_delay_max = d.adv_interval / 4;
        if (v.contains("rssi") && !read_rssi(v["rssi"], key_path(path, "rssi"), d.rssi))
            return false;
        if (!v.contains("rssi")) d.rssi.points = {{0, -75}};
        if (!read_air_data(v, path, d)) return false;
        if (!v.contains("data") && !v.contains("data_hex")) {
            ad_fields fields;
            fields.uuid16.push_back(0xFEAA);
            d.adv_data = build_ad(fields);
        }
        scenario_.devices.push_back(std::move(d));
        return true;
    }

    std::string source_;
    scenario& out_;
    scenario scenario_;
    scenario_reader r_;
    std::set<std::string> names_;
    std::set<std::string> addresses_;
    int phone_count_ = 0;
    int advertiser_count_ = 0;
    int storm_count_ = 0;
};

}  // namespace

const std::vector<std::string>& driver_call_names() {
    static const std::vector<std::string> names = {
        "sd_rpc_open",
        "sd_rpc_close",
        "sd_rpc_conn_reset",
        "sd_rpc_log_handler_severity_filter_set",
        "sd_ble_cfg_set",
        "sd_ble_enable",
        "sd_ble_gap_scan_start",
        "sd_ble_gap_scan_stop",
        "sd_ble_gap_adv_set_configure",
        "sd_ble_gap_adv_start",
        "sd_ble_gap_adv_stop",
        "sd_ble_gap_connect",
        "sd_ble_gap_connect_cancel",
        "sd_ble_gap_disconnect",
        "sd_ble_gap_conn_param_update",
        "sd_ble_gap_rssi_start",
        "sd_ble_gattc_primary_services_discover",
        "sd_ble_gattc_characteristics_discover",
        "sd_ble_gattc_descriptors_discover",
        "sd_ble_gattc_read",
        "sd_ble_gattc_write",
    };
    return names;
}

bool load_scenario_json(const nlohmann::json& document, const std::string& source, scenario& out,
                        std::string& error) {
    loader l(source, out);
    return l.run(document, error);
}

bool load_scenario_text(const std::string& text, const std::string& source, scenario& out,
                        std::string& error) {
    json document;
    try {
        document = json::parse(text, nullptr, true, /*ignore_comments=*/true);
    } catch (const json::exception& e) {
        // e.what() reads "[json.exception.parse_error.101] parse error at line 3, column 5: ...";
        // a number too large for a double ("1e999") is an out_of_range error of the parser,
        // not a parse_error, and must be refused the same way.
        std::string what = e.what();
        size_t at = what.find("parse error");
        if (at == std::string::npos) {
            const size_t tag_end = what.find("] ");
            at = tag_end == std::string::npos ? 0 : tag_end + 2;
        }
        error = "scenario " + wire::printable_text(source) + ": not valid JSON: " + what.substr(at);
        return false;
    }
    return load_scenario_json(document, source, out, error);
}

namespace {

// What stands behind a name that is not a regular file, for the message that refuses it.
const char* kind_of_non_file(std::filesystem::file_type type) {
    switch (type) {
        case std::filesystem::file_type::directory:
            return "a directory";
        case std::filesystem::file_type::character:
        case std::filesystem::file_type::block:
            return "a device";
        case std::filesystem::file_type::fifo:
            return "a FIFO";
        case std::filesystem::file_type::socket:
            return "a socket";
        default:
            return "something";
    }
}

}  // namespace

bool load_scenario_file(const std::string& path, scenario& out, std::string& error,
                        bool* unreadable) {
    // The path came from the command line: named as every line names a port.
    const std::string prefix = "scenario " + wire::printable_text(path) + ": ";
    if (unreadable != nullptr) *unreadable = true;
    // Looked at before the open, which could block (a FIFO) or have effects (a device).
    std::error_code ignored;
    const std::filesystem::file_type type = std::filesystem::status(path, ignored).type();
    const bool exists =
        type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
    if (exists && type != std::filesystem::file_type::regular) {
        error = prefix + "cannot open the file: it is " + kind_of_non_file(type) +
                ", not a regular file";
        return false;
    }
    std::string text;
    switch (platform::read_regular_file(path, max_scenario_file_bytes, text)) {
        case platform::file_read_status::ok:
            break;
        case platform::file_read_status::cannot_open:
            error = prefix + "cannot open the file";
            return false;
        case platform::file_read_status::not_regular:
            error = prefix + "cannot open the file: it is not a regular file";
            return false;
        case platform::file_read_status::too_large:
            error = prefix + "cannot read the file: it is larger than 16 MB (" +
                    std::to_string(max_scenario_file_bytes) + " bytes)";
            return false;
        case platform::file_read_status::read_failed:
            error = prefix + "cannot read the file";
            return false;
    }
    if (unreadable != nullptr) *unreadable = false;
    return load_scenario_text(text, path, out, error);
}

}  // namespace sim
