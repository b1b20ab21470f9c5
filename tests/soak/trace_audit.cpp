#include "tests/soak/trace_audit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "driver/wire/hex_text.h"
#include "link/event_dispatcher.h"

namespace soak {
namespace {

using json = nlohmann::json;

constexpr int reason_local_host_terminated = 0x16;

// Only these lines matter; the rest (mostly advertising reports and scan resumes) are
// skipped before they are parsed.
const char* const wanted[] = {
    "\"call\":\"sd_ble_gap_connect\"",
    "\"call\":\"sd_ble_gap_scan_start\",\"args\":{\"scan_params\":{",
    "\"call\":\"sd_ble_gap_rssi_start\"",
    "\"event\":\"BLE_GAP_EVT_CONNECTED\"",
    "\"event\":\"BLE_GAP_EVT_DISCONNECTED\"",
    "\"event\":\"BLE_GATTC_EVT_READ_RSP\"",
    "\"event\":\"BLE_GATTC_EVT_TIMEOUT\"",
    "\"note\":",
    "\"log\":",
};

const char adv_report[] = "\"event\":\"BLE_GAP_EVT_ADV_REPORT\"";
const char adv_data[] = "\"data\":\"";
// The world's own lines about keeping up with its clock.
const char behind_text[] = "simulated world ";
const char behind_mark[] = " behind its clock";
const char caught_up_mark[] = "caught up with its clock";
const char worst_mark[] = ", by ";

bool is_wanted(const std::string& line) {
    for (const char* text : wanted) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

std::string ms_text(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000);
    return text;
}

// The UUID the program takes from an advertising report's line, if any: the data is read
// by the program's own rule.
bool report_uuid(const std::string& line, std::string& uuid) {
    const size_t from = line.find(adv_data);
    if (from == std::string::npos) return false;
    const size_t start = from + sizeof adv_data - 1;
    const size_t end = line.find('"', start);
    if (end == std::string::npos) return false;
    std::vector<uint8_t> data;
    if (!wire::parse_hex_bytes(line.substr(start, end - start), data)) return false;
    return find_uuid128(data.data(), static_cast<uint16_t>(std::min<size_t>(data.size(), 0xFFFF)),
                        uuid);
}

}  // namespace

class trace_audit::auditor {
  public:
    explicit auditor(const soak_plan& plan) : plan_(plan) {
        for (const phone_info& p : plan.phones) result_.phones[p.name];
    }

    void adv_report(const std::string& line, double t) {
        std::string uuid;
        if (report_uuid(line, uuid)) result_.uuids_seen.emplace(uuid, t);
    }

    void line(const json& j) {
        const double t = j.value("t", 0.0);
        if (j.contains("call")) return call(j, t);
        if (j.contains("note")) {
            ++result_.notes;
            return;
        }
        if (j.contains("log")) return log(j.value("message", ""));
        const std::string event = j.value("event", "");
        if (event == "BLE_GAP_EVT_CONNECTED") return connected(j, t);
        if (event == "BLE_GAP_EVT_DISCONNECTED") return disconnected(j, t);
        if (event == "BLE_GATTC_EVT_READ_RSP") return read_response(j, t);
        if (event == "BLE_GATTC_EVT_TIMEOUT") ++result_.gatt_timeouts;
    }

    audit_progress progress(double last_t) const {
        audit_progress p;
        p.t_ms = last_t;
        p.setups = result_.setups;
        for (const auto& entry : result_.disconnections_by_reason) p.disconnections += entry.second;
        p.phones_connected = static_cast<int>(live_.size());
        p.phones = static_cast<int>(plan_.phones.size());
        p.world_behind = world_behind_;
        return p;
    }

    audit_result finish(double last_t) {
        result_.last_t_ms = last_t;
        if (setup_started_ >= 0 && last_t - setup_started_ > setup_bound_ms) {
            ++result_.stuck_setups;
            fail("a set-up begun at " + ms_text(setup_started_) + " is still under way at the end");
        }
        for (const auto& entry : disconnections_) {
            for (double t : entry.second) check_return(entry.first, t, last_t);
        }
        return result_;
    }

