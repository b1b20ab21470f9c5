#include "sim/world/world.h"

#include <algorithm>
#include <chrono>

#include "platform/platform.h"
#include "sim/scenario/code_table.h"

namespace sim {
namespace {

// How long the event thread sleeps at most before looking at the clock again, in real
// time, so that a change of the clock's scale takes effect soon.
constexpr int64_t max_real_wait_us = 10000;
// Shorter waits are watched rather than slept: a sleep this short ends late by more than
// its own length.
constexpr int64_t max_watched_wait_us = platform::handover_watch_limit.count();
// Actions run under one hold of the lock before calls get a turn.
constexpr int actions_per_turn = 64;

}  // namespace

world::world(const scenario& s, uint64_t origin_tick, std::shared_ptr<trace_sink> trace,
             std::unique_ptr<air::air_capture> air)
    : scenario_(s),
      origin_tick_(origin_tick),
      trace_(std::move(trace)),
      air_(std::move(air)),
      world_chance_(random_stream::for_purpose(s.seed, "world")) {
    devices_.resize(scenario_.devices.size());
    for (size_t i = 0; i < devices_.size(); ++i) {
        device_state& d = devices_[i];
        d.config = &scenario_.devices[i];
        d.gatt = d.config->gatt;
        d.air = random_stream::for_purpose(scenario_.seed, "air " + d.config->name);
    }
    start_devices();
    schedule_faults();
}

void world::set_event_thread(std::thread::id id) {
    std::lock_guard<std::mutex> guard(lock_);
    event_thread_ = id;
}

void world::set_delivery_time(sim_us time) {
    std::lock_guard<std::mutex> guard(lock_);
    delivery_time_ = time;
}

void world::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_event_thread();
}

void world::wake_event_thread() {
    handover_.handed_over();
    wake_.notify_all();
}

bool world::stopped() {
    std::lock_guard<std::mutex> guard(lock_);
    return stop_;
}

sim_us world::clock_now() const {
    // In microseconds: a clock read in whole milliseconds would hold the world back to the
    // next millisecond before each action, and stamp every call with a millisecond.
    const uint64_t now = platform::tick_count_us();
    const uint64_t origin = origin_tick_ * us_per_ms;
    return now > origin ? static_cast<sim_us>(now - origin) : 0;
}

sim_us world::call_time() const {
    // A call the program makes while it handles an event happens at that event's time,
    // which keeps runs repeatable; other calls happen when the clock says.
    if (std::this_thread::get_id() == event_thread_) return delivery_time_;
    return std::max(clock_now(), schedule_.position());
}

bool world::next_batch(std::vector<outgoing>& out) {
    out.clear();
    std::unique_lock<std::mutex> guard(lock_);
    int actions = 0;
    for (;;) {
        // Read before looking, so that a call made after the look changes it.
        const uint64_t mark = receiver_.mark();
        if (stop_) return false;
        if (!outbox_.empty()) {
            out.swap(outbox_);
            return true;
        }
        if (actions >= actions_per_turn) return true;
        const sim_us now = clock_now();
        const sim_us next = schedule_.next_time();
        if (next <= now) {
            if (auto line = lag_.observe(now, now - next)) {
                queue_log(next, line->behind ? SD_RPC_LOG_WARNING : SD_RPC_LOG_INFO, line->text);
            }
            scheduler::action what = schedule_.pop();
            what();
            ++actions;
            continue;
        }
        const double scale = platform::time_scale();
        int64_t real_us = max_real_wait_us;
        if (next != never) {
            real_us = static_cast<int64_t>(static_cast<double>(next - now) / scale);
            real_us = std::clamp<int64_t>(real_us, 1, max_real_wait_us);
        }
        const auto called = [&] { return handover_.handed() != mark; };
        guard.unlock();
        // A short wait is watched whole: by its end the next action is due. A watch that
        // gives up early (another thread needs this processor) is followed by a sleep.
        const bool short_wait = real_us <= max_watched_wait_us;
        const bool came = short_wait
                              ? handover_.watch_for(called, std::chrono::microseconds(real_us))
                              : receiver_.watch(mark);
        guard.lock();
        if (came || (short_wait && clock_now() >= next)) continue;
        receiver_.sleep([&] { wake_.wait_for(guard, std::chrono::microseconds(real_us)); });
    }
}

