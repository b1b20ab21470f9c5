// Windows implementation of the process runner: CreateProcess with three anonymous pipes,
// one thread per pipe (anonymous pipes cannot be waited on together), and a loop on the
// test's thread that feeds the steps and watches the child and the clock. The child runs
// in a job object so that the kill at the time limit also reaches anything it started.
// Test support only, so it may use the OS headers directly.
#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "tests/support/process_runner.h"

namespace testing_support {
namespace {

using steady = std::chrono::steady_clock;

// Output as the POSIX side sees it: the C runtime of a Windows child writes "\r\n" for
// every "\n" in text mode, so a line end is taken back to "\n" here (also when the two
// characters arrive in different reads).
class text_sink {
  public:
    void append(const char* data, size_t size) {
        std::lock_guard<std::mutex> guard(lock_);
        for (size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (pending_cr_) {
                pending_cr_ = false;
                if (c != '\n') text_ += '\r';
            }
            if (c == '\r') {
                pending_cr_ = true;
            } else {
                text_ += c;
            }
        }
    }
    // Where `fragment` first appears at or after `from`, in the text so far.
    size_t find(const std::string& fragment, size_t from) const {
        std::lock_guard<std::mutex> guard(lock_);
        return text_.find(fragment, from);
    }
    std::string finish() {
        std::lock_guard<std::mutex> guard(lock_);
        if (pending_cr_) text_ += '\r';
        pending_cr_ = false;
        return text_;
    }

  private:
    mutable std::mutex lock_;
    std::string text_;
    bool pending_cr_ = false;
};

struct reader_state {
    HANDLE pipe = nullptr;
    text_sink* sink = nullptr;
};

DWORD WINAPI reader_main(void* raw) {
    auto* state = static_cast<reader_state*>(raw);
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        // Ends with ERROR_BROKEN_PIPE once every writer (the child and what it started) has
        // gone, or with ERROR_OPERATION_ABORTED when the runner gives up waiting.
        if (!::ReadFile(state->pipe, buffer, sizeof buffer, &got, nullptr)) return 0;
        if (got > 0) state->sink->append(buffer, got);
    }
}

// Console input handed from the test's thread to the writer thread, in order.
struct writer_state {
    HANDLE pipe = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    std::string pending;
    bool closing = false;  // write what is pending, then close the pipe
    bool broken = false;   // the child no longer reads (it closed stdin or ended)
};

DWORD WINAPI writer_main(void* raw) {
    auto* state = static_cast<writer_state*>(raw);
    for (;;) {
        std::string chunk;
        {
            std::unique_lock<std::mutex> guard(state->lock);
            state->changed.wait(guard, [&] { return !state->pending.empty() || state->closing; });
            if (state->pending.empty()) break;
            chunk.swap(state->pending);
        }
        DWORD written = 0;
        const char* data = chunk.data();
        DWORD left = static_cast<DWORD>(chunk.size());
        bool ok = true;
        while (left > 0 && (ok = ::WriteFile(state->pipe, data, left, &written, nullptr) != 0)) {
            data += written;
            left -= written;
        }
        if (!ok) {
            std::lock_guard<std::mutex> guard(state->lock);
            state->broken = true;
            break;
        }
    }
    ::CloseHandle(state->pipe);
    state->pipe = nullptr;
    return 0;
}

// One argument as the C runtime's command-line parser will split it back: quoted when it
// holds a blank or a quote or is empty, with backslashes doubled only where they precede a
// quote.
std::string quote_argument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string error_text(const char* what, const std::string& subject, DWORD code) {
    return std::string(what) + " " + subject + ": error " + std::to_string(code);
}

void close_handle(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    handle = nullptr;
}

// Handles of the child's side are created inheritable; only one child may be started at a
// time so that no other child inherits another's pipe ends and holds them open.
std::mutex& spawn_lock() {
    static std::mutex lock;
    return lock;
}

// Waits for a pipe thread, at most until `until`; then cancels its blocking call (a
// grandchild that outlived the child may still hold the pipe) and waits for it to end.
void finish_thread(HANDLE& thread, steady::time_point until) {
    if (thread == nullptr) return;
    const auto now = steady::now();
    const DWORD wait_ms =
        until > now
            ? static_cast<DWORD>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count())
            : 0;
    if (::WaitForSingleObject(thread, wait_ms) == WAIT_TIMEOUT) {
        ::CancelSynchronousIo(thread);
        ::WaitForSingleObject(thread, INFINITE);
    }
    close_handle(thread);
}

}  // namespace