  private:
    void call(const json& j, double t) {
        const std::string name = j.value("call", "");
        const json& args = j["args"];
        if (name == "sd_ble_gap_connect") {
            if (j.value("result", -1) != 0) return;
            if (setup_started_ >= 0) {
                fail("an attempt at " + ms_text(t) + " began while the set-up begun at " +
                     ms_text(setup_started_) + " was under way");
                end_setup(t);
            }
            setup_started_ = t;
            ++result_.setups;
        } else if (name == "sd_ble_gap_scan_start") {
            // The full start that follows an attempt is the set-up's end step.
            end_setup(t);
        } else if (name == "sd_ble_gap_rssi_start") {
            connection_record* c = live(args.value("conn_handle", -1));
            if (c != nullptr && c->setup_end_ms < 0) c->setup_end_ms = t;
        }
    }

    void end_setup(double t) {
        if (setup_started_ < 0) return;
        const double lasted = t - setup_started_;
        result_.max_setup_ms = std::max(result_.max_setup_ms, lasted);
        if (lasted > setup_bound_ms) {
            ++result_.stuck_setups;
            fail("the set-up begun at " + ms_text(setup_started_) + " lasted " + ms_text(lasted));
        }
        setup_started_ = -1;
    }

    void connected(const json& j, double t) {
        const std::string phone = j.value("phone", "");
        if (result_.phones.count(phone) == 0) return;  // a bystander
        connection_record c;
        c.handle = static_cast<uint16_t>(j.value("conn_handle", 0));
        c.number = j.value("connection", 0);
        c.start_ms = t;
        auto& list = result_.phones[phone].connections;
        list.push_back(c);
        ++result_.connections;
        live_[c.handle] = {phone, list.size() - 1};
    }

    void disconnected(const json& j, double t) {
        const int handle = j.value("conn_handle", -1);
        const auto found = live_.find(handle);
        if (found == live_.end()) return;
        const std::string phone = found->second.first;
        connection_record& c = result_.phones[phone].connections[found->second.second];
        live_.erase(found);
        c.end_ms = t;
        c.reason = j.value("reason", -1);
        ++result_.disconnections_by_reason[c.reason];
        phone_audit& audit = result_.phones[phone];
        if (c.reason == reason_local_host_terminated) {
            ++audit.forced_disconnects;
        } else {
            ++audit.faulty_disconnects;
        }
        disconnections_[phone].push_back(t);
    }

    void log(const std::string& message) {
        if (message.compare(0, sizeof behind_text - 1, behind_text) != 0) return;
        if (message.find(behind_mark) != std::string::npos) {
            ++result_.lag_warnings;
            world_behind_ = true;
            lag_seen(std::strtod(message.c_str() + sizeof behind_text - 1, nullptr));
        } else if (message.find(caught_up_mark) != std::string::npos) {
            world_behind_ = false;
            const size_t worst = message.rfind(worst_mark);
            if (worst != std::string::npos) {
                lag_seen(std::strtod(message.c_str() + worst + sizeof worst_mark - 1, nullptr));
            }
        }
    }

    void lag_seen(double seconds) {
        result_.worst_lag_ms = std::max(result_.worst_lag_ms, seconds * 1000);
    }

    void read_response(const json& j, double t) {
        if (j.value("gatt_status", -1) != 0) return;
        connection_record* c = live(j.value("conn_handle", -1));
        if (c != nullptr && c->setup_end_ms >= 0 && c->discovered_ms < 0) c->discovered_ms = t;
    }

    connection_record* live(int handle) {
        const auto found = live_.find(handle);
        if (found == live_.end()) return nullptr;
        return &result_.phones[found->second.first].connections[found->second.second];
    }

