// POSIX: posix_spawn with the console in a file and a pipe for the keys; the resident set
// size comes from /proc/<pid>/status. Test code only, so it uses the OS headers directly.
#include "tests/soak/soak_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace soak {
namespace {

using steady = std::chrono::steady_clock;

long resident_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

double seconds_since(steady::time_point start) {
    return std::chrono::duration<double>(steady::now() - start).count();
}

bool reap(pid_t pid, soak_run_result& result) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done != pid) return false;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return true;
}

}  // namespace

soak_run_result run_for_soak(const soak_run_options& options) {
    soak_run_result result;
    int keys[2];
    if (::pipe2(keys, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    const int console =
        ::open(options.console_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (console < 0) {
        result.error = "cannot write " + options.console_path + ": " + std::strerror(errno);
        ::close(keys[0]);
        ::close(keys[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, keys[0], 0);
    posix_spawn_file_actions_adddup2(&actions, console, 1);
    posix_spawn_file_actions_adddup2(&actions, console, 2);

    std::vector<std::string> storage{options.program};
    storage.insert(storage.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // A key written after the program has ended must fail, not end the checker.
    ::signal(SIGPIPE, SIG_IGN);
    pid_t pid = -1;
    const steady::time_point start = steady::now();
    const int rc =
        ::posix_spawn(&pid, options.program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(keys[0]);
    ::close(console);
    if (rc != 0) {
        result.error = "posix_spawn " + options.program + ": " + std::strerror(rc);
        ::close(keys[1]);
        return result;
    }
    result.started = true;

    bool quit_sent = false;
    double quit_at = 0;
    double next_sample = 0;
    for (;;) {
        if (reap(pid, result)) break;
        const double now = seconds_since(start);
        if (options.on_tick) options.on_tick(now);
        if (now >= next_sample) {
            const long kb = resident_kb(pid);
            if (kb > 0) result.samples.push_back({now, kb});
            next_sample = now + options.sample_every_s;
        }
        if (!quit_sent && now >= options.run_real_s) {
            const char quit[] = "q\n";
            if (::write(keys[1], quit, sizeof quit - 1) < 0) {
                // Already gone: the reap above will tell how.
            }
            quit_sent = true;
            quit_at = now;
        }
        if (quit_sent && now - quit_at > options.quit_limit_s) {
            ::kill(pid, SIGKILL);
            result.killed = true;
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::close(keys[1]);
    result.real_s = seconds_since(start);
    if (options.on_tick) options.on_tick(result.real_s);
    return result;
}

}  // namespace soak
