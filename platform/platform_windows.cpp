// Windows side of the platform layer: kernel event objects, threads from the C runtime,
// ExitProcess. Ticks and time scaling are shared with the POSIX side: clock.cpp reads the
// standard steady clock, on Windows the high-resolution performance counter, not
// GetTickCount64, whose 10-16 ms steps an accelerated clock would turn into seconds. A
// timed wait sleeps for all of its time at the present scale and also waits on an event
// that the next change of scale sets, so that it plans its wait again.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: process.h relies on its types under some toolchains.
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/platform.h"

namespace platform {

namespace {
thread_local uint32_t tls_last_error = 0;

void remember_error(DWORD code) {
    tls_last_error = static_cast<uint32_t>(code);
}
}  // namespace

struct event_object {
    HANDLE handle = nullptr;
};

namespace {

// A manual-reset event set at the next change of the clock's scale, then replaced; shared
// by every timed wait that began before that change, and closed once the last is done.
struct scale_change_signal {
    std::mutex lock;
    std::shared_ptr<void> next;
};

scale_change_signal& scale_change() {
    // Never destroyed: threads may still wait while the process exits.
    static scale_change_signal* s = new scale_change_signal();
    return *s;
}

// Null when no event could be made: the wait then falls back to short slices.
std::shared_ptr<void> next_scale_change() {
    scale_change_signal& s = scale_change();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.next) {
        HANDLE handle = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (handle != nullptr) s.next.reset(handle, [](void* h) { ::CloseHandle(h); });
    }
    return s.next;
}

// How long a wait that no change of scale can wake may sleep before looking again.
DWORD fallback_wait(double remaining) {
    return static_cast<DWORD>(detail::real_slice_ms(remaining));
}

}  // namespace

namespace detail {

void wake_timed_waiters() {
    scale_change_signal& s = scale_change();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.next) return;
    ::SetEvent(s.next.get());
    s.next.reset();
}

}  // namespace detail

