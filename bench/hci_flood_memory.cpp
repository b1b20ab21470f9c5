// Resident memory of the HCI backend under a flood, through the driver calls the program
// makes, over a real Unix socket to a controller of this program's own. One phone is
// connected (controller handle 0x0040); then, for ten seconds, the phone sends ATT Read
// Requests as fast as the socket takes them, which the host owes an answer each:
//
//   held     the controller reads everything but never frees its buffers for ACL data, so
//            the answers wait in the host;
//   unread   the controller stops reading the socket but keeps freeing the buffers (Number
//            Of Completed Packets for every packet the host may have sent), so the answers
//            wait in the transport.
//
// Prints the resident set size (VmRSS) once connected and then every second, the largest,
// and what the program was told. Linux only (/proc/self/status).
//
//   hci_flood_memory held|unread [seconds]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/backend.h"
#include "driver/ble.h"
#include "driver/sd_rpc.h"
#include "hci/backend/hci_backend.h"
#include "hci/bytes.h"
#include "hci/h4_parser.h"
#include "hci/hci_commands.h"
#include "tests/support/hci_controller_events.h"

namespace {

namespace events = testing_support;
constexpr uint16_t link_handle = 0x0040;
constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};

long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// The controller's end of the socket: answers every command as a plain LE controller does,
// from a reader thread, until told to stop reading.
class flood_controller {
  public:
    explicit flood_controller(int fd) : fd_(fd) {}

    void start() {
        reader_ = std::thread([this] { read_loop(); });
    }
    void stop_reading() { reading_ = false; }
    void finish() {
        done_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
        ::close(fd_);
    }
    bool connected() const { return connected_; }

