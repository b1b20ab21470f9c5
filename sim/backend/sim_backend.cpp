// The simulated dongle as a driver backend: port "sim" opens the default world, port
// "sim:FILE" the world of a scenario file. The scenario is read when the adapter is made;
// a scenario that cannot be used makes sd_rpc_open fail after one log line saying why.
#include "sim/backend/sim_backend.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"
#include "sim/backend/call_args.h"
#include "sim/backend/event_pump.h"
#include "sim/scenario/default_world.h"
#include "sim/scenario/scenario_loader.h"
#include "sim/world/world.h"

namespace sim {
namespace {

// Calls on an adapter that is not open are refused as the driver refuses them when its
// transport is down.
constexpr uint32_t not_open = NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE;

// The capture of the air that the environment (first) or the scenario asks for; null when
// neither does, or when the file cannot be written (then `warning` says so).
std::unique_ptr<air::air_capture> open_air_capture(const scenario& s, std::string& warning) {
    const char* from_environment = std::getenv("ORVETTE_SIM_PCAP");
    const std::string path = from_environment != nullptr && *from_environment != '\0'
                                 ? std::string(from_environment)
                                 : s.pcap_path;
    if (path.empty()) return nullptr;
    // Simulated time 0 is the wall-clock time of the open.
    const int64_t epoch_us = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    std::string error;
    auto capture = air::air_capture::open(path, s.pcap_empty_pdus, s.seed, epoch_us, error);
    if (!capture) warning = "air capture: " + error + "; the run goes on without it";
    return capture;
}

class sim_backend final : public driver::backend {
  public:
    explicit sim_backend(const driver::link_settings& settings) : port_(settings.port) {
        const std::string& port = settings.port;
        try {
            if (port == "sim") {
                scenario_ = default_world();
            } else if (port.rfind("sim:", 0) == 0) {
                const std::string file = port.substr(4);
                if (file.empty()) {
                    load_error_ = "port sim: no scenario file given after 'sim:'";
                } else {
                    bool unreadable = false;
                    if (!load_scenario_file(file, scenario_, load_error_, &unreadable) &&
                        unreadable) {
                        load_error_code_ = NRF_ERROR_SD_RPC_SERIAL_PORT;
                    }
                }
            } else {
                load_error_ = "port " + port + ": the simulated dongle is 'sim' or 'sim:FILE'";
            }
        } catch (const std::exception& e) {
            load_error_ = std::string("port ") + port + ": " + e.what();
        }
    }

    ~sim_backend() override { shut_down(); }

    uint32_t open(adapter_t* adapter, sd_rpc_status_handler_t status_handler,
                  sd_rpc_evt_handler_t event_handler, sd_rpc_log_handler_t log_handler) override {
        join_retired();
        std::lock_guard<std::mutex> guard(state_lock_);
        if (world_) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_OPEN;
        auto say = [&](const std::string& text) {
            if (log_handler != nullptr && SD_RPC_LOG_ERROR >= log_filter_->load()) {
                log_handler(adapter, SD_RPC_LOG_ERROR, text.c_str());
            }
        };
        if (!load_error_.empty()) {
            say(load_error_);
            return load_error_code_;
        }
        ++open_count_;
        for (const fault_config& f : scenario_.faults) {
            if (f.type == fault_type::call_result && f.call == "sd_rpc_open" && f.nth &&
                open_count_ >= *f.nth && open_count_ - *f.nth < f.count) {
                return f.result;
            }
        }
        auto trace = std::make_shared<trace_sink>(scenario_.trace_path);
        std::string trace_error;
        if (!trace->ok(trace_error)) {
            say("scenario " + scenario_.source + ": trace: " + trace_error);
            return NRF_ERROR_SD_RPC_INVALID_ARGUMENT;
        }
        if (scenario_.time_scale) platform::set_time_scale(*scenario_.time_scale);
        std::string capture_warning;
        auto air = open_air_capture(scenario_, capture_warning);
        world_ = std::make_shared<world>(scenario_, platform::tick_count(), trace, std::move(air));
        trace_json args;
        args["port"] = port_;
        world_->record_call("sd_rpc_open", args, NRF_SUCCESS);
        world_->post_status(0, RESET_PERFORMED, "Target Reset performed");
        world_->post_status(0, CONNECTION_ACTIVE, "Connection active");
        if (!capture_warning.empty()) world_->post_log(0, SD_RPC_LOG_WARNING, capture_warning);
        size_t phones = 0;
        for (const device_config& d : scenario_.devices) phones += d.is_phone ? 1 : 0;
        world_->post_log(
            0, SD_RPC_LOG_INFO,
            "simulated dongle: " + scenario_.source +
                (scenario_.name.empty() ? std::string() : " (\"" + scenario_.name + "\")") +
                ", seed " + std::to_string(scenario_.seed) + ", " + std::to_string(phones) +
                " phone(s), " + std::to_string(scenario_.devices.size() - phones) +
                " other advertiser(s)");
        pump_ = std::make_unique<event_pump>(
            world_, program_callbacks{adapter, status_handler, event_handler, log_handler},
            log_filter_);
        pump_->start();
        return NRF_SUCCESS;
    }

