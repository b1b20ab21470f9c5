// Advertising pipeline: reports through ble_event_handler, the message queue, on_adv_report
// and the scanner resume, at log level 0.
//
// The scanner pauses after every report until the resume hands its buffer back, so on a
// real link the next report can only follow the resume of the one before: the "one at a
// time" runs deliver a report, wait for its resume, and deliver the next, which is the rate
// the program can sustain and the time from a report to its resume. The "burst" runs hand
// over reports as fast as the event thread can post them and wait for all resumes at the
// end: the capacity of the work thread alone.
//
// Both are compared with what the serial link to the dongle can carry at 1,000,000 baud.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/test_context.h"
#include "bench/adv_reports.h"
#include "bench/resume_counting_backend.h"
#include "link/event_dispatcher.h"

namespace {

using namespace adv_pipeline_bench;

// 1,000,000 baud with 8 data bits, no parity and one stop bit is 100,000 bytes/s; a report
// takes about 46 bytes on the wire (framing and packet header, the report's fixed fields,
// a short advertisement), so the link brings at most about 2,170 reports/s.
constexpr double link_ceiling_reports_per_s = 2170.0;

bench::resume_counting_backend* the_backend = nullptr;
// Connected all along: its reports go the whole way through on_adv_report without starting
// an attempt.
phone_record monitored_phone{monitored_uuid};

void set_up_program_state() {
    the_backend = bench::make_bench_adapter();
    test_context.has_uuids = true;
    test_context.log_level = 0;
    // The first event's thread line is start-up output, not part of the pipeline.
    test_context.first_event_pending = false;
    test_context.connected_event = platform::create_event(true, false);
    monitored_phone.conn_handle = 0;
    test_context.phone_registry[monitored_phone.uuid] = &monitored_phone;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

struct pipeline_figures {
    double reports_per_s = 0;
    double median_us = 0;
    double p99_us = 0;
    uint64_t reports = 0;
};
// The figures of the longest run of each benchmark, in running order, for the summary.
std::vector<std::pair<std::string, pipeline_figures>> summary;

void keep_longest(const std::string& name, const pipeline_figures& figures) {
    for (auto& [kept_name, kept] : summary) {
        if (kept_name != name) continue;
        if (figures.reports >= kept.reports) kept = figures;
        return;
    }
    summary.emplace_back(name, figures);
}

double seconds_between(bench::bench_clock::time_point from, bench::bench_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

void one_at_a_time(benchmark::State& state) {
    const report_kind& kind = report_kinds()[static_cast<size_t>(state.range(0))];
    state.SetLabel(kind.name);
    std::vector<double> latencies_us;
    latencies_us.reserve(1 << 20);
    uint64_t expected = the_backend->resumes();
    adapter_t* adapter = test_context.adapter.load();
    const auto start = bench::bench_clock::now();
    for (auto _ : state) {
        ble_evt_t event = make_report(kind);
        const auto sent = bench::bench_clock::now();
        ble_event_handler(adapter, &event);
        the_backend->wait_for_resumes(++expected);
        latencies_us.push_back(seconds_between(sent, the_backend->last_resume_time()) * 1e6);
    }
    const double elapsed = seconds_between(start, bench::bench_clock::now());

    pipeline_figures figures;
    figures.reports = state.iterations();
    figures.reports_per_s = static_cast<double>(figures.reports) / elapsed;
    figures.median_us = percentile(latencies_us, 0.5);
    figures.p99_us = percentile(latencies_us, 0.99);
    keep_longest(std::string("one at a time: ") + kind.name, figures);

    state.counters["reports/s"] = figures.reports_per_s;
    state.counters["to_resume_p50_us"] = figures.median_us;
    state.counters["to_resume_p99_us"] = figures.p99_us;
    state.counters["link_ceiling/s"] = link_ceiling_reports_per_s;
    state.counters["x_ceiling"] = figures.reports_per_s / link_ceiling_reports_per_s;
}

void burst(benchmark::State& state) {
    constexpr int reports_per_burst = 1000;
    const report_kind& kind = report_kinds()[static_cast<size_t>(state.range(0))];
    state.SetLabel(kind.name);
    uint64_t expected = the_backend->resumes();
    adapter_t* adapter = test_context.adapter.load();
    const auto start = bench::bench_clock::now();
    for (auto _ : state) {
        for (int i = 0; i < reports_per_burst; ++i) {
            ble_evt_t event = make_report(kind);
            ble_event_handler(adapter, &event);
        }
        expected += reports_per_burst;
        the_backend->wait_for_resumes(expected);
    }
    const double elapsed = seconds_between(start, bench::bench_clock::now());

    pipeline_figures figures;
    figures.reports = state.iterations() * reports_per_burst;
    figures.reports_per_s = static_cast<double>(figures.reports) / elapsed;
    keep_longest(std::string("burst: ") + kind.name, figures);

    state.counters["reports/s"] = figures.reports_per_s;
    state.counters["link_ceiling/s"] = link_ceiling_reports_per_s;
    state.counters["x_ceiling"] = figures.reports_per_s / link_ceiling_reports_per_s;
}

BENCHMARK(one_at_a_time)->DenseRange(0, 2)->UseRealTime()->MinTime(2.0);
BENCHMARK(burst)->DenseRange(0, 2)->UseRealTime()->MinTime(2.0);

void print_summary() {
    std::printf("\nAdvertising pipeline at log level 0 (link ceiling %.0f reports/s):\n",
                link_ceiling_reports_per_s);
    for (const auto& [name, figures] : summary) {
        std::printf("  %-45s %10.0f reports/s = %6.1f x ceiling", name.c_str(),
                    figures.reports_per_s, figures.reports_per_s / link_ceiling_reports_per_s);
        if (figures.median_us > 0) {
            std::printf("; report to resume: median %.1f us, p99 %.1f us", figures.median_us,
                        figures.p99_us);
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    set_up_program_state();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (the_backend->connects() != 0) {
        std::fprintf(stderr, "error: a report started a connection attempt\n");
        return 1;
    }
    print_summary();
    std::fflush(stdout);
    // The message queue's thread and the registry live until the process ends, as in a run.
    return 0;
}
