// The soak run: orvette against the simulated dongle with five phones in a crowded room and
// rounds of faults, for as long as ORVETTE_SOAK_MINUTES says (simulated minutes; without it
// the test is skipped, so that the normal suite stays short). scripts/soak.sh runs it.
//   ORVETTE_SOAK_MINUTES     simulated minutes to run
//   ORVETTE_SOAK_TIME_SCALE  how much faster than real time the clock runs (default 50)
//   ORVETTE_SOAK_DIR         where the scenario, trace, console and summary go (default: a
//                            fresh temporary directory, removed when the run passes)
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "diag/code_names.h"
#include "tests/soak/soak_plan.h"
#include "tests/soak/soak_process.h"
#include "tests/soak/soak_progress.h"
#include "tests/soak/trace_audit.h"
#include "tests/soak/trace_follower.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// A program that settles at a size and stays there; the allowance covers the allocator's
// own ups and downs, not growth with time.
constexpr long memory_allowance_kb = 1024;

// What one more UUID costs the program's list of every device it has seen, a set of
// strings, with glibc on a 64-bit machine: an 80-byte block for the tree node with the
// string in it, and a 48-byte block for the 32 hex digits and their terminator.
constexpr double bytes_per_seen_uuid = 128;

// Under a sanitizer the program's memory holds the sanitizer's quarantine and shadow as
// well, which grow for a long while by design: the figures are shown, not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool memory_is_judged = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool memory_is_judged = false;
#else
constexpr bool memory_is_judged = true;
#endif
#else
constexpr bool memory_is_judged = true;
#endif

double env_number(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtod(text, nullptr);
}

std::string work_dir() {
    if (const char* dir = std::getenv("ORVETTE_SOAK_DIR"); dir != nullptr && *dir != '\0') {
        fs::create_directories(dir);
        return dir;
    }
    std::string pattern = (fs::temp_directory_path() / "orvette-soak-XXXXXX").string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

long max_rss(const std::vector<soak::rss_sample>& samples, double from_s, double to_s) {
    long most = 0;
    for (const auto& s : samples) {
        if (s.real_s >= from_s && s.real_s <= to_s) most = std::max(most, s.rss_kb);
    }
    return most;
}

std::string hours_text(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f h", ms / 3600000);
    return text;
}

std::string kb_text(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f kB", bytes / 1024);
    return text;
}

std::string seconds_text(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000);
    return text;
}

// The figures of a finished run that go beyond the per-phone lines: what was asked of the
// soak (set-ups, connections, disconnections by cause, every phone back, memory, the
// world's lag), in a few lines a person reads at the end.
void write_totals(std::ostream& out, const soak::audit_result& audit,
                  const std::vector<soak::rss_sample>& samples, double scale) {
    int disconnections = 0;
    for (const auto& [reason, count] : audit.disconnections_by_reason) disconnections += count;
    out << "disconnections: " << disconnections << " by cause:";
    const char* separator = " ";
    for (const auto& [reason, count] : audit.disconnections_by_reason) {
        out << separator
            << (reason >= 0 ? hci_status_name(static_cast<uint32_t>(reason)) : "unknown") << " "
            << count;
        separator = ", ";
    }
    out << "\n";

    int back = 0;
    int lost_again = 0;
    int open_at_end = 0;
    double longest = 0;
    std::string longest_phone;
    for (const auto& [name, p] : audit.phones) {
        back += p.returns;
        lost_again += p.lost_again;
        open_at_end += p.open_at_end;
        if (p.max_return_ms > longest) {
            longest = p.max_return_ms;
            longest_phone = name;
        }
    }
    const int owed = disconnections - back - lost_again - open_at_end;
    out << "back after every disconnection: " << (owed == 0 ? "yes" : "NO") << "; " << back
        << " back in time, " << lost_again << " lost again before that (and back after it), "
        << open_at_end << " at the end with time to go, " << owed << " not back; longest "
        << seconds_text(longest) << (longest_phone.empty() ? "" : " (" + longest_phone + ")")
        << "\n";
    out << "stuck set-ups: " << audit.stuck_setups << " of " << audit.setups << " (longest "
        << seconds_text(audit.max_setup_ms) << ")\n";

    if (!samples.empty()) {
        const auto most =
            std::max_element(samples.begin(), samples.end(),
                             [](const soak::rss_sample& a, const soak::rss_sample& b) {
                                 return a.rss_kb < b.rss_kb;
                             });
        const soak::rss_sample& settled = samples[samples.size() / 10];
        out << "resident memory: " << samples.front().rss_kb << " kB at start, " << settled.rss_kb
            << " kB at " << hours_text(settled.real_s * scale * 1000) << " simulated, "
            << samples.back().rss_kb << " kB at the end, most " << most->rss_kb << " kB (at "
            << hours_text(most->real_s * scale * 1000) << " simulated)\n";
    }

    double last_new = 0;
    for (const auto& [uuid, t] : audit.uuids_seen) last_new = std::max(last_new, t);
    out << "all_devices: " << audit.uuids_seen.size()
        << " distinct 128-bit UUIDs seen, the last new one at " << seconds_text(last_new)
        << " simulated: about " << kb_text(audit.uuids_seen.size() * bytes_per_seen_uuid)
        << " in all\n";

    if (audit.lag_warnings == 0) {
        out << "world lag: never more than 1 s behind its clock\n";
    } else {
        out << "world lag: behind its clock "
            << (audit.lag_warnings == 1 ? std::string("once")
                                        : std::to_string(audit.lag_warnings) + " times")
            << ", by " << seconds_text(audit.worst_lag_ms) << " at most\n";
    }
}

