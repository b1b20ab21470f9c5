// The one place that knows about the operating system. Everything else in Orvette
// reaches event objects, ticks, sleeps, thread ids, threads and process exit through
// these functions, so that the program builds on Windows and on POSIX alike.
//
// All time goes through one process-wide clock. It normally runs at real speed; a test
// or a simulated world can run it faster by a factor, so that a 65 s limit passes in
// about a second without any of the program's constants changing.
#pragma once

#include <cstdint>

namespace platform {

// Results of wait_for_event, with the numeric values of the Windows API so that the
// messages that print them show what a Windows user would see.
constexpr uint32_t wait_object_0 = 0x00000000;   // WAIT_OBJECT_0
constexpr uint32_t wait_object_1 = 0x00000001;   // WAIT_OBJECT_0 + 1
constexpr uint32_t wait_abandoned = 0x00000080;  // WAIT_ABANDONED
constexpr uint32_t wait_timeout = 0x00000102;    // WAIT_TIMEOUT
constexpr uint32_t wait_failed = 0xFFFFFFFF;     // WAIT_FAILED
constexpr uint32_t infinite = 0xFFFFFFFF;        // INFINITE

// An event object. Auto-reset: a satisfied wait consumes the signal and releases one
// waiter. Manual-reset: stays signalled until reset, releasing every waiter.
struct event_object;
using event_handle = event_object*;

// Returns null on failure; last_error() then tells why.
event_handle create_event(bool manual_reset, bool initially_signalled);
bool set_event(event_handle event);
bool reset_event(event_handle event);
// Waits at most `milliseconds` of clock time (or forever with `infinite`).
uint32_t wait_for_event(event_handle event, uint32_t milliseconds);
// Waits like wait_for_event, and also ends when `interrupt` (a manual-reset event, which
// this wait never resets) is signalled: wait_object_0 when `event` was signalled (and
// consumed), else wait_object_1 when `interrupt` was. A null `interrupt` is never signalled.
uint32_t wait_for_either(event_handle event, event_handle interrupt, uint32_t milliseconds);
// Error number of the last failed platform call on this thread.
uint32_t last_error();

// Milliseconds since an arbitrary origin; 64-bit, monotonic, scaled by the clock factor.
uint64_t tick_count();
// The same clock in microseconds: tick_count_us() / 1000 is what tick_count() returns.
uint64_t tick_count_us();
// Sleeps `milliseconds` of clock time.
void sleep_ms(uint32_t milliseconds);

// Clock acceleration. A factor of 10 makes 10 clock milliseconds pass per real
// millisecond. Ticks stay continuous across a change.
void set_time_scale(double factor);
double time_scale();

// Stable numeric identifier of the calling thread.
uint32_t current_thread_id();

// Starts a detached thread running entry(argument) with the default stack size.
// Returns a handle to join with, or null on failure.
struct thread_object;
using thread_handle = thread_object*;
using thread_entry = void (*)(void* argument);
thread_handle start_thread(thread_entry entry, void* argument);
// Waits without a limit until the thread has ended; releases the handle.
void join_thread(thread_handle thread);

// The processor the calling thread runs on now, or -1 where that cannot be told.
int current_processor();

// Names the calling thread, so that tools listing a process's threads can tell them apart
// (Linux shows at most 15 characters).
void set_thread_name(const char* name);

// Ends the process at once with `code`: standard output is flushed first; no static
// destructor runs, so threads that still use shared state are not torn down under it.
[[noreturn]] void exit_process(int code);

}  // namespace platform
