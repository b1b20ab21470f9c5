// POSIX side of the background writer behind standard output: stdout becomes a stdio
// stream of our own (glibc's fopencookie) whose flushes append to a pending buffer; one
// thread writes the buffer to file descriptor 1 and then gathers for a moment before the
// next write, so that a storm of lines flushed one by one leaves in a few large writes.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/console_writer.h"
#include "platform/platform.h"

#if defined(__GLIBC__)

namespace platform {
namespace {

// How long the writer gathers after a write: the most a flushed line waits while lines are
// flowing, and the least time between two writes.
constexpr auto gather_period = std::chrono::milliseconds(1);
// A reader that does not keep up holds back the threads that print, as a full pipe did
// when they wrote themselves, instead of letting the buffer grow without end.
constexpr size_t max_pending_bytes = 1 << 20;
// How long a fatal signal waits for a write in progress before it writes what is left.
constexpr int crash_write_wait_ms = 100;

void write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // as stdio would: the text is lost, the program goes on
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

class console_writer {
  public:
    explicit console_writer(int fd) : fd_(fd) {}

    // stdout's flush: hands the bytes over, or writes them at once once the process exits.
    void append(const char* data, size_t size) {
        {
            std::unique_lock<std::mutex> guard(pending_lock_);
            room_.wait(guard, [&] { return pending_.size() < max_pending_bytes || direct_; });
            if (!direct_) {
                pending_.append(data, size);
                const bool wake = writer_asleep_;
                guard.unlock();
                if (wake) pending_changed_.notify_one();
                return;
            }
        }
        std::lock_guard<std::mutex> write_guard(write_lock_);
        write_pending_locked();
        write_all(fd_, data, size);
    }

    void run() {
        set_thread_name("orvette-output");
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(pending_lock_);
                writer_asleep_ = true;
                pending_changed_.wait(guard, [&] { return !pending_.empty(); });
                writer_asleep_ = false;
            }
            drain();
            std::this_thread::sleep_for(gather_period);
        }
    }

    void drain() {
        std::lock_guard<std::mutex> write_guard(write_lock_);
        write_pending_locked();
    }

    // From here on every flush writes at once, on the flushing thread: what the process
    // prints while it exits has no writer thread to rely on.
    void go_direct() {
        {
            std::lock_guard<std::mutex> guard(pending_lock_);
            direct_ = true;
        }
        room_.notify_all();
        drain();
    }

    // In a fatal signal's handler: the thread that crashed may hold a lock, so nothing
    // waits without limit; a write in progress on the writer thread is given time to end.
    void drain_after_crash() {
        bool have_write_lock = false;
        for (int waited_ms = 0; waited_ms < crash_write_wait_ms; ++waited_ms) {
            if ((have_write_lock = write_lock_.try_lock())) break;
            const timespec one_ms{0, 1000000};
            ::nanosleep(&one_ms, nullptr);
        }
        if (!have_write_lock) return;
        if (pending_lock_.try_lock()) {
            write_all(fd_, pending_.data(), pending_.size());
            pending_.clear();
            pending_lock_.unlock();
        }
        write_lock_.unlock();
    }

  private:
    // Called with write_lock_ held, which keeps the writes in the order of the flushes.
    void write_pending_locked() {
        {
            std::lock_guard<std::mutex> guard(pending_lock_);
            writing_.swap(pending_);
        }
        room_.notify_all();
        write_all(fd_, writing_.data(), writing_.size());
        writing_.clear();
    }

    const int fd_;
    std::mutex write_lock_;
    std::string writing_;  // guarded by write_lock_
    std::mutex pending_lock_;
    std::condition_variable pending_changed_;
    std::condition_variable room_;
    std::string pending_;         // guarded by pending_lock_
    bool writer_asleep_ = false;  // guarded by pending_lock_
    bool direct_ = false;         // guarded by pending_lock_
};

// Never freed: threads and exit handlers may flush stdout until the process has ended.
console_writer* the_writer = nullptr;

ssize_t cookie_write(void*, const char* data, size_t size) {
    the_writer->append(data, size);
    return static_cast<ssize_t>(size);
}

void write_directly_from_now_on() {
    std::fflush(stdout);
    detail::write_console_output_directly();
}

// The fatal signals, and the ones that end a run from outside: what the program flushed
// before one of them arrives is written out first, then the signal takes its usual course.
constexpr int drained_signals[] = {SIGSEGV, SIGBUS,  SIGILL, SIGFPE, SIGABRT,
                                   SIGINT,  SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previous_actions[sizeof drained_signals / sizeof drained_signals[0]];

void on_drained_signal(int signal_number, siginfo_t* info, void*) {
    the_writer->drain_after_crash();
    for (size_t i = 0; i < sizeof drained_signals / sizeof drained_signals[0]; ++i) {
        if (drained_signals[i] == signal_number)
            sigaction(signal_number, &previous_actions[i], nullptr);
    }
    const bool fault = signal_number == SIGSEGV || signal_number == SIGBUS ||
                       signal_number == SIGILL || signal_number == SIGFPE;
    // A fault from an instruction happens again on return, now for the previous handler;
    // anything else is sent again.
    if (fault && info != nullptr && info->si_code > 0) return;
    ::raise(signal_number);
}

void drain_on_signals() {
    for (size_t i = 0; i < sizeof drained_signals / sizeof drained_signals[0]; ++i) {
        struct sigaction action {};
        action.sa_sigaction = on_drained_signal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (sigaction(drained_signals[i], nullptr, &previous_actions[i]) != 0) continue;
        // A signal the caller chose to ignore stays ignored.
        if (!(previous_actions[i].sa_flags & SA_SIGINFO) &&
            previous_actions[i].sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(drained_signals[i], &action, nullptr);
    }
}

}  // namespace

bool write_console_output_in_background() {
    if (the_writer != nullptr || ::isatty(STDOUT_FILENO)) return false;
    auto* writer = new (std::nothrow) console_writer(STDOUT_FILENO);
    if (writer == nullptr) return false;
    cookie_io_functions_t functions{};
    functions.write = cookie_write;
    FILE* stream = ::fopencookie(writer, "w", functions);
    if (stream == nullptr) {
        delete writer;
        return false;
    }
    std::fflush(stdout);
    the_writer = writer;
    try {
        std::thread([writer] { writer->run(); }).detach();
    } catch (const std::system_error&) {
        the_writer = nullptr;
        std::fclose(stream);
        delete writer;
        return false;
    }
    stdout = stream;
    std::atexit(write_directly_from_now_on);
    drain_on_signals();
    return true;
}

namespace detail {

void write_console_output_directly() {
    if (the_writer != nullptr) the_writer->go_direct();
}

}  // namespace detail
}  // namespace platform

#else  // no fopencookie: stdout stays as it is

namespace platform {

bool write_console_output_in_background() {
    return false;
}

namespace detail {
void write_console_output_directly() {}
}  // namespace detail
}  // namespace platform

#endif
