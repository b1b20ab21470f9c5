// A driver backend for the advertising pipeline benchmark: it accepts every call and
// answers at once, and it notes when the program resumes the scanner, the last step of
// handling one report, so that the benchmark can wait for that step and time it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "driver/backend.h"
#include "platform/handover.h"

namespace bench {

using bench_clock = std::chrono::steady_clock;

class resume_counting_backend final : public driver::backend {
  public:
    // Number of resumes (scan starts without parameters) seen so far.
    uint64_t resumes() const;
    // Time of the most recent resume.
    bench_clock::time_point last_resume_time() const;
    // Blocks until at least `count` resumes have been seen.
    void wait_for_resumes(uint64_t count);

    uint32_t open(adapter_t*, sd_rpc_status_handler_t, sd_rpc_evt_handler_t,
                  sd_rpc_log_handler_t) override {
        return NRF_SUCCESS;
    }
    uint32_t close() override { return NRF_SUCCESS; }
    uint32_t conn_reset(sd_rpc_reset_t) override { return NRF_SUCCESS; }
    uint32_t log_severity_filter_set(sd_rpc_log_severity_t) override { return NRF_SUCCESS; }
    uint32_t cfg_set(uint32_t, ble_cfg_t const*, uint32_t) override { return NRF_SUCCESS; }
    uint32_t enable(uint32_t*) override { return NRF_SUCCESS; }
    uint32_t gap_scan_start(ble_gap_scan_params_t const* p_scan_params,
                            ble_data_t const* p_adv_report_buffer) override;
    uint32_t gap_scan_stop() override { return NRF_SUCCESS; }
    uint32_t gap_adv_set_configure(uint8_t*, ble_gap_adv_data_t const*,
                                   ble_gap_adv_params_t const*) override {
        return NRF_SUCCESS;
    }
    uint32_t gap_adv_start(uint8_t, uint8_t) override { return NRF_SUCCESS; }
    uint32_t gap_adv_stop(uint8_t) override { return NRF_SUCCESS; }
    uint32_t gap_connect(ble_gap_addr_t const*, ble_gap_scan_params_t const*,
                         ble_gap_conn_params_t const*, uint8_t) override;
    uint32_t gap_connect_cancel() override { return NRF_SUCCESS; }
    uint32_t gap_disconnect(uint16_t, uint8_t) override { return NRF_SUCCESS; }
    uint32_t gap_conn_param_update(uint16_t, ble_gap_conn_params_t const*) override {
        return NRF_SUCCESS;
    }
    uint32_t gap_rssi_start(uint16_t, uint8_t, uint8_t) override { return NRF_SUCCESS; }
    uint32_t gattc_primary_services_discover(uint16_t, uint16_t, ble_uuid_t const*) override {
        return NRF_SUCCESS;
    }
    uint32_t gattc_characteristics_discover(uint16_t, ble_gattc_handle_range_t const*) override {
        return NRF_SUCCESS;
    }
    uint32_t gattc_descriptors_discover(uint16_t, ble_gattc_handle_range_t const*) override {
        return NRF_SUCCESS;
    }
    uint32_t gattc_read(uint16_t, uint16_t, uint16_t) override { return NRF_SUCCESS; }
    uint32_t gattc_write(uint16_t, ble_gattc_write_params_t const*) override { return NRF_SUCCESS; }

    // Connection attempts made (none are expected: the benchmark's reports never name an
    // unconnected monitored phone).
    uint64_t connects() const;

  private:
    mutable std::mutex lock_;
    std::condition_variable resumed_;
    uint64_t resumes_ = 0;
    // Counts the resumes too, for the waiter to watch without the lock.
    platform::handover_point resumed_point_;
    uint64_t connects_ = 0;
    bench_clock::time_point last_resume_{};
};

// Makes an adapter on a new resume_counting_backend, stores it in test_context.adapter and
// returns the backend. The adapter lives until the process ends.
resume_counting_backend* make_bench_adapter();

}  // namespace bench
