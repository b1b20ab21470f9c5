#include "tests/soak/soak_plan.h"

namespace soak {
namespace {

using json = nlohmann::json;

constexpr double first_round_ms = 60000;
// An attempt the phone never answers holds the set-up for the program's 65 s limit.
constexpr double connect_wait_limit_ms = 65000;
// A request the phone never answers ends in the stack's GATT time-out this much later.
constexpr double gatt_timeout_ms = 30000;

json fault(const std::string& type, const std::string& phone) {
    return json{{"type", type}, {"phone", phone}};
}

json hang_up(const std::string& phone, double at) {
    json f = fault("disconnect", phone);
    f["at_ms"] = at;
    f["reason"] = "0x13";
    return f;
}

// One round: `kind` strikes `phone` at `at`. The faults that act on connection attempts
// begin with the phone hanging up, so that an attempt is sure to meet them. Returns the
// windows the round makes.
std::vector<unavailable_window> add_round(json& faults, int kind, const std::string& phone,
                                          double at) {
    std::vector<unavailable_window> windows;
    switch (kind) {
        case 0: {  // walks out of range: the link is lost, nothing is heard for 45 s
            json f = fault("out_of_range", phone);
            f["from_ms"] = at;
            f["until_ms"] = at + 45000;
            faults.push_back(f);
            windows.push_back({phone, at, at + 45000, false, "out of range"});
            break;
        }
        case 1:    // hangs up and stops answering: the next set-up's discovery stalls
        case 5: {  // stops answering while connected: a keep-alive read times out
            if (kind == 1) faults.push_back(hang_up(phone, at));
            json f = fault("gatt_silent", phone);
            f["from_ms"] = at;
            f["until_ms"] = at + 40000;
            faults.push_back(f);
            windows.push_back({phone, at, at + 40000 + gatt_timeout_ms, true, "not answering"});
            break;
        }
        case 2: {  // hangs up; its connection attempts time out for 30 s
            faults.push_back(hang_up(phone, at));
            json f = fault("connect_timeout", phone);
            f["from_ms"] = at;
            f["until_ms"] = at + 30000;
            f["timeout_ms"] = 5000;
            faults.push_back(f);
            windows.push_back({phone, at, at + 30000, false, "connection time-outs"});
            break;
        }
        case 3: {  // hangs up; its attempts go unanswered for 70 s: one runs into the limit
            faults.push_back(hang_up(phone, at));
            json f = fault("connect_never", phone);
            f["from_ms"] = at;
            f["until_ms"] = at + connect_wait_limit_ms + 5000;
            faults.push_back(f);
            windows.push_back(
                {phone, at, at + connect_wait_limit_ms + 5000, false, "attempts never answered"});
            break;
        }
        case 4: {  // refuses the challenge's CCCD writes for a minute: it stays reachable
            json f = fault("cccd", phone);
            f["mode"] = "refuse";
            f["from_ms"] = at;
            f["until_ms"] = at + 60000;
            faults.push_back(f);
            break;
        }
        default: {  // hangs up, its next connection fails at once; a burst on the air
            faults.push_back(hang_up(phone, at));
            json failing = fault("connect_fail", phone);
            failing["from_ms"] = at;
            failing["until_ms"] = at + 5000;
            failing["attempts"] = 1;
            faults.push_back(failing);
            windows.push_back({phone, at, at + 5000, false, "connection fails"});
            faults.push_back(json{{"type", "adv_storm"},
                                  {"from_ms", at + 20000},
                                  {"until_ms", at + 30000},
                                  {"rate_per_s", 1000}});
            break;
        }
    }
    return windows;
}

}  // namespace

soak_plan make_plan(const json& world, double duration_ms, double time_scale,
                    const std::string& trace_path) {
    soak_plan plan;
    plan.scenario = world;
    plan.scenario["time_scale"] = time_scale;
    plan.scenario["trace"] = trace_path;
    for (const json& phone : world.at("phones")) {
        plan.phones.push_back(
            {phone.at("name").get<std::string>(), phone.at("uuid").get<std::string>()});
    }
    json& faults = plan.scenario["faults"];
    if (faults.is_null()) faults = json::array();

    const int phone_count = static_cast<int>(plan.phones.size());
    for (double at = first_round_ms; at + 60000 < duration_ms; at += round_period_ms) {
        const int round = plan.rounds++;
        const int kind = round % fault_kinds;
        // Phones shift by one every full turn of the kinds, so each meets every kind.
        const int phone_index = (round + round / fault_kinds) % phone_count;
        const std::string& phone = plan.phones[static_cast<size_t>(phone_index)].name;
        for (auto& w : add_round(faults, kind, phone, at)) plan.windows.push_back(w);
    }

    // Hang-ups in the middle of discovery, by connection number: the phone answers a few
    // requests of its set-up and then ends the link. The numbers are spread so that short
    // runs meet some too.
    for (int p = 0; p < phone_count; ++p) {
        for (int connection = 2 + p % 3; connection <= 400; connection += 5) {
            json f = fault("disconnect", plan.phones[static_cast<size_t>(p)].name);
            f["connection"] = connection;
            f["after_requests"] = 1 + (connection + p) % 6;
            f["reason"] = "0x13";
            faults.push_back(f);
            ++plan.hang_ups_planned;
        }
    }
    return plan;
}

}  // namespace soak
