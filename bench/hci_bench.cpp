// The HCI backend: how fast the H4 parser takes a controller's byte stream apart, and how
// long an advertising report takes from the transport to the program's event handler.
//
// The parser is fed what a controller sends while the program scans in a crowded room with
// two phones connected: advertising reports (flags and a 128-bit UUID), notifications of 20
// bytes from the phones, and the Number Of Completed Packets events that free the host's
// writes. It gets the stream in chunks as a serial read returns them, and each chunk's
// packets go into a fresh vector, as the host does.
//
// The latency runs drive the backend through the driver calls, as the program does, with a
// controller of the benchmark's own behind the port "hci:bench". The scanner pauses after
// every report until the program resumes it, so reports go one at a time: the controller
// hands a report to the host from its reader thread, the handler notes the time on the
// backend's event thread, and the benchmark's thread resumes the scanner before the next.
//
// Both are compared with a 1,000,000-baud UART: 8 data bits, no parity and one stop bit are
// 10 bit times per byte, 100,000 bytes/s.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bench/adv_reports.h"
#include "bench/hci_bench_controller.h"
#include "driver/backend.h"
#include "hci/acl.h"
#include "hci/backend/hci_backend.h"
#include "hci/h4_parser.h"
#include "hci/l2cap.h"
#include "tests/support/hci_controller_events.h"

