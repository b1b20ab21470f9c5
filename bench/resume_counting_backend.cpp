#include "bench/resume_counting_backend.h"

#include <memory>

#include "app/test_context.h"

namespace bench {

uint64_t resume_counting_backend::resumes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return resumes_;
}

bench_clock::time_point resume_counting_backend::last_resume_time() const {
    std::lock_guard<std::mutex> guard(lock_);
    return last_resume_;
}

void resume_counting_backend::wait_for_resumes(uint64_t count) {
    // A dongle is a processor of its own, awake whenever the program answers it: this
    // stand-in watches for the resume the same way, so that the time measured is the
    // program's and not this machine's time to wake a sleeping thread. It sleeps only if
    // the resume is long in coming.
    const auto resumed = [&] { return resumed_point_.handed() >= count; };
    if (resumed_point_.watch_for(resumed, std::chrono::milliseconds(10))) return;
    std::unique_lock<std::mutex> guard(lock_);
    resumed_.wait(guard, [&] { return resumes_ >= count; });
}

uint32_t resume_counting_backend::gap_scan_start(ble_gap_scan_params_t const* p_scan_params,
                                                 ble_data_t const*) {
    // The clock is read before the lock, so the time is that of the call, not of the wait.
    const bench_clock::time_point now = bench_clock::now();
    if (p_scan_params != nullptr) return NRF_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++resumes_;
        last_resume_ = now;
    }
    resumed_point_.handed_over();
    resumed_.notify_all();
    return NRF_SUCCESS;
}

uint32_t resume_counting_backend::gap_connect(ble_gap_addr_t const*, ble_gap_scan_params_t const*,
                                              ble_gap_conn_params_t const*, uint8_t) {
    std::lock_guard<std::mutex> guard(lock_);
    ++connects_;
    return NRF_SUCCESS;
}

uint64_t resume_counting_backend::connects() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connects_;
}

resume_counting_backend* make_bench_adapter() {
    driver::register_backend("bench", [](const driver::link_settings&) {
        return std::unique_ptr<driver::backend>(std::make_unique<resume_counting_backend>());
    });
    physical_layer_t* phy = sd_rpc_physical_layer_create_uart(
        "bench", 1000000, SD_RPC_FLOW_CONTROL_NONE, SD_RPC_PARITY_NONE);
    adapter_t* adapter = sd_rpc_adapter_create(
        sd_rpc_transport_layer_create(sd_rpc_data_link_layer_create_bt_three_wire(phy, 250), 1500));
    test_context.adapter = adapter;
    return static_cast<resume_counting_backend*>(driver::backend_of(adapter));
}

}  // namespace bench
