// POSIX implementation of the process runner: posix_spawn with three pipes, one poll loop
// that reads both outputs, feeds stdin and watches the clock. Test support only, so it may
// use the OS headers directly. (Windows: process_runner_windows.cpp; describe() below is
// shared.)
#include "tests/support/process_runner.h"

#include <sstream>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

extern char** environ;

namespace testing_support {
namespace {

using steady = std::chrono::steady_clock;

// Writing to a child that has already ended must fail with EPIPE, not kill the test
// program. The child gets SIGPIPE back at its default (see spawn attributes).
void ignore_sigpipe_once() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

struct pipe_pair {
    int read_end = -1;
    int write_end = -1;
};

bool make_pipe(pipe_pair& p) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    p.read_end = fds[0];
    p.write_end = fds[1];
    return true;
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Reads what is available; returns false at end of file or on a hard error.
bool drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buffer) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

void record_status(int status, process_result& result) {
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

int ms_until(steady::time_point when, steady::time_point now) {
    if (when <= now) return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::min<long long>(ms + 1, 1000000));
}

}  // namespace

process_result run_process(const std::string& program, const process_options& options) {
    process_result result;
    ignore_sigpipe_once();

    pipe_pair in, out, err;
    if (!make_pipe(in) || !make_pipe(out) || !make_pipe(err)) {
        result.start_error = std::string("pipe: ") + std::strerror(errno);
        close_fd(in.read_end), close_fd(in.write_end), close_fd(out.read_end);
        close_fd(out.write_end), close_fd(err.read_end), close_fd(err.write_end);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 onto 0/1/2 clears close-on-exec there; every other pipe end closes at exec.
    posix_spawn_file_actions_adddup2(&actions, in.read_end, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write_end, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write_end, 2);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t no_mask;
    sigemptyset(&no_mask);
    posix_spawnattr_setsigmask(&attributes, &no_mask);
    // Its own process group, so that the kill at the time limit also reaches anything the
    // child started and that still holds the output pipes open.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> arg_storage;
    arg_storage.push_back(program);
    arg_storage.insert(arg_storage.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& arg : arg_storage) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The child's environment: ours, with the given variables replaced or added.
    std::vector<std::string> env_storage;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(options.env.begin(), options.env.end(),
                                          [&](const auto& var) { return var.first == name; });
        if (!replaced) env_storage.push_back(text);
    }
    for (const auto& var : options.env) env_storage.push_back(var.first + "=" + var.second);
    std::vector<char*> envp;
    for (auto& entry : env_storage) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const steady::time_point start = steady::now();
    const steady::time_point deadline = start + std::chrono::milliseconds(options.time_limit_ms);
    pid_t pid = -1;
    const int spawn_rc =
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close_fd(in.read_end);
    close_fd(out.write_end);
    close_fd(err.write_end);
    if (spawn_rc != 0) {
        result.start_error = "posix_spawn " + program + ": " + std::strerror(spawn_rc);
        close_fd(in.write_end), close_fd(out.read_end), close_fd(err.read_end);
        return result;
    }
    result.started = true;
    ::fcntl(in.write_end, F_SETFL, ::fcntl(in.write_end, F_GETFL) | O_NONBLOCK);
    ::fcntl(out.read_end, F_SETFL, ::fcntl(out.read_end, F_GETFL) | O_NONBLOCK);
    ::fcntl(err.read_end, F_SETFL, ::fcntl(err.read_end, F_GETFL) | O_NONBLOCK);

    std::string to_write = options.stdin_text;
    size_t step = 0;
    size_t search_from = 0;
    bool step_matched = false;
    steady::time_point step_ready_at{};
    bool reaped = false;

    for (;;) {
        steady::time_point now = steady::now();
        if (now >= deadline) {
            ::kill(-pid, SIGKILL);
            result.timed_out = true;
            break;
        }

        // Hand the next steps to the writer once their output has appeared and their delay
        // has passed; one step at a time so that keys keep their order and spacing.
        while (in.write_end >= 0 && to_write.empty() && step < options.steps.size()) {
            const stdin_step& next = options.steps[step];
            if (!step_matched) {
                if (!next.wait_for.empty()) {
                    const size_t at = result.out.find(next.wait_for, search_from);
                    if (at == std::string::npos) break;
                    search_from = at + next.wait_for.size();
                }
                step_matched = true;
                step_ready_at = now + std::chrono::milliseconds(next.delay_ms);
            }
            if (now < step_ready_at) break;
            to_write += next.text;
            step_matched = false;
            ++step;
            result.steps_written = step;
        }
        if (in.write_end >= 0 && to_write.empty() && step == options.steps.size() &&
            options.close_stdin) {
            close_fd(in.write_end);
        }

        if (out.read_end < 0 && err.read_end < 0) {
            int status = 0;
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                record_status(status, result);
                reaped = true;
                break;
            }
        }

        pollfd fds[3];
        nfds_t count = 0;
        int out_index = -1, err_index = -1, in_index = -1;
        if (out.read_end >= 0) {
            out_index = static_cast<int>(count);
            fds[count++] = {out.read_end, POLLIN, 0};
        }
        if (err.read_end >= 0) {
            err_index = static_cast<int>(count);
            fds[count++] = {err.read_end, POLLIN, 0};
        }
        if (in.write_end >= 0 && !to_write.empty()) {
            in_index = static_cast<int>(count);
            fds[count++] = {in.write_end, POLLOUT, 0};
        }
        int timeout = ms_until(deadline, now);
        if (step_matched) timeout = std::min(timeout, ms_until(step_ready_at, now));
        // Output pipes closed: the child is ending; look for its exit status often.
        if (out.read_end < 0 && err.read_end < 0) timeout = std::min(timeout, 5);
        // Waiting for text on stdout is driven by reads, but bound the wait anyway.
        timeout = std::min(timeout, 200);

        const int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;

        if (out_index >= 0 && (fds[out_index].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!drain(out.read_end, result.out)) close_fd(out.read_end);
        }
        if (err_index >= 0 && (fds[err_index].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!drain(err.read_end, result.err)) close_fd(err.read_end);
        }
        if (in_index >= 0 && (fds[in_index].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = ::write(in.write_end, to_write.data(), to_write.size());
            if (n > 0) {
                to_write.erase(0, static_cast<size_t>(n));
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                // The child closed its stdin or ended: nothing more can be typed.
                to_write.clear();
                close_fd(in.write_end);
            }
        }
    }

    close_fd(in.write_end);
    if (!reaped) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        record_status(status, result);
    }
    // After a kill the pipes reach end of file at once; collect what was still buffered,
    // bounded in case something outside the process group still holds them open.
    const steady::time_point drain_until = steady::now() + std::chrono::seconds(2);
    for (int* fd : {&out.read_end, &err.read_end}) {
        std::string& into = (fd == &out.read_end) ? result.out : result.err;
        while (*fd >= 0) {
            pollfd p{*fd, POLLIN, 0};
            if (::poll(&p, 1, ms_until(drain_until, steady::now())) <= 0) break;
            if (!drain(*fd, into)) break;
        }
        close_fd(*fd);
    }
    result.elapsed_ms = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count());
    return result;
}

}  // namespace testing_support

#endif  // !_WIN32

namespace testing_support {

std::string describe(const process_result& result) {
    std::ostringstream text;
    if (!result.started) {
        text << "not started: " << result.start_error << "\n";
        return text.str();
    }
    if (result.timed_out) text << "killed at the time limit; ";
    if (result.exited) text << "exit code " << result.exit_code;
    if (result.signal != 0) text << "signal " << result.signal;
    text << " after " << result.elapsed_ms << " ms, " << result.steps_written
         << " stdin steps written\n--- stdout ---\n"
         << result.out << "--- stderr ---\n"
         << result.err;
    return text.str();
}

}  // namespace testing_support