event_handle create_event(bool manual_reset, bool initially_signalled) {
    HANDLE handle = ::CreateEventA(nullptr, manual_reset ? TRUE : FALSE,
                                   initially_signalled ? TRUE : FALSE, nullptr);
    if (handle == nullptr) {
        remember_error(::GetLastError());
        return nullptr;
    }
    auto* event = new (std::nothrow) event_object();
    if (event == nullptr) {
        ::CloseHandle(handle);
        remember_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    event->handle = handle;
    return event;
}

bool set_event(event_handle event) {
    if (event == nullptr) {
        remember_error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!::SetEvent(event->handle)) {
        remember_error(::GetLastError());
        return false;
    }
    return true;
}

bool reset_event(event_handle event) {
    if (event == nullptr) {
        remember_error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!::ResetEvent(event->handle)) {
        remember_error(::GetLastError());
        return false;
    }
    return true;
}

namespace {

// The wait of wait_for_event and wait_for_either; `interrupt` may be null. The handles are
// waited on in this order, so that when several are set the event is reported (and
// consumed) first, as one WaitForMultipleObjects would.
uint32_t wait_on(event_object* event, event_object* interrupt, uint32_t milliseconds) {
    HANDLE handles[3] = {event->handle, nullptr, nullptr};
    DWORD count = 1;
    if (interrupt != nullptr) handles[count++] = interrupt->handle;
    const auto report = [&](DWORD result) -> uint32_t {
        if (result == WAIT_OBJECT_0) return wait_object_0;
        if (interrupt != nullptr && result == WAIT_OBJECT_0 + 1) return wait_object_1;
        if (result == WAIT_FAILED) {
            remember_error(::GetLastError());
            return wait_failed;
        }
        return static_cast<uint32_t>(result);
    };
    if (milliseconds == infinite) {
        return report(::WaitForMultipleObjects(count, handles, FALSE, INFINITE));
    }
    const double deadline = detail::clock_ms_now() + milliseconds;
    for (;;) {
        // Taken before the clock is read: a change after the reading sets this one.
        const std::shared_ptr<void> change = next_scale_change();
        const double remaining = deadline - detail::clock_ms_now();
        // A zero-length wait still consumes a signal that is already there, as Windows does.
        DWORD result = WAIT_TIMEOUT;
        if (change) {
            const DWORD real = remaining > 0 ? detail::real_wait_ms(remaining) : 0;
            handles[count] = change.get();
            result = ::WaitForMultipleObjects(count + 1, handles, FALSE, real);
            if (result == WAIT_OBJECT_0 + count) {
                if (remaining <= 0) return wait_timeout;
                continue;
            }
        } else {
            result = ::WaitForMultipleObjects(count, handles, FALSE,
                                              remaining > 0 ? fallback_wait(remaining) : 0);
        }
        if (result != WAIT_TIMEOUT) return report(result);
        if (remaining <= 0) return wait_timeout;
    }
}

}  // namespace

uint32_t wait_for_event(event_handle event, uint32_t milliseconds) {
    if (event == nullptr) {
        remember_error(ERROR_INVALID_HANDLE);
        return wait_failed;
    }
    return wait_on(event, nullptr, milliseconds);
}

uint32_t wait_for_either(event_handle event, event_handle interrupt, uint32_t milliseconds) {
    if (event == nullptr) {
        remember_error(ERROR_INVALID_HANDLE);
        return wait_failed;
    }
    // The same handle twice is refused by WaitForMultipleObjects.
    if (interrupt == event) interrupt = nullptr;
    return wait_on(event, interrupt, milliseconds);
}

uint32_t last_error() {
    return tls_last_error;
}

void sleep_ms(uint32_t milliseconds) {
    const double deadline = detail::clock_ms_now() + milliseconds;
    for (;;) {
        const std::shared_ptr<void> change = next_scale_change();
        const double remaining = deadline - detail::clock_ms_now();
        if (remaining <= 0) return;
        if (change) {
            ::WaitForSingleObject(change.get(), detail::real_wait_ms(remaining));
        } else {
            ::Sleep(fallback_wait(remaining));
        }
    }
}

uint32_t current_thread_id() {
    return static_cast<uint32_t>(::GetCurrentThreadId());
}

struct thread_object {
    HANDLE handle = nullptr;
    thread_entry entry = nullptr;
    void* argument = nullptr;
};

namespace {
unsigned __stdcall thread_trampoline(void* raw) {
    auto* self = static_cast<thread_object*>(raw);
    self->entry(self->argument);
    return 0;
}
}  // namespace

thread_handle start_thread(thread_entry entry, void* argument) {
    auto* thread = new (std::nothrow) thread_object();
    if (thread == nullptr) {
        remember_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->entry = entry;
    thread->argument = argument;
    // _beginthreadex rather than CreateThread so the C runtime's per-thread state is set up
    // for the printf and stdio calls every thread makes.
    const uintptr_t handle = ::_beginthreadex(nullptr, 0, thread_trampoline, thread, 0, nullptr);
    if (handle == 0) {
        const DWORD error = ::GetLastError();
        remember_error(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
        delete thread;
        return nullptr;
    }
    thread->handle = reinterpret_cast<HANDLE>(handle);
    return thread;
}

void join_thread(thread_handle thread) {
    if (thread == nullptr) return;
    ::WaitForSingleObject(thread->handle, INFINITE);
    ::CloseHandle(thread->handle);
    delete thread;
}

int current_processor() {
    return static_cast<int>(::GetCurrentProcessorNumber());
}

void set_thread_name(const char* name) {
    // Windows 10 1607 and later; looked up so that the program still starts on older ones.
    using set_description = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return;
    const auto set = reinterpret_cast<set_description>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
    if (set == nullptr) return;
    wchar_t wide[64] = {};
    for (size_t i = 0; i + 1 < sizeof wide / sizeof wide[0] && name[i] != '\0'; ++i) {
        wide[i] = static_cast<unsigned char>(name[i]);
    }
    set(::GetCurrentThread(), wide);
}

void exit_process(int code) {
    // Not fflush(nullptr): that locks every stream, stdin included, and the key reader
    // holds stdin's lock while it waits in getchar for a key that may never come.
    std::fflush(stdout);
    std::fflush(stderr);
    ::ExitProcess(static_cast<UINT>(code));
    std::_Exit(code);  // not reached; keeps [[noreturn]] honest on every toolchain
}

}  // namespace platform
