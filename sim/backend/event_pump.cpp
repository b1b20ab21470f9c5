#include "sim/backend/event_pump.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/platform.h"

namespace sim {
namespace {

// How long stop() waits, in real time, for a callback in progress to return before it
// lets the thread finish on its own rather than hang the program's close.
constexpr auto callback_grace = std::chrono::seconds(10);

}  // namespace

struct event_pump::shared {
    std::shared_ptr<world> w;
    program_callbacks callbacks;
    std::shared_ptr<std::atomic<int>> log_filter;
    std::atomic<bool> stopping{false};
    std::mutex done_lock;
    std::condition_variable done_changed;
    bool done = false;
};

event_pump::event_pump(std::shared_ptr<world> w, program_callbacks callbacks,
                       std::shared_ptr<std::atomic<int>> log_filter)
    : shared_(std::make_shared<shared>()) {
    shared_->w = std::move(w);
    shared_->callbacks = callbacks;
    shared_->log_filter = std::move(log_filter);
}

event_pump::~event_pump() {
    if (on_event_thread()) {
        shared_->stopping = true;
        shared_->w->stop();
        thread_.detach();
        return;
    }
    stop();
}

bool event_pump::on_event_thread() const {
    return thread_.joinable() && std::this_thread::get_id() == thread_.get_id();
}

void event_pump::start() {
    std::shared_ptr<shared> s = shared_;
    thread_ = std::thread([s] { run(s); });
}

void event_pump::stop() {
    if (!thread_.joinable()) return;
    shared_->stopping = true;
    shared_->w->stop();
    if (on_event_thread()) return;
    bool finished = false;
    {
        std::unique_lock<std::mutex> guard(shared_->done_lock);
        finished =
            shared_->done_changed.wait_for(guard, callback_grace, [&] { return shared_->done; });
    }
    if (finished) {
        thread_.join();
    } else {
        // A callback has not returned (the program blocks in it): leave the thread to end
        // by itself; it starts no further callback.
        thread_.detach();
    }
}

void event_pump::run(std::shared_ptr<shared> s) {
    platform::set_thread_name("sim-events");
    s->w->set_event_thread(std::this_thread::get_id());
    std::vector<outgoing> batch;
    while (!s->stopping && s->w->next_batch(batch)) {
        for (outgoing& item : batch) {
            if (s->stopping) break;
            deliver(*s, item);
        }
    }
    {
        std::lock_guard<std::mutex> guard(s->done_lock);
        s->done = true;
    }
    s->done_changed.notify_all();
}

void event_pump::deliver(shared& s, outgoing& item) {
    world& w = *s.w;
    w.set_delivery_time(item.time);
    trace_sink& trace = w.trace();
    const program_callbacks& cb = s.callbacks;
    switch (item.what) {
        case outgoing::kind::event: {
            ble_evt_t* event = item.event->get();
            if (item.report_buffer != nullptr) {
                const size_t length =
                    std::min<size_t>(item.report_data.size(), item.report_buffer_len);
                if (length > 0) std::memcpy(item.report_buffer, item.report_data.data(), length);
            }
            if (trace.enabled()) {
                trace_json line;
                line["t"] = to_ms(item.time);
                line.update(describe_event(*event));
                if (item.extra.is_object()) line.update(item.extra);
                trace.write(line);
            }
            if (cb.event != nullptr) cb.event(cb.adapter, event);
            break;
        }
        case outgoing::kind::status:
            if (trace.enabled()) {
                trace.write(trace_json{
                    {"t", to_ms(item.time)}, {"status", item.code}, {"message", item.text}});
            }
            if (cb.status != nullptr) {
                cb.status(cb.adapter, static_cast<sd_rpc_app_status_t>(item.code),
                          item.text.c_str());
            }
            break;
        case outgoing::kind::log:
            if (item.code < s.log_filter->load()) break;
            if (trace.enabled()) {
                trace.write(trace_json{
                    {"t", to_ms(item.time)}, {"log", item.code}, {"message", item.text}});
            }
            if (cb.log != nullptr)
                cb.log(cb.adapter, static_cast<sd_rpc_log_severity_t>(item.code),
                       item.text.c_str());
            break;
        case outgoing::kind::note:
            trace.write(item.note);
            break;
    }
}

}  // namespace sim
