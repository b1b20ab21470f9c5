#include "hci/host/event_delivery.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace hci {
namespace {

// How long stop() waits, in real time, for a callback in progress to return before it
// lets the thread finish on its own rather than hang the program's close.
constexpr auto callback_grace = std::chrono::seconds(10);

}  // namespace

struct event_delivery::shared {
    program_callbacks callbacks;
    std::shared_ptr<std::atomic<int>> log_filter;
    mutable std::mutex lock;
    std::condition_variable changed;
    std::deque<delivery_item> items;
    bool stopping = false;
    bool done = false;
};

event_delivery::event_delivery(program_callbacks callbacks,
                               std::shared_ptr<std::atomic<int>> log_filter)
    : shared_(std::make_shared<shared>()) {
    shared_->callbacks = callbacks;
    shared_->log_filter = std::move(log_filter);
}

event_delivery::~event_delivery() {
    if (on_event_thread()) {
        {
            std::lock_guard<std::mutex> guard(shared_->lock);
            shared_->stopping = true;
        }
        shared_->changed.notify_all();
        thread_.detach();
        return;
    }
    stop();
}

bool event_delivery::on_event_thread() const {
    return thread_.joinable() && std::this_thread::get_id() == thread_.get_id();
}

void event_delivery::start() {
    std::shared_ptr<shared> s = shared_;
    thread_ = std::thread([s] { run(s); });
}

void event_delivery::post(delivery_item item) {
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (shared_->stopping) return;
        shared_->items.push_back(std::move(item));
    }
    shared_->changed.notify_all();
}

void event_delivery::post_event(wire::event_buffer event) {
    delivery_item item;
    item.what = delivery_item::kind::event;
    item.event = std::make_shared<wire::event_buffer>(std::move(event));
    post(std::move(item));
}

void event_delivery::post_status(sd_rpc_app_status_t code, const std::string& text) {
    delivery_item item;
    item.what = delivery_item::kind::status;
    item.code = static_cast<int>(code);
    item.text = text;
    post(std::move(item));
}

void event_delivery::post_log(sd_rpc_log_severity_t severity, const std::string& text) {
    delivery_item item;
    item.what = delivery_item::kind::log;
    item.code = static_cast<int>(severity);
    item.text = text;
    post(std::move(item));
}

size_t event_delivery::backlog() const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->items.size();
}

void event_delivery::deliver_queued() {
    if (thread_.joinable()) return;
    for (;;) {
        delivery_item item;
        {
            std::lock_guard<std::mutex> guard(shared_->lock);
            if (shared_->stopping || shared_->items.empty()) return;
            item = std::move(shared_->items.front());
            shared_->items.pop_front();
        }
        deliver(*shared_, item);
    }
}

void event_delivery::stop() {
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        shared_->stopping = true;
        // Without the thread nobody else would drop them.
        if (!thread_.joinable()) shared_->items.clear();
    }
    if (!thread_.joinable()) return;
    shared_->changed.notify_all();
    if (on_event_thread()) return;
    bool finished = false;
    {
        std::unique_lock<std::mutex> guard(shared_->lock);
        finished = shared_->changed.wait_for(guard, callback_grace, [&] { return shared_->done; });
    }
    if (finished) {
        thread_.join();
    } else {
        // A callback has not returned (the program blocks in it): leave the thread to end
        // by itself; it starts no further callback.
        thread_.detach();
    }
}

void event_delivery::run(const std::shared_ptr<shared>& s) {
    for (;;) {
        delivery_item item;
        {
            std::unique_lock<std::mutex> guard(s->lock);
            s->changed.wait(guard, [&] { return s->stopping || !s->items.empty(); });
            if (s->stopping) break;
            item = std::move(s->items.front());
            s->items.pop_front();
        }
        deliver(*s, item);
    }
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->done = true;
        s->items.clear();
    }
    s->changed.notify_all();
}

void event_delivery::deliver(const shared& s, delivery_item& item) {
    const program_callbacks& cb = s.callbacks;
    switch (item.what) {
        case delivery_item::kind::event:
            if (item.report_buffer != nullptr) {
                const size_t length =
                    std::min<size_t>(item.report_data.size(), item.report_buffer_len);
                if (length > 0) std::memcpy(item.report_buffer, item.report_data.data(), length);
            }
            if (cb.event != nullptr) cb.event(cb.adapter, item.event->get());
            break;
        case delivery_item::kind::status:
            if (cb.status != nullptr) {
                cb.status(cb.adapter, static_cast<sd_rpc_app_status_t>(item.code),
                          item.text.c_str());
            }
            break;
        case delivery_item::kind::log:
            if (item.code < s.log_filter->load()) break;
            if (cb.log != nullptr) {
                cb.log(cb.adapter, static_cast<sd_rpc_log_severity_t>(item.code),
                       item.text.c_str());
            }
            break;
    }
}

}  // namespace hci
