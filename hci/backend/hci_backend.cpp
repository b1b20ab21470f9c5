#include "hci/backend/hci_backend.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <vector>

#include "driver/wire/printable_text.h"
#include "hci/host/host.h"
#include "platform/platform.h"

namespace hci {
namespace {

void apply_time_scale_from_environment(const std::function<void(const std::string&)>& say) {
    // A testing aid: the emulated controllers keep no time, so tests run the program's
    // clock faster than the wall clock to get through its keep-alive cycles quickly.
    const char* text = std::getenv("ORVETTE_TIME_SCALE");
    if (text == nullptr) return;
    char* end = nullptr;
    errno = 0;
    const double factor = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(factor) || !(factor > 0)) {
        say(std::string("ORVETTE_TIME_SCALE=") + text +
            " ignored: it must be a number greater than 0");
        return;
    }
    platform::set_time_scale(factor);
}

constexpr uint32_t not_open = NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE;

class hci_backend final : public driver::backend {
  public:
    hci_backend(const driver::link_settings& settings, transport_opener opener)
        : port_(settings.port), opener_(std::move(opener)) {
        if (!opener_) {
            transport_address address;
            std::string error;
            if (!parse_transport_address(port_, address, error)) {
                address_error_ = error;
            } else {
                opener_ = [address](std::string& why) { return open_transport(address, why); };
            }
        }
    }

    ~hci_backend() override {
        std::unique_ptr<host> h;
        {
            std::lock_guard<std::mutex> guard(lock_);
            h = std::move(host_);
        }
        if (h) h->close();
        retire(std::move(h));
    }

    uint32_t open(adapter_t* adapter, sd_rpc_status_handler_t status_handler,
                  sd_rpc_evt_handler_t event_handler, sd_rpc_log_handler_t log_handler) override {
        std::lock_guard<std::mutex> call(open_lock_);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (host_) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_OPEN;
        }
        auto say = [&](const std::string& text) {
            if (log_handler != nullptr && SD_RPC_LOG_ERROR >= log_filter_->load()) {
                log_handler(adapter, SD_RPC_LOG_ERROR, text.c_str());
            }
        };
        if (!address_error_.empty()) {
            say(address_error_);
            return NRF_ERROR_SD_RPC_SERIAL_PORT;
        }
        std::string error;
        std::unique_ptr<transport> link = opener_(error);
        if (!link) {
            say(error);
            return NRF_ERROR_SD_RPC_SERIAL_PORT;
        }
        apply_time_scale_from_environment(say);
        host_options options;
        options.port = wire::printable_text(port_);
        options.snoop_path = snoop_path_from_environment();
        // A lost stream is opened again the way it was opened first: a serial device back
        // under its name after a re-plug, a socket connected again, the user channel.
        options.reopen = opener_;
        auto made = std::make_unique<host>(
            std::move(link), options,
            program_callbacks{adapter, status_handler, event_handler, log_handler}, log_filter_);
        const uint32_t result = made->open();
        if (result != NRF_SUCCESS) return result;
        std::lock_guard<std::mutex> guard(lock_);
        host_ = std::move(made);
        return NRF_SUCCESS;
    }