process_result run_process(const std::string& program, const process_options& options) {
    process_result result;
    // options.env is not passed on here: only the btvirt tests set it, and they run on
    // Linux alone.

    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;

    HANDLE in_read = nullptr, in_write = nullptr;
    HANDLE out_read = nullptr, out_write = nullptr;
    HANDLE err_read = nullptr, err_write = nullptr;
    PROCESS_INFORMATION child{};
    HANDLE job = nullptr;
    {
        std::lock_guard<std::mutex> guard(spawn_lock());
        if (!::CreatePipe(&in_read, &in_write, &inheritable, 0) ||
            !::CreatePipe(&out_read, &out_write, &inheritable, 0) ||
            !::CreatePipe(&err_read, &err_write, &inheritable, 0)) {
            result.start_error = error_text("CreatePipe for", program, ::GetLastError());
            for (HANDLE* h : {&in_read, &in_write, &out_read, &out_write, &err_read, &err_write}) {
                close_handle(*h);
            }
            return result;
        }
        // The runner's ends stay out of the child, or its stdout would never reach end of
        // file and its stdin never close.
        for (HANDLE h : {in_write, out_read, err_read}) {
            ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
        }

        std::string command_line = quote_argument(program);
        for (const std::string& argument : options.args) {
            command_line += ' ';
            command_line += quote_argument(argument);
        }

        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in_read;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;

        // Suspended until it is in the job, so that nothing it starts escapes the kill.
        const BOOL created = ::CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                                              CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr,
                                              &startup, &child);
        const DWORD create_error = created ? 0 : ::GetLastError();
        close_handle(in_read);
        close_handle(out_write);
        close_handle(err_write);
        if (!created) {
            result.start_error = error_text("CreateProcess", program, create_error);
            close_handle(in_write);
            close_handle(out_read);
            close_handle(err_read);
            return result;
        }
    }
    job = ::CreateJobObjectA(nullptr, nullptr);
    if (job != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        // Where the runner itself already runs in a job that forbids nesting, the kill falls
        // back to the child alone.
        if (!::AssignProcessToJobObject(job, child.hProcess)) close_handle(job);
    }
    ::ResumeThread(child.hThread);
    close_handle(child.hThread);
    result.started = true;

    const steady::time_point start = steady::now();
    const steady::time_point deadline = start + std::chrono::milliseconds(options.time_limit_ms);

    text_sink out_sink, err_sink;
    reader_state out_state{out_read, &out_sink};
    reader_state err_state{err_read, &err_sink};
    writer_state in_state;
    in_state.pipe = in_write;
    in_state.pending = options.stdin_text;
    HANDLE out_thread = ::CreateThread(nullptr, 0, reader_main, &out_state, 0, nullptr);
    HANDLE err_thread = ::CreateThread(nullptr, 0, reader_main, &err_state, 0, nullptr);
    HANDLE in_thread = ::CreateThread(nullptr, 0, writer_main, &in_state, 0, nullptr);
    if (in_thread == nullptr) close_handle(in_state.pipe);

    size_t step = 0;
    size_t search_from = 0;
    bool step_matched = false;
    steady::time_point step_ready_at{};
    bool stdin_closed = in_thread == nullptr;

    for (;;) {
        const steady::time_point now = steady::now();
        if (now >= deadline) {
            if (job != nullptr) ::TerminateJobObject(job, 1);
            ::TerminateProcess(child.hProcess, 1);
            ::WaitForSingleObject(child.hProcess, INFINITE);
            result.timed_out = true;
            break;
        }

        // Hand the next steps to the writer once their output has appeared and their delay
        // has passed; one step at a time so that keys keep their order and spacing.
        if (!stdin_closed) {
            bool idle = false;
            {
                std::lock_guard<std::mutex> lock(in_state.lock);
                idle = in_state.pending.empty();
            }
            while (idle && step < options.steps.size()) {
                const stdin_step& next = options.steps[step];
                if (!step_matched) {
                    if (!next.wait_for.empty()) {
                        const size_t at = out_sink.find(next.wait_for, search_from);
                        if (at == std::string::npos) break;
                        search_from = at + next.wait_for.size();
                    }
                    step_matched = true;
                    step_ready_at = now + std::chrono::milliseconds(next.delay_ms);
                }
                if (now < step_ready_at) break;
                {
                    std::lock_guard<std::mutex> lock(in_state.lock);
                    in_state.pending += next.text;
                }
                in_state.changed.notify_one();
                step_matched = false;
                ++step;
                result.steps_written = step;
                break;
            }
            if (step == options.steps.size() && options.close_stdin) {
                {
                    std::lock_guard<std::mutex> lock(in_state.lock);
                    in_state.closing = true;
                }
                in_state.changed.notify_one();
                stdin_closed = true;
            }
        }

        // Short slices: the steps are driven by output that the reader threads collect.
        DWORD slice = 10;
        if (step_matched && step_ready_at > now) {
            const auto until_step =
                std::chrono::duration_cast<std::chrono::milliseconds>(step_ready_at - now).count();
            slice = static_cast<DWORD>(std::clamp<long long>(until_step, 1, 10));
        }
        if (::WaitForSingleObject(child.hProcess, slice) == WAIT_OBJECT_0) {
            DWORD code = 0;
            ::GetExitCodeProcess(child.hProcess, &code);
            result.exited = true;
            result.exit_code = static_cast<int>(code);
            break;
        }
    }

    // Let the writer go: the child has ended, so a blocked write fails and pending input is
    // dropped.
    {
        std::lock_guard<std::mutex> lock(in_state.lock);
        in_state.closing = true;
    }
    in_state.changed.notify_one();

    // Nothing the child started outlives the run (or holds the pipes open).
    if (job != nullptr) ::TerminateJobObject(job, 1);

    // What the child wrote just before it ended is still in the pipes; collect it, bounded
    // in case something it started outside the job still holds them open.
    const steady::time_point drain_until = steady::now() + std::chrono::seconds(2);
    finish_thread(out_thread, drain_until);
    finish_thread(err_thread, drain_until);
    finish_thread(in_thread, drain_until);
    if (in_state.pipe != nullptr) close_handle(in_state.pipe);
    close_handle(out_read);
    close_handle(err_read);
    close_handle(child.hProcess);
    close_handle(job);

    result.out = out_sink.finish();
    result.err = err_sink.finish();
    result.elapsed_ms = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count());
    return result;
}

}  // namespace testing_support

#endif  // _WIN32