    // False once the host is gone.
    bool send(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> guard(write_lock_);
        size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

  private:
    void read_loop() {
        hci::h4_parser parser(0xFFFF);
        std::vector<uint8_t> buffer(4096);
        while (!done_) {
            if (!reading_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (n <= 0) return;
            std::vector<hci::h4_packet> packets;
            parser.feed({buffer.data(), static_cast<size_t>(n)}, packets);
            for (const auto& p : packets) {
                if (p.type == hci::packet_type::command && p.bytes.size() >= 3) answer(p.bytes);
            }
        }
    }

    void answer(const std::vector<uint8_t>& command) {
        namespace op = hci::opcode;
        const auto opcode = static_cast<uint16_t>(command[0] | (command[1] << 8));
        std::vector<uint8_t> r{0x00};
        switch (opcode) {
            case op::read_local_version_information:
                r.insert(r.end(), {0x0B, 0x00, 0x00, 0x0B, 0xF1, 0x05, 0x00, 0x00});
                break;
            case op::read_bd_addr:
                r.insert(r.end(), {0x01, 0x00, 0x00, 0xEE, 0xFF, 0xC0});
                break;
            case op::le_read_buffer_size:
                r.insert(r.end(), {0xFB, 0x00, 0x03});
                break;
            case op::le_read_local_supported_features:
                r.insert(r.end(), {0x03, 0, 0, 0, 0, 0, 0, 0});
                break;
            case op::le_create_connection:
                send(events::command_status_event(opcode, 0));
                send(events::connection_complete_event(events::connected(link_handle, phone)));
                connected_ = true;
                return;
            case op::disconnect:
                send(events::command_status_event(opcode, 0));
                send(events::disconnection_complete_event(link_handle, 0x16));
                return;
            default:
                break;
        }
        send(events::command_complete_event(opcode, r));
    }

    int fd_;
    std::thread reader_;
    std::mutex write_lock_;
    std::atomic<bool> reading_{true};
    std::atomic<bool> done_{false};
    std::atomic<bool> connected_{false};
};

std::mutex said_lock;
std::vector<std::string> said;

void note(const std::string& line) {
    std::lock_guard<std::mutex> guard(said_lock);
    if (said.size() < 20) said.push_back(line);
}
void on_status(adapter_t*, sd_rpc_app_status_t code, const char* text) {
    note("status " + std::to_string(code) + ": " + text);
}
void on_log(adapter_t*, sd_rpc_log_severity_t severity, const char* text) {
    if (severity >= SD_RPC_LOG_WARNING) note(std::string("log: ") + text);
}
void on_event(adapter_t*, ble_evt_t* event) {
    if (event->header.evt_id == BLE_GAP_EVT_DISCONNECTED) {
        note("disconnected, reason " +
             std::to_string(event->evt.gap_evt.params.disconnected.reason));
    }
}

bool enable(adapter_t* adapter) {
    ble_cfg_t cfg{};
    cfg.gap_cfg.role_count_cfg.central_role_count = 1;
    if (sd_ble_cfg_set(adapter, BLE_GAP_CFG_ROLE_COUNT, &cfg, 0) != NRF_SUCCESS) return false;
    cfg = ble_cfg_t{};
    cfg.conn_cfg.conn_cfg_tag = 1;
    cfg.conn_cfg.params.gap_conn_cfg.conn_count = 1;
    cfg.conn_cfg.params.gap_conn_cfg.event_length = 6;
    if (sd_ble_cfg_set(adapter, BLE_CONN_CFG_GAP, &cfg, 0) != NRF_SUCCESS) return false;
    return sd_ble_enable(adapter, nullptr) == NRF_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "held" && mode != "unread") {
        std::fprintf(stderr, "usage: hci_flood_memory held|unread [seconds]\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const std::string path = "/tmp/orvette-flood-" + std::to_string(::getpid()) + ".sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0) {
        std::perror("listen");
        return 1;
    }
    flood_controller* controller = nullptr;
    std::thread acceptor([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        controller = new flood_controller(fd);
        controller->start();
    });
    driver::register_backend(
        "hci:", [](const driver::link_settings& settings) { return hci::make_backend(settings); });
    const std::string port = "hci:unix:" + path;
    adapter_t* adapter = sd_rpc_adapter_create(sd_rpc_transport_layer_create(
        sd_rpc_data_link_layer_create_bt_three_wire(
            sd_rpc_physical_layer_create_uart(port.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE,
                                              SD_RPC_PARITY_NONE),
            250),
        1500));
    const uint32_t opened = sd_rpc_open(adapter, on_status, on_event, on_log);
    if (opened != NRF_SUCCESS) {
        std::fprintf(stderr, "could not open %s\n", port.c_str());
        std::_Exit(1);
    }
    acceptor.join();
    ble_gap_addr_t peer{};
    std::memcpy(peer.addr, phone.data(), 6);
    ble_gap_scan_params_t scan{};
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 96;
    scan.window = 48;
    const ble_gap_conn_params_t conn{24, 40, 0, 400};
    if (opened != NRF_SUCCESS || !enable(adapter) ||
        sd_ble_gap_connect(adapter, &peer, &scan, &conn, 1) != NRF_SUCCESS) {
        std::fprintf(stderr, "could not open and connect\n");
        return 1;
    }
    while (!controller->connected()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long before = resident_kb();
    std::printf("%s: resident once connected: %ld kB\n", mode.c_str(), before);

    if (mode == "unread") controller->stop_reading();
    // 256 Read Requests in one write; in "unread", each followed by leave for three more.
    const std::vector<uint8_t> l2cap{0x03, 0x00, 0x04, 0x00, 0x0A, 0x03, 0x00};
    const auto request = events::acl_data_packet(link_handle, 0x02, l2cap);
    const auto freed = events::number_of_completed_packets_event({{link_handle, 3}});
    std::vector<uint8_t> burst;
    for (int i = 0; i < 256; ++i) {
        burst.insert(burst.end(), request.begin(), request.end());
        if (mode == "unread") burst.insert(burst.end(), freed.begin(), freed.end());
    }
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding && controller->send(burst)) {
        }
    });
    long largest = before;
    for (int s = 1; s <= seconds; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long now = resident_kb();
        largest = std::max(largest, now);
        std::printf("%s: after %2d s: %ld kB\n", mode.c_str(), s, now);
        std::fflush(stdout);
    }
    flooding = false;
    std::printf("%s: largest %ld kB, %+ld kB over the connected figure\n", mode.c_str(), largest,
                largest - before);
    {
        std::lock_guard<std::mutex> guard(said_lock);
        for (const auto& line : said) std::printf("  %s\n", line.c_str());
    }
    std::fflush(stdout);
    // Closing waits out the link's disconnection; the controller may no longer be reading.
    controller->finish();
    flood.join();
    sd_rpc_close(adapter);
    ::unlink(path.c_str());
    std::_Exit(0);
}