    uint32_t close() override {
        std::unique_ptr<host> h;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!host_) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED;
            h = std::move(host_);
        }
        const uint32_t result = h->close();
        // Closed from inside a callback, the host's event thread is still running that
        // callback: the host is kept until the adapter goes.
        retire(std::move(h));
        return result;
    }

    uint32_t conn_reset(sd_rpc_reset_t) override {
        return with_host([&](host& h) { return h.reset(); });
    }

    uint32_t log_severity_filter_set(sd_rpc_log_severity_t severity) override {
        log_filter_->store(static_cast<int>(severity));
        return NRF_SUCCESS;
    }

    uint32_t cfg_set(uint32_t cfg_id, ble_cfg_t const* cfg, uint32_t) override {
        return with_host([&](host& h) { return h.cfg_set(cfg_id, cfg); });
    }
    uint32_t enable(uint32_t*) override {
        return with_host([&](host& h) { return h.enable(); });
    }
    uint32_t gap_scan_start(ble_gap_scan_params_t const* params,
                            ble_data_t const* buffer) override {
        return with_host([&](host& h) { return h.scan_start(params, buffer); });
    }
    uint32_t gap_scan_stop() override {
        return with_host([&](host& h) { return h.scan_stop(); });
    }
    uint32_t gap_adv_set_configure(uint8_t* handle, ble_gap_adv_data_t const* data,
                                   ble_gap_adv_params_t const* params) override {
        return with_host([&](host& h) { return h.adv_set_configure(handle, data, params); });
    }
    uint32_t gap_adv_start(uint8_t handle, uint8_t tag) override {
        return with_host([&](host& h) { return h.adv_start(handle, tag); });
    }
    uint32_t gap_adv_stop(uint8_t handle) override {
        return with_host([&](host& h) { return h.adv_stop(handle); });
    }
    uint32_t gap_connect(ble_gap_addr_t const* peer, ble_gap_scan_params_t const* scan,
                         ble_gap_conn_params_t const* conn, uint8_t tag) override {
        return with_host([&](host& h) { return h.connect(peer, scan, conn, tag); });
    }
    uint32_t gap_connect_cancel() override {
        return with_host([&](host& h) { return h.connect_cancel(); });
    }
    uint32_t gap_disconnect(uint16_t conn_handle, uint8_t reason) override {
        return with_host([&](host& h) { return h.disconnect(conn_handle, reason); });
    }
    uint32_t gap_conn_param_update(uint16_t conn_handle,
                                   ble_gap_conn_params_t const* params) override {
        return with_host([&](host& h) { return h.conn_param_update(conn_handle, params); });
    }
    uint32_t gap_rssi_start(uint16_t conn_handle, uint8_t threshold, uint8_t skip) override {
        return with_host([&](host& h) { return h.rssi_start(conn_handle, threshold, skip); });
    }
    uint32_t gattc_primary_services_discover(uint16_t conn_handle, uint16_t start,
                                             ble_uuid_t const* uuid) override {
        return with_host(
            [&](host& h) { return h.primary_services_discover(conn_handle, start, uuid); });
    }
    uint32_t gattc_characteristics_discover(uint16_t conn_handle,
                                            ble_gattc_handle_range_t const* range) override {
        return with_host([&](host& h) { return h.characteristics_discover(conn_handle, range); });
    }
    uint32_t gattc_descriptors_discover(uint16_t conn_handle,
                                        ble_gattc_handle_range_t const* range) override {
        return with_host([&](host& h) { return h.descriptors_discover(conn_handle, range); });
    }
    uint32_t gattc_read(uint16_t conn_handle, uint16_t handle, uint16_t offset) override {
        return with_host([&](host& h) { return h.read(conn_handle, handle, offset); });
    }
    uint32_t gattc_write(uint16_t conn_handle, ble_gattc_write_params_t const* params) override {
        return with_host([&](host& h) { return h.write(conn_handle, params); });
    }

  private:
    template <typename Op>
    uint32_t with_host(Op op) {
        host* h = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            h = host_.get();
        }
        // The host lives until the adapter goes (closed hosts are retired, not freed), so
        // a call racing a close finds a closed host, which refuses it.
        return h == nullptr ? not_open : op(*h);
    }

    void retire(std::unique_ptr<host> h) {
        if (!h) return;
        std::lock_guard<std::mutex> guard(lock_);
        retired_.push_back(std::move(h));
    }

    std::string port_;
    transport_opener opener_;
    std::string address_error_;
    std::shared_ptr<std::atomic<int>> log_filter_ = std::make_shared<std::atomic<int>>(0);
    std::mutex open_lock_;
    std::mutex lock_;
    std::unique_ptr<host> host_;
    std::vector<std::unique_ptr<host>> retired_;
};

}  // namespace

std::string snoop_path_from_environment() {
    const char* path = std::getenv("ORVETTE_HCI_SNOOP");
    return path == nullptr ? std::string() : std::string(path);
}

std::unique_ptr<driver::backend> make_backend(const driver::link_settings& settings,
                                              transport_opener opener) {
    return std::make_unique<hci_backend>(settings, std::move(opener));
}

}  // namespace hci