// Everything a run's files tell, as the summary file and the console show it.
std::string summary_text(const soak::soak_plan& plan, const soak::audit_result& audit,
                         const std::vector<soak::rss_sample>& samples, double real_s,
                         double scale) {
    std::ostringstream summary;
    summary << "simulated: " << audit.last_t_ms / 3600000 << " h in " << real_s
            << " s real (clock x" << scale << "), " << audit.lines << " trace lines\n";
    summary << "fault rounds: " << plan.rounds << ", fault notes in the trace: " << audit.notes
            << ", GATT time-outs: " << audit.gatt_timeouts << "\n";
    summary << "set-ups: " << audit.setups << ", longest " << audit.max_setup_ms / 1000 << " s\n";
    for (const auto& [name, p] : audit.phones) {
        summary << name << ": " << p.connections.size() << " connections, " << p.forced_disconnects
                << " forced and " << p.faulty_disconnects << " faulty disconnections; back "
                << p.returns << " times (lost again before that " << p.lost_again
                << ", still owed at the end " << p.open_at_end << "), longest "
                << p.max_return_ms / 1000 << " s, mean "
                << (p.returns > 0 ? p.total_return_ms / p.returns / 1000 : 0) << " s\n";
    }
    summary << "connections in all: " << audit.connections << "\n";
    write_totals(summary, audit, samples, scale);
    const double third = real_s / 3;
    summary << "resident memory (max per third of the run): " << max_rss(samples, 0, third)
            << " kB, " << max_rss(samples, third, 2 * third) << " kB, "
            << max_rss(samples, 2 * third, real_s) << " kB; " << samples.size() << " samples\n";
    return summary.str();
}

void expect_flat_memory(const std::vector<soak::rss_sample>& samples, double real_s) {
    const double third = real_s / 3;
    const long early_kb = max_rss(samples, real_s * 0.1, third);
    const long late_kb = max_rss(samples, 2 * third, real_s);
    EXPECT_LE(late_kb, early_kb + memory_allowance_kb)
        << "resident memory grew from " << early_kb << " kB to " << late_kb << " kB";
}