    uint32_t close() override {
        join_retired();
        std::shared_ptr<world> w;
        std::unique_ptr<event_pump> pump;
        {
            std::lock_guard<std::mutex> guard(state_lock_);
            if (!world_) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED;
            w = std::move(world_);
            pump = std::move(pump_);
        }
        // Scripted or not, the dongle is closed: no callback comes after this returns.
        const uint32_t result =
            w->call("sd_rpc_close", trace_json::object(), [](sim_us) { return NRF_SUCCESS; });
        w->close_capture();
        // Not under state_lock_: a callback in progress may still call in.
        pump->stop();
        if (pump->on_event_thread()) {
            // Closed from inside a callback: the thread ends when that callback returns and
            // is joined by the next open or close, or when the adapter goes.
            std::lock_guard<std::mutex> guard(state_lock_);
            retired_ = std::move(pump);
        }
        return result;
    }

    uint32_t conn_reset(sd_rpc_reset_t mode) override {
        return with_world("sd_rpc_conn_reset", trace_json{{"reset_mode", static_cast<int>(mode)}},
                          [&](world& w, sim_us now) { return w.reset(now); });
    }

    uint32_t log_severity_filter_set(sd_rpc_log_severity_t severity) override {
        log_filter_->store(static_cast<int>(severity));
        std::shared_ptr<world> w = current();
        if (w)
            w->record_call("sd_rpc_log_handler_severity_filter_set",
                           trace_json{{"severity", static_cast<int>(severity)}}, NRF_SUCCESS);
        return NRF_SUCCESS;
    }

    uint32_t cfg_set(uint32_t cfg_id, ble_cfg_t const* cfg, uint32_t app_ram_base) override {
        trace_json args{
            {"cfg_id", cfg_id}, {"cfg", describe_cfg(cfg_id, cfg)}, {"app_ram_base", app_ram_base}};
        return with_world("sd_ble_cfg_set", std::move(args),
                          [&](world& w, sim_us) { return w.cfg_set(cfg_id, cfg); });
    }

    uint32_t enable(uint32_t* p_app_ram_base) override {
        trace_json args{{"p_app_ram_base", p_app_ram_base == nullptr ? "null" : "set"}};
        return with_world("sd_ble_enable", std::move(args),
                          [](world& w, sim_us) { return w.enable(); });
    }

    uint32_t gap_scan_start(ble_gap_scan_params_t const* params,
                            ble_data_t const* buffer) override {
        trace_json args{{"scan_params", describe_scan_params(params)},
                        {"adv_report_buffer", describe_data(buffer)}};
        return with_world("sd_ble_gap_scan_start", std::move(args),
                          [&](world& w, sim_us now) { return w.scan_start(now, params, buffer); });
    }

