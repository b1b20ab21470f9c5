// Runs the orvette program for the soak: its console output goes to a file (hours of it do
// not belong in memory), its resident memory is sampled as it runs, and it is told to quit
// with 'q' once the run has lasted long enough.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace soak {

struct rss_sample {
    double real_s = 0;  // since the start
    long rss_kb = 0;
};

struct soak_run_options {
    std::string program;
    std::vector<std::string> args;
    std::string console_path;  // standard output and standard error go here
    double run_real_s = 0;     // then 'q' is typed
    double quit_limit_s = 60;  // a program that has not ended by then is killed
    double sample_every_s = 1;
    // Called about ten times a real second while the program runs (and once after it
    // ended), with the real seconds since the start: for progress reports.
    std::function<void(double real_s)> on_tick;
};

struct soak_run_result {
    bool started = false;
    std::string error;
    bool exited = false;
    int exit_code = -1;
    int signal = 0;
    bool killed = false;  // it did not end after 'q' and was killed
    double real_s = 0;
    std::vector<rss_sample> samples;
};

soak_run_result run_for_soak(const soak_run_options& options);

}  // namespace soak