std::vector<std::string> console_lines_with(const std::string& path, const std::string& text,
                                            size_t& total) {
    std::ifstream in(path);
    std::vector<std::string> found;
    std::string line;
    total = 0;
    while (std::getline(in, line)) {
        ++total;
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

}  // namespace

TEST(Soak, EveryPhoneComesBackAfterEveryDisconnectionAndMemoryStaysFlat) {
    const double minutes = env_number("ORVETTE_SOAK_MINUTES", 0);
    if (minutes <= 0) GTEST_SKIP() << "set ORVETTE_SOAK_MINUTES (scripts/soak.sh does)";
    const double scale = env_number("ORVETTE_SOAK_TIME_SCALE", 50);
    const double duration_ms = minutes * 60000;

    const std::string dir = work_dir();
    ASSERT_FALSE(dir.empty());
    const std::string scenario_path = dir + "/soak-scenario.json";
    const std::string trace_path = dir + "/trace.jsonl";
    const std::string console_path = dir + "/console.txt";

    std::ifstream world_file(std::string(ORVETTE_SOURCE_DIR) +
                             "/tests/soak/scenarios/soak-world.json");
    const json world = json::parse(world_file, nullptr, true, /*ignore_comments=*/true);
    const soak::soak_plan plan = soak::make_plan(world, duration_ms, scale, trace_path);
    std::ofstream(scenario_path) << plan.scenario.dump(2) << '\n';

    soak::soak_run_options options;
    options.program = ORVETTE_BINARY;
    options.args = {"-csim:" + scenario_path, "-v1"};
    for (const auto& phone : plan.phones) options.args.push_back("-u" + phone.uuid);
    options.console_path = console_path;
    // A moment for start-up, then the planned simulated time.
    options.run_real_s = 0.5 + duration_ms / scale / 1000;
    // The trace is checked as it grows; the progress lines come from the same counts.
    soak::trace_audit auditing(plan);
    soak::trace_follower follower(trace_path);
    const auto feed = [&](const std::string& line) { auditing.feed(line); };
    soak::progress_pacer pacer(::isatty(STDOUT_FILENO) != 0);
    options.on_tick = [&](double real_s) {
        follower.read_new(feed);
        const soak::audit_progress now = auditing.progress();
        if (pacer.due(real_s, now.t_ms)) {
            std::cout << soak::progress_line(now, duration_ms, real_s) << std::endl;
        }
    };
    const soak::soak_run_result run = soak::run_for_soak(options);
    ASSERT_TRUE(run.started) << run.error;

    follower.read_rest(feed);
    const soak::audit_result audit = auditing.finish();

    // Figures, whatever the outcome.
    const std::string summary = summary_text(plan, audit, run.samples, run.real_s, scale);
    std::ofstream(dir + "/rss.csv") << [&] {
        std::ostringstream csv;
        csv << "real_s,sim_s,rss_kb\n";
        for (const auto& s : run.samples) {
            csv << s.real_s << ',' << s.real_s * scale << ',' << s.rss_kb << '\n';
        }
        return csv.str();
    }();
    std::ofstream(dir + "/summary.txt") << summary;
    std::cout << summary << "files: " << dir << "\n";

    EXPECT_TRUE(run.exited && run.exit_code == 0 && !run.killed)
        << "exit code " << run.exit_code << ", signal " << run.signal
        << (run.killed ? ", killed after not quitting" : "");
    EXPECT_GE(audit.last_t_ms, duration_ms * 0.95) << "the run fell short of its simulated time";
    for (const std::string& failure : audit.failures) ADD_FAILURE() << failure;
    for (const auto& [name, p] : audit.phones) {
        EXPECT_GE(p.connections.size(), static_cast<size_t>(minutes / 10)) << name;
    }
    EXPECT_GT(audit.notes, 0) << "no fault struck";

    size_t console_total = 0;
    for (const char* text :
         {"caught exception", "caught non-std::exception", "Unhandled exception"}) {
        for (const auto& line : console_lines_with(console_path, text, console_total)) {
            ADD_FAILURE() << "console: " << line;
        }
    }

    if (memory_is_judged) expect_flat_memory(run.samples, run.real_s);

    if (!HasFailure() && std::getenv("ORVETTE_SOAK_DIR") == nullptr) fs::remove_all(dir);
}

// A kept run's files checked again with this checker, without running anything: for a run
// made by an earlier build, or one whose summary was lost. ORVETTE_SOAK_AUDIT_DIR names the
// run's folder; ORVETTE_SOAK_MINUTES and ORVETTE_SOAK_TIME_SCALE must be the run's own, for
// the faults are planned from them. The summary goes to summary-audit.txt in that folder.
TEST(Soak, AKeptRunIsCheckedAgainFromItsFiles) {
    const char* kept = std::getenv("ORVETTE_SOAK_AUDIT_DIR");
    if (kept == nullptr || *kept == '\0') GTEST_SKIP() << "set ORVETTE_SOAK_AUDIT_DIR";
    const double minutes = env_number("ORVETTE_SOAK_MINUTES", 0);
    ASSERT_GT(minutes, 0) << "set ORVETTE_SOAK_MINUTES to the run's";
    const double scale = env_number("ORVETTE_SOAK_TIME_SCALE", 50);
    const std::string dir = kept;

    std::ifstream world_file(std::string(ORVETTE_SOURCE_DIR) +
                             "/tests/soak/scenarios/soak-world.json");
    const json world = json::parse(world_file, nullptr, true, /*ignore_comments=*/true);
    const soak::soak_plan plan =
        soak::make_plan(world, minutes * 60000, scale, dir + "/trace.jsonl");

    std::vector<soak::rss_sample> samples;
    std::ifstream csv(dir + "/rss.csv");
    std::string row;
    std::getline(csv, row);  // the header
    while (std::getline(csv, row)) {
        soak::rss_sample sample;
        double sim_s = 0;
        if (std::sscanf(row.c_str(), "%lf,%lf,%ld", &sample.real_s, &sim_s, &sample.rss_kb) == 3) {
            samples.push_back(sample);
        }
    }
    ASSERT_FALSE(samples.empty()) << "no samples in " << dir << "/rss.csv";

    std::ifstream trace(dir + "/trace.jsonl");
    ASSERT_TRUE(trace.is_open()) << "no trace in " << dir;
    const soak::audit_result audit = soak::audit_trace(trace, plan);
    const std::string summary = summary_text(plan, audit, samples, samples.back().real_s, scale);
    std::ofstream(dir + "/summary-audit.txt") << summary;
    std::cout << summary << "files: " << dir << "\n";

    for (const std::string& failure : audit.failures) ADD_FAILURE() << failure;
    if (memory_is_judged) expect_flat_memory(samples, samples.back().real_s);
}