    // The deadline for a phone that lost its link at `t`: the bound, moved past every fault
    // window of the phone that it runs into.
    double deadline(const std::string& phone, double t) const {
        double until = t + reconnect_bound_ms;
        for (bool moved = true; moved;) {
            moved = false;
            for (const unavailable_window& w : plan_.windows) {
                if (w.phone != phone || w.spoils_connection) continue;
                if (w.from_ms <= until && w.until_ms >= t &&
                    w.until_ms + reconnect_bound_ms > until) {
                    until = w.until_ms + reconnect_bound_ms;
                    moved = true;
                }
            }
        }
        return until;
    }

    bool spoiled(const std::string& phone, const connection_record& c, double last_t) const {
        const double end = c.end_ms >= 0 ? c.end_ms : last_t;
        return std::any_of(plan_.windows.begin(), plan_.windows.end(),
                           [&](const unavailable_window& w) {
                               return w.phone == phone && w.spoils_connection && w.from_ms <= end &&
                                      w.until_ms >= c.start_ms;
                           });
    }

    void check_return(const std::string& phone, double lost_at, double last_t) {
        phone_audit& audit = result_.phones[phone];
        double until = deadline(phone, lost_at);
        for (const connection_record& c : audit.connections) {
            if (c.start_ms <= lost_at) continue;
            if (c.start_ms > until) break;
            if (c.discovered_ms >= 0 && c.discovered_ms <= until) {
                const double took = c.discovered_ms - lost_at;
                ++audit.returns;
                audit.total_return_ms += took;
                audit.max_return_ms = std::max(audit.max_return_ms, took);
                return;
            }
            if (spoiled(phone, c, last_t)) {
                // A connection the phone stopped answering owes nothing; the next one does.
                until = std::max(until, (c.end_ms >= 0 ? c.end_ms : last_t) + reconnect_bound_ms);
                continue;
            }
            // Lost again before it was discovered: that disconnection is checked on its own.
            if (c.end_ms >= 0 && c.end_ms <= until) {
                ++audit.lost_again;
                return;
            }
        }
        if (until >= last_t) {
            ++audit.open_at_end;  // the run ended before anything was owed
            return;
        }
        fail(phone + " lost its link at " + ms_text(lost_at) +
             " and was not connected and discovered again by " + ms_text(until));
    }

    void fail(const std::string& what) {
        // A run that goes wrong may go wrong thousands of times; the first ones tell.
        if (result_.failures.size() < 50) result_.failures.push_back(what);
    }

    const soak_plan plan_;  // a copy: the audit may outlive the plan it was given
    audit_result result_;
    double setup_started_ = -1;
    bool world_behind_ = false;
    std::map<int, std::pair<std::string, size_t>> live_;  // handle -> phone, connection index
    std::map<std::string, std::vector<double>> disconnections_;
};

trace_audit::trace_audit(const soak_plan& plan) : auditor_(std::make_unique<auditor>(plan)) {}

trace_audit::~trace_audit() = default;

void trace_audit::feed(const std::string& line) {
    ++lines_;
    // Every line begins {"t":<number>, which is all most lines are read for.
    if (line.compare(0, 5, "{\"t\":") == 0) last_t_ms_ = std::strtod(line.c_str() + 5, nullptr);
    if (line.find(adv_report) != std::string::npos) return auditor_->adv_report(line, last_t_ms_);
    if (!is_wanted(line)) return;
    const json j = json::parse(line, nullptr, false);
    if (j.is_discarded()) return;
    auditor_->line(j);
}

audit_progress trace_audit::progress() const {
    return auditor_->progress(last_t_ms_);
}

audit_result trace_audit::finish() {
    audit_result result = auditor_->finish(last_t_ms_);
    result.lines = lines_;
    return result;
}

audit_result audit_trace(std::istream& trace, const soak_plan& plan) {
    trace_audit audit(plan);
    std::string line;
    while (std::getline(trace, line)) audit.feed(line);
    return audit.finish();
}

}  // namespace soak