void world::trace_call(sim_us now, const char* name, trace_json args, uint32_t result,
                       bool scripted) {
    if (!trace_->enabled()) return;
    trace_json line;
    line["t"] = to_ms(now);
    line["call"] = name;
    line["args"] = args.is_null() ? trace_json::object() : std::move(args);
    line["result"] = result;
    line["result_name"] = result_name(result);
    if (scripted) line["scripted"] = true;
    trace_->write(line);
}

void world::record_call(const char* name, trace_json args, uint32_t result) {
    std::lock_guard<std::mutex> guard(lock_);
    trace_call(call_time(), name, std::move(args), result, false);
}

std::optional<uint32_t> world::scripted_result(const std::string& name, sim_us now) {
    const uint32_t count = ++call_counts_[name];
    for (const fault_config& f : scenario_.faults) {
        if (f.type != fault_type::call_result || f.call != name) continue;
        if (f.nth) {
            if (count >= *f.nth && count - *f.nth < f.count) return f.result;
        } else if (window_active(f, now)) {
            return f.result;
        }
    }
    return std::nullopt;
}

void world::emit_event(sim_us time, wire::event_buffer event, trace_json extra) {
    // A stack that is not enabled (or a dongle that is gone) reports nothing.
    if (!rules_.is_enabled() || gone_) return;
    outgoing o;
    o.what = outgoing::kind::event;
    o.time = time;
    o.event = std::make_shared<wire::event_buffer>(std::move(event));
    if (trace_->enabled()) o.extra = std::move(extra);
    outbox_.push_back(std::move(o));
}

void world::note(sim_us time, trace_json what) {
    if (!trace_->enabled()) return;
    outgoing o;
    o.what = outgoing::kind::note;
    o.time = time;
    o.note = std::move(what);
    outbox_.push_back(std::move(o));
}

void world::post_log(sim_us time, int severity, const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        queue_log(time, severity, text);
    }
    wake_event_thread();
}

void world::post_status(sim_us time, int code, const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        queue_status(time, code, text);
    }
    wake_event_thread();
}

void world::queue_log(sim_us time, int severity, const std::string& text) {
    outgoing o;
    o.what = outgoing::kind::log;
    o.time = time;
    o.code = severity;
    o.text = text;
    outbox_.push_back(std::move(o));
}

void world::queue_status(sim_us time, int code, const std::string& text) {
    outgoing o;
    o.what = outgoing::kind::status;
    o.time = time;
    o.code = code;
    o.text = text;
    outbox_.push_back(std::move(o));
}

uint32_t world::cfg_set(uint32_t cfg_id, const ble_cfg_t* cfg) {
    const uint32_t result = rules_.check_cfg_set(cfg_id, cfg);
    if (result == NRF_SUCCESS) rules_.configured(cfg_id, *cfg);
    return result;
}

uint32_t world::enable() {
    const uint32_t result = rules_.check_enable();
    if (result != NRF_SUCCESS) return result;
    rules_.enabled();
    links_.assign(rules_.central_links(), std::nullopt);
    return NRF_SUCCESS;
}

uint32_t world::reset(sim_us now) {
    // A reset dongle forgets everything at once: no events for what it drops.
    if (air_) capture_links_gone(now);
    for (device_state& d : devices_) {
        if (d.link >= 0) d.gatt.on_disconnect();
        d.link = -1;
    }
    links_.clear();
    ++scan_serial_;
    initiator_ = initiator{};
    adv_ = adv_timing{};
    rules_.reset();
    queue_status(now, RESET_PERFORMED, "Target Reset performed");
    return NRF_SUCCESS;
}

}  // namespace sim
