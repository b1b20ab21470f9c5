#include "app/key_reader.h"

#include <cstdio>
#include <utility>

key_reader::key_reader(std::function<int()> source, std::function<void()> on_quit)
    : source_(std::move(source)), on_quit_(std::move(on_quit)) {}

key_reader::~key_reader() {
    // The reader ends by itself after the last key it reads; a key source that never ends
    // belongs to a run that ends the process instead of returning.
    platform::join_thread(thread_);
}

bool key_reader::is_quit(int key) {
    return key == EOF || key == 'q' || key == 'Q';
}

bool key_reader::ends_reading(int key) {
    // After 'r' the process ends: a key read past it would be read for nobody.
    return is_quit(key) || key == 'r';
}

bool key_reader::start() {
    thread_ = platform::start_thread(run, this);
    return thread_ != nullptr;
}

void key_reader::run(void* self) {
    platform::set_thread_name("orvette-keys");
    static_cast<key_reader*>(self)->read_keys();
}

void key_reader::read_keys() {
    for (;;) {
        const int key = source_();
        // Before the key is handed on: the run thread may be inside a command whose wait
        // only the quit ends.
        if (is_quit(key) && on_quit_) on_quit_();
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [this] { return keys_.size() < max_pending_keys; });
            keys_.push_back(key);
        }
        changed_.notify_all();
        if (ends_reading(key)) return;
    }
}

int key_reader::take() {
    if (thread_ == nullptr) return source_();
    int key;
    {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return !keys_.empty(); });
        key = keys_.front();
        keys_.pop_front();
    }
    changed_.notify_all();
    return key;
}
