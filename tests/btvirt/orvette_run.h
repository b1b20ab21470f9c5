// The orvette program run as a process on a thread of its own, so that the test can work
// its phones while the program runs. The process runner's time limit bounds the run; the
// destructor waits for it.
#pragma once

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/process_runner.h"

namespace btvirt_testing {

// The program's clock runs this many times faster than the wall clock: a keep-alive cycle
// then takes 0.3 s, a GATT time-out 3 s.
constexpr const char* default_time_scale = "10";

// Options for the program on `socket_path`, looking for `uuids`, at verbosity `level`.
inline testing_support::process_options orvette_options(
    const std::string& socket_path, const std::vector<std::string>& uuids, int level,
    const char* time_scale = default_time_scale) {
    testing_support::process_options options;
    options.args = {"-chci:unix:" + socket_path};
    for (const std::string& uuid : uuids) options.args.push_back("-u" + uuid);
    options.args.push_back("-v" + std::to_string(level));
    options.env = {{"ORVETTE_TIME_SCALE", time_scale}};
    // For a test that fails: the program's HCI trace, of the last run that wrote it.
    if (const char* snoop = std::getenv("BTVIRT_TEST_SNOOP")) {
        options.env.emplace_back("ORVETTE_HCI_SNOOP", snoop);
    }
    options.time_limit_ms = 50000;
    return options;
}

class orvette_run {
  public:
    explicit orvette_run(testing_support::process_options options)
        : thread_([this, options = std::move(options)] {
              testing_support::process_result r =
                  testing_support::run_process(ORVETTE_BINARY, options);
              std::lock_guard<std::mutex> guard(lock_);
              result_ = std::move(r);
              done_ = true;
              ended_.notify_all();
          }) {}
    ~orvette_run() { thread_.join(); }
    orvette_run(const orvette_run&) = delete;
    orvette_run& operator=(const orvette_run&) = delete;

    // Waits for the end of the run (the runner's time limit bounds it).
    const testing_support::process_result& result() {
        std::unique_lock<std::mutex> guard(lock_);
        ended_.wait(guard, [&] { return done_; });
        return result_;
    }

  private:
    std::mutex lock_;
    std::condition_variable ended_;
    bool done_ = false;
    testing_support::process_result result_;
    std::thread thread_;
};

}  // namespace btvirt_testing