    uint32_t gap_scan_stop() override {
        return with_world("sd_ble_gap_scan_stop", trace_json::object(),
                          [](world& w, sim_us) { return w.scan_stop(); });
    }

    uint32_t gap_adv_set_configure(uint8_t* handle, ble_gap_adv_data_t const* data,
                                   ble_gap_adv_params_t const* params) override {
        trace_json args{
            {"adv_handle", handle == nullptr ? trace_json(nullptr) : trace_json(*handle)},
            {"adv_data", describe_adv_data(data)},
            {"adv_params", describe_adv_params(params)}};
        return with_world(
            "sd_ble_gap_adv_set_configure", std::move(args),
            [&](world& w, sim_us now) { return w.adv_set_configure(now, handle, data, params); });
    }

    uint32_t gap_adv_start(uint8_t handle, uint8_t tag) override {
        return with_world("sd_ble_gap_adv_start",
                          trace_json{{"adv_handle", handle}, {"conn_cfg_tag", tag}},
                          [&](world& w, sim_us now) { return w.adv_start(now, handle, tag); });
    }

    uint32_t gap_adv_stop(uint8_t handle) override {
        return with_world("sd_ble_gap_adv_stop", trace_json{{"adv_handle", handle}},
                          [&](world& w, sim_us) { return w.adv_stop(handle); });
    }

    uint32_t gap_connect(ble_gap_addr_t const* peer, ble_gap_scan_params_t const* scan,
                         ble_gap_conn_params_t const* conn, uint8_t tag) override {
        trace_json args{{"peer_addr", describe_address(peer)},
                        {"scan_params", describe_scan_params(scan)},
                        {"conn_params", describe_conn_params(conn)},
                        {"conn_cfg_tag", tag}};
        return with_world("sd_ble_gap_connect", std::move(args), [&](world& w, sim_us now) {
            return w.connect(now, peer, scan, conn, tag);
        });
    }

    uint32_t gap_connect_cancel() override {
        return with_world("sd_ble_gap_connect_cancel", trace_json::object(),
                          [](world& w, sim_us now) { return w.connect_cancel(now); });
    }

    uint32_t gap_disconnect(uint16_t conn_handle, uint8_t reason) override {
        return with_world(
            "sd_ble_gap_disconnect",
            trace_json{{"conn_handle", conn_handle}, {"hci_status_code", reason}},
            [&](world& w, sim_us now) { return w.disconnect(now, conn_handle, reason); });
    }

    uint32_t gap_conn_param_update(uint16_t conn_handle,
                                   ble_gap_conn_params_t const* params) override {
        trace_json args{{"conn_handle", conn_handle},
                        {"conn_params", describe_conn_params(params)}};
        return with_world(
            "sd_ble_gap_conn_param_update", std::move(args),
            [&](world& w, sim_us now) { return w.conn_param_update(now, conn_handle, params); });
    }

    uint32_t gap_rssi_start(uint16_t conn_handle, uint8_t threshold, uint8_t skip) override {
        trace_json args{
            {"conn_handle", conn_handle}, {"threshold_dbm", threshold}, {"skip_count", skip}};
        return with_world("sd_ble_gap_rssi_start", std::move(args), [&](world& w, sim_us now) {
            return w.rssi_start(now, conn_handle, threshold, skip);
        });
    }

    uint32_t gattc_primary_services_discover(uint16_t conn_handle, uint16_t start,
                                             ble_uuid_t const* uuid) override {
        trace_json args{{"conn_handle", conn_handle},
                        {"start_handle", start},
                        {"srvc_uuid",
                         uuid == nullptr ? trace_json(nullptr)
                                         : trace_json{{"type", uuid->type}, {"uuid", uuid->uuid}}}};
        return with_world("sd_ble_gattc_primary_services_discover", std::move(args),
                          [&](world& w, sim_us now) {
                              return w.services_discover(now, conn_handle, start, uuid);
                          });
    }

