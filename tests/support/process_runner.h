// Runs a program as a child process for end-to-end tests: feeds its standard input (all at
// once, or key by key over time, optionally waiting for something to appear on its output
// first), captures standard output and standard error, and kills it when a wall-clock limit
// passes so that a hung program fails its test instead of hanging the suite.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// One piece of console input. The runner first waits until standard output contains
// `wait_for` (searched after the point where the previous step's `wait_for` matched; an
// empty text matches at once), then waits `delay_ms` more real milliseconds, then writes
// `text`.
struct stdin_step {
    std::string wait_for;
    uint32_t delay_ms = 0;
    std::string text;
};

struct process_options {
    std::vector<std::string> args;   // argv[1..]; argv[0] is the program path
    std::string stdin_text;          // written as soon as the child has started
    std::vector<stdin_step> steps;   // written after stdin_text, in order
    bool close_stdin = true;         // close the child's stdin once every step is written
    uint32_t time_limit_ms = 60000;  // real time; the child is killed when it passes
    // Variables set (or replaced) in the child's environment only; ours stays as it is.
    std::vector<std::pair<std::string, std::string>> env;
};

struct process_result {
    bool started = false;  // false: the program could not be started (see start_error)
    std::string start_error;
    std::string out;           // everything the child wrote to standard output
    std::string err;           // ... and to standard error
    bool exited = false;       // true when the child ended by exit (not by a signal)
    int exit_code = -1;        // its exit code when `exited`
    int signal = 0;            // the signal that ended it, else 0
    bool timed_out = false;    // true when the runner killed it at the time limit
    size_t steps_written = 0;  // how many stdin steps were written before it ended
    uint64_t elapsed_ms = 0;   // real time from start to end
};

process_result run_process(const std::string& program, const process_options& options);

// A short description of the result for test failure messages: how it ended, and its output.
std::string describe(const process_result& result);

}  // namespace testing_support