namespace {

using bench::bench_clock;

constexpr double uart_bytes_per_s = 100000.0;
constexpr const char* port = "hci:bench";

// ---- What the controller sends.

const std::vector<uint8_t>& advertisement() {
    static const std::vector<uint8_t> data =
        adv_pipeline_bench::flags_and_uuid128(adv_pipeline_bench::monitored_uuid);
    return data;
}

std::vector<uint8_t> report_packet(uint8_t address_low) {
    testing_support::advertising_report_fields report;
    report.event_type = 0;    // connectable undirected
    report.address_type = 1;  // random
    report.address = {address_low, 0x3C, 0x91, 0x0A, 0x4F, 0xD2};
    report.data = advertisement();
    report.rssi = -55;
    return testing_support::advertising_report_event({report});
}

std::vector<uint8_t> notification_packet(uint16_t handle) {
    // Handle Value Notification of attribute 0x0012: 20 bytes, all a default ATT MTU allows.
    std::vector<uint8_t> att{0x1B, 0x12, 0x00};
    for (uint8_t i = 0; i < 20; ++i) att.push_back(i);
    return testing_support::acl_data_packet(handle, hci::packet_boundary::first_flushable,
                                            *hci::l2cap_pdu(hci::cid::att, att));
}

// At least 64 KiB of whole packets: per round four reports, a notification from each phone
// and the completion of a write to each.
const std::vector<uint8_t>& controller_stream() {
    static const std::vector<uint8_t> stream = [] {
        const std::vector<std::vector<uint8_t>> round{
            report_packet(0x01), notification_packet(0x0040),
            report_packet(0x02), testing_support::number_of_completed_packets_event({{0x0040, 1}}),
            report_packet(0x03), notification_packet(0x0041),
            report_packet(0x04), testing_support::number_of_completed_packets_event({{0x0041, 1}}),
        };
        std::vector<uint8_t> out;
        while (out.size() < 64 * 1024) {
            for (const auto& packet : round) out.insert(out.end(), packet.begin(), packet.end());
        }
        return out;
    }();
    return stream;
}

// ---- The program's side of the adapter.

struct program_side {
    std::mutex lock;
    std::condition_variable seen;
    uint64_t reports = 0;
    uint64_t wrong_data = 0;
    bench_clock::time_point last_report{};
};
program_side program;

uint8_t report_buffer[31];
ble_data_t report_descriptor{report_buffer, sizeof report_buffer};

void on_event(adapter_t*, ble_evt_t* event) {
    const bench_clock::time_point now = bench_clock::now();
    if (event->header.evt_id != BLE_GAP_EVT_ADV_REPORT) return;
    const ble_data_t& data = event->evt.gap_evt.params.adv_report.data;
    const std::vector<uint8_t>& sent = advertisement();
    const bool right = data.p_data == report_buffer && data.len == sent.size() &&
                       std::memcmp(data.p_data, sent.data(), sent.size()) == 0;
    {
        std::lock_guard<std::mutex> guard(program.lock);
        ++program.reports;
        program.last_report = now;
        if (!right) ++program.wrong_data;
    }
    program.seen.notify_all();
}

void on_status(adapter_t*, sd_rpc_app_status_t, const char*) {}

void on_log(adapter_t*, sd_rpc_log_severity_t severity, const char* text) {
    if (severity >= SD_RPC_LOG_WARNING) std::fprintf(stderr, "driver: %s\n", text);
}

// False if the handler has not seen `count` reports within a second.
bool wait_for_reports(uint64_t count) {
    std::unique_lock<std::mutex> guard(program.lock);
    return program.seen.wait_for(guard, std::chrono::seconds(1),
                                 [&] { return program.reports >= count; });
}

adapter_t* the_adapter = nullptr;
std::shared_ptr<bench::hci_bench_controller> the_controller;

bool succeeded(const char* call, uint32_t result) {
    if (result != NRF_SUCCESS) std::fprintf(stderr, "error: %s returned %u\n", call, result);
    return result == NRF_SUCCESS;
}

// Opens the adapter, configures and enables the stack and starts scanning, with the calls
// and values the program uses.
bool open_scanning_adapter() {
    the_controller = std::make_shared<bench::hci_bench_controller>();
    driver::register_backend(port, [](const driver::link_settings& settings) {
        return hci::make_backend(settings,
                                 [](std::string&) { return bench::link_to(the_controller); });
    });
    physical_layer_t* physical = sd_rpc_physical_layer_create_uart(
        port, 1000000, SD_RPC_FLOW_CONTROL_NONE, SD_RPC_PARITY_NONE);
    data_link_layer_t* data_link = sd_rpc_data_link_layer_create_bt_three_wire(physical, 250);
    transport_layer_t* transport = sd_rpc_transport_layer_create(data_link, 1500);
    the_adapter = sd_rpc_adapter_create(transport);
    if (!succeeded("sd_rpc_open", sd_rpc_open(the_adapter, on_status, on_event, on_log))) {
        return false;
    }

    ble_cfg_t cfg{};
    cfg.gap_cfg.role_count_cfg.adv_set_count = 1;
    cfg.gap_cfg.role_count_cfg.central_role_count = 5;
    if (!succeeded("sd_ble_cfg_set",
                   sd_ble_cfg_set(the_adapter, BLE_GAP_CFG_ROLE_COUNT, &cfg, 0))) {
        return false;
    }
    cfg = ble_cfg_t{};
    cfg.conn_cfg.conn_cfg_tag = 1;
    cfg.conn_cfg.params.gatt_conn_cfg.att_mtu = 150;
    if (!succeeded("sd_ble_cfg_set", sd_ble_cfg_set(the_adapter, BLE_CONN_CFG_GATT, &cfg, 0))) {
        return false;
    }
    cfg = ble_cfg_t{};
    cfg.conn_cfg.conn_cfg_tag = 1;
    cfg.conn_cfg.params.gap_conn_cfg.conn_count = 5;
    cfg.conn_cfg.params.gap_conn_cfg.event_length = 6;
    if (!succeeded("sd_ble_cfg_set", sd_ble_cfg_set(the_adapter, BLE_CONN_CFG_GAP, &cfg, 0)) ||
        !succeeded("sd_ble_enable", sd_ble_enable(the_adapter, nullptr))) {
        return false;
    }

    ble_gap_scan_params_t scan{};
    scan.active = 0;
    scan.filter_policy = BLE_GAP_SCAN_FP_ACCEPT_ALL;
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 160;  // 100 ms
    scan.window = 80;     // 50 ms
    scan.timeout = BLE_GAP_SCAN_TIMEOUT_UNLIMITED;
    return succeeded("sd_ble_gap_scan_start",
                     sd_ble_gap_scan_start(the_adapter, &scan, &report_descriptor));
}

// ---- The benchmarks.

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

double seconds_between(bench_clock::time_point from, bench_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

struct figures {
    uint64_t rounds = 0;  // passes over the stream, or reports
    double bytes_per_s = 0;
    double median_us = 0;
    double p99_us = 0;
};
// The figures of the longest run of each benchmark, in running order, for the summary.
std::vector<std::pair<std::string, figures>> summary;
bool failed = false;

void keep_longest(const std::string& name, const figures& run) {
    for (auto& [kept_name, kept] : summary) {
        if (kept_name != name) continue;
        if (run.rounds >= kept.rounds) kept = run;
        return;
    }
    summary.emplace_back(name, run);
}

void fail(benchmark::State& state, const char* why) {
    state.SkipWithError(why);
    failed = true;
}

void h4_parser_throughput(benchmark::State& state) {
    const auto chunk = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t>& stream = controller_stream();
    uint64_t packets = 0;
    const auto start = bench_clock::now();
    for (auto _ : state) {
        hci::h4_parser parser;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            std::vector<hci::h4_packet> out;
            parser.feed(hci::bytes_view(stream.data() + at, std::min(chunk, stream.size() - at)),
                        out);
            packets += out.size();
        }
        benchmark::DoNotOptimize(packets);
        if (parser.pending_bytes() != 0 || parser.skipped_bytes() != 0) {
            fail(state, "the parser did not take the stream apart into whole packets");
            return;
        }
    }
    const double elapsed = seconds_between(start, bench_clock::now());

    const double bytes = static_cast<double>(state.iterations()) * stream.size();
    figures run;
    run.rounds = state.iterations();
    run.bytes_per_s = bytes / elapsed;
    keep_longest("H4 parser, " + std::to_string(chunk) + "-byte chunks", run);

    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["x_uart"] = run.bytes_per_s / uart_bytes_per_s;
}

void report_to_handler(benchmark::State& state) {
    const std::vector<uint8_t> report = report_packet(0x01);
    std::vector<double> latencies_us;
    latencies_us.reserve(1 << 20);
    uint64_t expected = 0;
    {
        std::lock_guard<std::mutex> guard(program.lock);
        expected = program.reports;
    }
    for (auto _ : state) {
        the_controller->deliver(report);
        if (!wait_for_reports(++expected)) {
            fail(state, "a report did not reach the event handler within a second");
            return;
        }
        bench_clock::time_point handled;
        {
            std::lock_guard<std::mutex> guard(program.lock);
            handled = program.last_report;
        }
        latencies_us.push_back(seconds_between(the_controller->last_handover(), handled) * 1e6);
        if (sd_ble_gap_scan_start(the_adapter, nullptr, &report_descriptor) != NRF_SUCCESS) {
            fail(state, "the scanner's resume failed");
            return;
        }
    }

    const double uart_us = static_cast<double>(report.size()) * 1e6 / uart_bytes_per_s;
    figures run;
    run.rounds = state.iterations();
    run.median_us = percentile(latencies_us, 0.5);
    run.p99_us = percentile(latencies_us, 0.99);
    keep_longest("advertising report, transport to handler", run);

    state.counters["p50_us"] = run.median_us;
    state.counters["p99_us"] = run.p99_us;
    state.counters["uart_us"] = uart_us;
    state.counters["uart_x_p50"] = uart_us / run.median_us;
    state.counters["uart_x_p99"] = uart_us / run.p99_us;
}

BENCHMARK(h4_parser_throughput)->Arg(64)->Arg(4096)->UseRealTime()->MinTime(2.0);
BENCHMARK(report_to_handler)->UseRealTime()->MinTime(2.0);

void print_summary() {
    const size_t report_bytes = report_packet(0x01).size();
    const double uart_us = static_cast<double>(report_bytes) * 1e6 / uart_bytes_per_s;
    std::printf("\nHCI backend, against a 1,000,000-baud UART (%.0f bytes/s):\n", uart_bytes_per_s);
    for (const auto& [name, run] : summary) {
        if (run.bytes_per_s > 0) {
            std::printf("  %-42s %8.1f MB/s = %6.0f x the UART\n", name.c_str(),
                        run.bytes_per_s / 1e6, run.bytes_per_s / uart_bytes_per_s);
        } else {
            std::printf(
                "  %-42s median %.1f us, p99 %.1f us; the UART carries one (%zu bytes) in %.0f us: "
                "%.0f x the median, %.1f x the p99\n",
                name.c_str(), run.median_us, run.p99_us, report_bytes, uart_us,
                uart_us / run.median_us, uart_us / run.p99_us);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (std::getenv("ORVETTE_HCI_SNOOP") != nullptr) {
        std::fprintf(stderr,
                     "note: ORVETTE_HCI_SNOOP is set, so every packet is also written to the "
                     "trace and the latency includes that\n");
    }
    if (!open_scanning_adapter()) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const bool closed = succeeded("sd_rpc_close", sd_rpc_close(the_adapter));
    for (const uint16_t opcode : the_controller->unknown_commands()) {
        std::fprintf(stderr,
                     "error: the host sent command 0x%04X, which the benchmark's "
                     "controller does not know\n",
                     opcode);
        failed = true;
    }
    {
        std::lock_guard<std::mutex> guard(program.lock);
        if (program.wrong_data != 0) {
            std::fprintf(stderr, "error: %llu reports reached the handler with other data\n",
                         static_cast<unsigned long long>(program.wrong_data));
            failed = true;
        }
    }
    print_summary();
    std::fflush(stdout);
    return closed && !failed ? 0 : 1;
}