    uint32_t gattc_characteristics_discover(uint16_t conn_handle,
                                            ble_gattc_handle_range_t const* range) override {
        trace_json args{
            {"conn_handle", conn_handle},
            {"handle_range", range == nullptr ? trace_json(nullptr)
                                              : trace_json{{"start_handle", range->start_handle},
                                                           {"end_handle", range->end_handle}}}};
        return with_world("sd_ble_gattc_characteristics_discover", std::move(args),
                          [&](world& w, sim_us now) {
                              return w.characteristics_discover(now, conn_handle, range);
                          });
    }

    uint32_t gattc_descriptors_discover(uint16_t conn_handle,
                                        ble_gattc_handle_range_t const* range) override {
        trace_json args{
            {"conn_handle", conn_handle},
            {"handle_range", range == nullptr ? trace_json(nullptr)
                                              : trace_json{{"start_handle", range->start_handle},
                                                           {"end_handle", range->end_handle}}}};
        return with_world(
            "sd_ble_gattc_descriptors_discover", std::move(args),
            [&](world& w, sim_us now) { return w.descriptors_discover(now, conn_handle, range); });
    }

    uint32_t gattc_read(uint16_t conn_handle, uint16_t handle, uint16_t offset) override {
        return with_world(
            "sd_ble_gattc_read",
            trace_json{{"conn_handle", conn_handle}, {"handle", handle}, {"offset", offset}},
            [&](world& w, sim_us now) { return w.read(now, conn_handle, handle, offset); });
    }

    uint32_t gattc_write(uint16_t conn_handle, ble_gattc_write_params_t const* params) override {
        trace_json args{{"conn_handle", conn_handle}, {"write_params", describe_write(params)}};
        return with_world("sd_ble_gattc_write", std::move(args),
                          [&](world& w, sim_us now) { return w.write(now, conn_handle, params); });
    }

  private:
    std::shared_ptr<world> current() {
        std::lock_guard<std::mutex> guard(state_lock_);
        return world_;
    }

    template <typename Op>
    uint32_t with_world(const char* name, trace_json args, Op op) {
        std::shared_ptr<world> w = current();
        if (!w) return not_open;
        world& target = *w;
        return target.call(name, std::move(args), [&](sim_us now) { return op(target, now); });
    }

    void shut_down() {
        std::unique_ptr<event_pump> pump;
        std::unique_ptr<event_pump> retired;
        {
            std::lock_guard<std::mutex> guard(state_lock_);
            pump = std::move(pump_);
            retired = std::move(retired_);
            world_.reset();
        }
        if (pump) pump->stop();
        if (retired) retired->stop();
    }

    // Joins an event thread the program closed from inside one of its callbacks. Not under
    // state_lock_: the rest of that callback may still call in.
    void join_retired() {
        std::unique_ptr<event_pump> retired;
        {
            std::lock_guard<std::mutex> guard(state_lock_);
            if (!retired_ || retired_->on_event_thread()) return;
            retired = std::move(retired_);
        }
        retired->stop();
    }

    std::string port_;
    scenario scenario_;
    std::string load_error_;
    uint32_t load_error_code_ = NRF_ERROR_SD_RPC_INVALID_ARGUMENT;
    uint32_t open_count_ = 0;
    std::shared_ptr<std::atomic<int>> log_filter_ = std::make_shared<std::atomic<int>>(0);
    std::mutex state_lock_;
    std::shared_ptr<world> world_;
    std::unique_ptr<event_pump> pump_;
    std::unique_ptr<event_pump> retired_;
};

}  // namespace

std::unique_ptr<driver::backend> make_backend(const driver::link_settings& settings) {
    return std::make_unique<sim_backend>(settings);
}

}  // namespace sim
