// POSIX side of the platform layer: event objects on a mutex and condition variable,
// threads on pthreads, process exit with _Exit.
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

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
    // Written under `lock`; atomic so that a wait_for_either can look at its interrupt while
    // it holds only its own event's lock.
    std::atomic<bool> signalled{false};
    // Events whose waiters also wait for this one (wait_for_either): setting it wakes them
    // too. Under `lock`; one entry per such waiter.
    std::vector<event_object*> observers;
};

namespace {

// The timed waits in progress. A wait sleeps for all of its time at the scale it started
// with, so a change of scale must wake it to plan again; polling the scale instead would
// cost every idle thread a wake-up every few milliseconds.
struct timed_waits {
    std::mutex lock;
    // One entry per waiting thread. Event objects are never destroyed, so an entry copied
    // out under the lock stays usable after it.
    std::vector<event_object*> events;
    // sleep_ms waits here, under `lock`.
    std::condition_variable sleepers;
};

timed_waits& waits() {
    // Never destroyed: threads may still wait while the process exits.
    static timed_waits* w = new timed_waits();
    return *w;
}

// Lists `event` among the timed waits for as long as it lives. Taken with the event's lock
// held, which the waker never holds together with the list's.
class timed_wait_entry {
  public:
    explicit timed_wait_entry(event_object* event) : event_(event) {
        std::lock_guard<std::mutex> guard(waits().lock);
        waits().events.push_back(event_);
    }
    ~timed_wait_entry() {
        std::lock_guard<std::mutex> guard(waits().lock);
        std::vector<event_object*>& events = waits().events;
        for (auto it = events.begin(); it != events.end(); ++it) {
            if (*it != event_) continue;
            events.erase(it);
            break;
        }
    }
    timed_wait_entry(const timed_wait_entry&) = delete;
    timed_wait_entry& operator=(const timed_wait_entry&) = delete;

  private:
    event_object* event_;
};

// Lists `observer` with `interrupt` for as long as it lives, so that setting `interrupt`
// wakes the observer's waiters. Taken without the observer's lock: no two event locks are
// ever held together.
class interrupt_entry {
  public:
    interrupt_entry(event_object* interrupt, event_object* observer)
        : interrupt_(interrupt), observer_(observer) {
        std::lock_guard<std::mutex> guard(interrupt_->lock);
        interrupt_->observers.push_back(observer_);
    }
    ~interrupt_entry() {
        std::lock_guard<std::mutex> guard(interrupt_->lock);
        std::vector<event_object*>& observers = interrupt_->observers;
        for (auto it = observers.begin(); it != observers.end(); ++it) {
            if (*it != observer_) continue;
            observers.erase(it);
            break;
        }
    }
    interrupt_entry(const interrupt_entry&) = delete;
    interrupt_entry& operator=(const interrupt_entry&) = delete;

  private:
    event_object* interrupt_;
    event_object* observer_;
};

// The wait of wait_for_event and wait_for_either; `interrupt` may be null.
uint32_t wait_on(event_object* event, event_object* interrupt, uint32_t milliseconds) {
    const double deadline = detail::clock_ms_now() + milliseconds;
    std::unique_lock<std::mutex> guard(event->lock);
    const auto consume = [event] {
        if (!event->signalled) return false;
        if (!event->manual_reset) event->signalled = false;
        return true;
    };
    // Read while holding the event's lock: a set of the interrupt takes that lock before it
    // wakes the event's waiters, so a wait that saw it clear is waiting when the wake comes.
    const auto interrupted = [interrupt] { return interrupt != nullptr && interrupt->signalled; };
    if (milliseconds == infinite) {
        event->changed.wait(guard, [&] { return event->signalled || interrupted(); });
        return consume() ? wait_object_0 : wait_object_1;
    }
    const timed_wait_entry listed(event);
    for (;;) {
        if (consume()) return wait_object_0;
        if (interrupted()) return wait_object_1;
        const double remaining = deadline - detail::clock_ms_now();
        if (remaining <= 0) return wait_timeout;
        event->changed.wait_for(guard, std::chrono::milliseconds(detail::real_wait_ms(remaining)));
    }
}

}  // namespace

namespace detail {

void wake_timed_waiters() {
    std::vector<event_object*> events;
    {
        std::lock_guard<std::mutex> guard(waits().lock);
        events = waits().events;
    }
    waits().sleepers.notify_all();
    // A waiter reads the scale with its event's lock held and releases it only by waiting,
    // so taking the lock here means it either saw the new scale or is waiting and hears this.
    for (event_object* event : events) {
        std::lock_guard<std::mutex> guard(event->lock);
        event->changed.notify_all();
    }
}

}  // namespace detail

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
    std::vector<event_object*> observers;
    {
        std::lock_guard<std::mutex> guard(event->lock);
        event->signalled = true;
        observers = event->observers;
    }
    event->changed.notify_all();
    for (event_object* observer : observers) {
        // Taken and released before the wake: a waiter that looked at this event with its own
        // lock held is by now waiting, and one that looks later sees it set.
        { const std::lock_guard<std::mutex> guard(observer->lock); }
        observer->changed.notify_all();
    }
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
    return wait_on(event, nullptr, milliseconds);
}

uint32_t wait_for_either(event_handle event, event_handle interrupt, uint32_t milliseconds) {
    if (event == nullptr) {
        tls_last_error = EINVAL;
        return wait_failed;
    }
    if (interrupt == nullptr || interrupt == event) return wait_on(event, nullptr, milliseconds);
    const interrupt_entry listed(interrupt, event);
    return wait_on(event, interrupt, milliseconds);
}

uint32_t last_error() {
    return tls_last_error;
}

void sleep_ms(uint32_t milliseconds) {
    const double deadline = detail::clock_ms_now() + milliseconds;
    std::unique_lock<std::mutex> guard(waits().lock);
    for (;;) {
        const double remaining = deadline - detail::clock_ms_now();
        if (remaining <= 0) return;
        waits().sleepers.wait_for(guard,
                                  std::chrono::milliseconds(detail::real_wait_ms(remaining)));
    }
}

uint32_t current_thread_id() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

int current_processor() {
#if defined(__linux__)
    return ::sched_getcpu();
#else
    return -1;
#endif
}

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
    // Not fflush(nullptr): that locks every stream, stdin included, and the key reader
    // holds stdin's lock while it waits in getchar for a key that may never come.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

}  // namespace platform
