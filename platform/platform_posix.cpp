// POSIX side of the platform layer: event objects on a mutex and condition variable,
// threads on pthreads, process exit with _Exit.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "platform/clock.h"
#include "platform/platform.h"

namespace platform {

namespace {
thread_local uint32_t tls_last_error = 0;
}

struct event_object {
    std::mutex lock;
    std::condition_variable changed;
    bool manual_reset = false;
    bool signalled = false;
};

event_handle create_event(bool manual_reset, bool initially_signalled) {
    auto* event = new (std::nothrow) event_object();
    if (event == nullptr) {
        tls_last_error = ENOMEM;
        return nullptr;
    }
    event->manual_reset = manual_reset;
    event->signalled = initially_signalled;
    return event;
}

bool set_event(event_handle event) {
    if (event == nullptr) {
        tls_last_error = EINVAL;
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(event->lock);
        event->signalled = true;
    }
    event->changed.notify_all();
    return true;
}

bool reset_event(event_handle event) {
    if (event == nullptr) {
        tls_last_error = EINVAL;
        return false;
    }
    std::lock_guard<std::mutex> guard(event->lock);
    event->signalled = false;
    return true;
}

uint32_t wait_for_event(event_handle event, uint32_t milliseconds) {
    if (event == nullptr) {
        tls_last_error = EINVAL;
        return wait_failed;
    }
    const double deadline = detail::clock_ms_now() + milliseconds;
    std::unique_lock<std::mutex> guard(event->lock);
    for (;;) {
        if (event->signalled) {
            if (!event->manual_reset) event->signalled = false;
            return wait_object_0;
        }
        double remaining = 0;
        if (milliseconds != infinite) {
            remaining = deadline - detail::clock_ms_now();
            if (remaining <= 0) return wait_timeout;
        } else {
            remaining = 1e9;
        }
        event->changed.wait_for(guard,
                                std::chrono::milliseconds(detail::real_slice_ms(remaining)));
    }
}

uint32_t last_error() { return tls_last_error; }

void sleep_ms(uint32_t milliseconds) {
    const double deadline = detail::clock_ms_now() + milliseconds;
    for (;;) {
        const double remaining = deadline - detail::clock_ms_now();
        if (remaining <= 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(detail::real_slice_ms(remaining)));
    }
}

uint32_t current_thread_id() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

void set_thread_name(const char* name) {
#if defined(__linux__)
    // The kernel keeps 15 characters and the terminating zero; longer names are refused.
    char kept[16] = {};
    std::snprintf(kept, sizeof kept, "%s", name);
    pthread_setname_np(pthread_self(), kept);
#else
    (void)name;
#endif
}

struct thread_object {
    pthread_t thread{};
    thread_entry entry = nullptr;
    void* argument = nullptr;
};

namespace {
void* thread_trampoline(void* raw) {
    auto* self = static_cast<thread_object*>(raw);
    self->entry(self->argument);
    return nullptr;
}
}  // namespace

thread_handle start_thread(thread_entry entry, void* argument) {
    auto* thread = new (std::nothrow) thread_object();
    if (thread == nullptr) {
        tls_last_error = ENOMEM;
        return nullptr;
    }
    thread->entry = entry;
    thread->argument = argument;
    const int rc = pthread_create(&thread->thread, nullptr, thread_trampoline, thread);
    if (rc != 0) {
        tls_last_error = static_cast<uint32_t>(rc);
        delete thread;
        return nullptr;
    }
    return thread;
}

void join_thread(thread_handle thread) {
    if (thread == nullptr) return;
    pthread_join(thread->thread, nullptr);
    delete thread;
}

void exit_process(int code) {
    // Not fflush(nullptr): that locks every stream, stdin included, and the run thread
    // holds stdin's lock while it waits in getchar for a key that may never come.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

}  // namespace platform
