// The btvirt harness itself (worlds, and our HCI peers in them), and the first look at the
// program's HCI backend through the driver interface against an emulated controller.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/backends.h"
#include "driver/sd_rpc.h"
#include "hci/hci_commands.h"
#include "tests/btvirt/btvirt_world.h"
#include "tests/btvirt/hci_peer.h"
#include "tests/support/program_stack.h"

namespace {

using namespace std::chrono_literals;
using btvirt_testing::hci_peer;
using btvirt_testing::received_report;
using btvirt_testing::world;
using steady = std::chrono::steady_clock;

constexpr const char* uuid_a = "a0a48997-1097-bba1-b343-eddd8f50f6ac";
constexpr const char* uuid_b = "6e400001-b5a3-f393-e0a9-e50e24dcca9e";

// Every 50 ms (units of 0.625 ms): the emulator hears the advertiser at each restart.
hci::advertising_parameters every_50_ms() {
    hci::advertising_parameters p;
    p.interval_min = 80;
    p.interval_max = 80;
    return p;
}

std::function<bool(const received_report&)> from(const hci_peer& peer) {
    const wire::address_bytes address = peer.address();
    return [address](const received_report& r) { return r.address == address; };
}

std::function<bool(const received_report&)> carrying(const std::vector<uint8_t>& data) {
    return [data](const received_report& r) { return r.data == data; };
}

size_t count_reports(const hci_peer& peer,
                     const std::function<bool(const received_report&)>& pred) {
    size_t n = 0;
    for (const received_report& r : peer.reports()) n += pred(r) ? 1 : 0;
    return n;
}

long long ms_since(steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
}

// --- The harness ---------------------------------------------------------------------------

TEST(BtvirtHarness, AScannerHearsTheAdvertisersAddressTypeAndData) {
    world w;
    hci_peer advertiser(w.le_socket_path());
    hci_peer scanner(w.le_socket_path());
    ASSERT_TRUE(advertiser.reset());
    ASSERT_TRUE(scanner.reset());
    ASSERT_NE(advertiser.address(), scanner.address()) << "one controller per connection";

    ASSERT_TRUE(scanner.start_scanning());
    const std::vector<uint8_t> data = btvirt_testing::flags_and_uuid128(uuid_a);
    ASSERT_EQ(data.size(), 21u);
    ASSERT_TRUE(advertiser.start_advertising(every_50_ms(), data));

    const auto heard = scanner.wait_for_report(from(advertiser), 5s);
    ASSERT_TRUE(heard.has_value());
    const received_report r = scanner.reports()[*heard];
    EXPECT_EQ(r.event_type, 0x00);    // ADV_IND: connectable, scannable
    EXPECT_EQ(r.address_type, 0x00);  // public
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(r.rssi, 127);  // the emulator has no signal strength
    // Flags, then the UUID least significant byte first.
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 7),
              (std::vector<uint8_t>{0x02, 0x01, 0x06, 0x11, 0x07, 0xac, 0xf6}));
    EXPECT_EQ(data.back(), 0xa0);
    EXPECT_EQ(count_reports(scanner, from(scanner)), 0u) << "a controller does not hear itself";
}

TEST(BtvirtHarness, TheAdvertiserIsHeardAgainEachIntervalUntilItStops) {
    world w;
    hci_peer advertiser(w.le_socket_path());
    hci_peer scanner(w.le_socket_path());
    ASSERT_TRUE(advertiser.reset());
    ASSERT_TRUE(scanner.reset());
    // Advertising first, scanning later: the scanner hears it when it starts, and then at the
    // advertiser's restarts.
    const steady::time_point start = steady::now();
    ASSERT_TRUE(
        advertiser.start_advertising(every_50_ms(), btvirt_testing::flags_and_uuid128(uuid_a)));
    ASSERT_TRUE(scanner.start_scanning());

    size_t next = 0;
    for (int i = 0; i < 5; ++i) {
        const auto heard = scanner.wait_for_report(from(advertiser), 2s, next);
        ASSERT_TRUE(heard.has_value()) << "report " << i << " after " << ms_since(start) << " ms";
        next = *heard + 1;
    }
    // Five reports take four restarts, each a full interval after the one before; far longer
    // means the restarts lag.
    EXPECT_GE(ms_since(start), 200);
    EXPECT_LT(ms_since(start), 2000);
    // The first report came when scanning started, the others at restarts; the emulator
    // sends the last one before the advertiser's thread has seen its restart answered.
    EXPECT_GE(advertiser.advertising_restarts(), 3u);
    EXPECT_EQ(advertiser.advertising_trouble(), "");

    ASSERT_TRUE(advertiser.stop_advertising());
    // A report of the last restart may still be on its way to the scanner.
    ASSERT_TRUE(scanner.round_trip());
    const size_t after_stop = scanner.report_count();
    // Six intervals of silence.
    EXPECT_FALSE(scanner.wait_for_report(from(advertiser), 300ms, after_stop).has_value());

    // Starting again with other data: heard again, with the new data.
    const std::vector<uint8_t> other = btvirt_testing::flags_and_uuid128(uuid_b);
    ASSERT_TRUE(advertiser.start_advertising(every_50_ms(), other));
    EXPECT_TRUE(scanner.wait_for_report(carrying(other), 2s, after_stop).has_value());
    // A reset ends the restarts too: no report of the old advertising comes after it.
    ASSERT_TRUE(advertiser.reset());
    ASSERT_TRUE(scanner.round_trip());
    const size_t after_reset = scanner.report_count();
    EXPECT_FALSE(scanner.wait_for_report(from(advertiser), 300ms, after_reset).has_value());
    EXPECT_EQ(advertiser.advertising_trouble(), "");
}

TEST(BtvirtHarness, TwoWorldsAtOnceDoNotHearEachOther) {
    world one;
    world two;
    ASSERT_NE(one.le_socket_path(), two.le_socket_path());
    hci_peer advertiser_one(one.le_socket_path());
    hci_peer scanner_one(one.le_socket_path());
    hci_peer advertiser_two(two.le_socket_path());
    hci_peer scanner_two(two.le_socket_path());
    for (hci_peer* peer : {&advertiser_one, &scanner_one, &advertiser_two, &scanner_two}) {
        ASSERT_TRUE(peer->reset());
    }
    ASSERT_TRUE(scanner_one.start_scanning());
    ASSERT_TRUE(scanner_two.start_scanning());
    const std::vector<uint8_t> data_one = btvirt_testing::flags_and_uuid128(uuid_a);
    const std::vector<uint8_t> data_two = btvirt_testing::flags_and_uuid128(uuid_b);
    ASSERT_TRUE(advertiser_one.start_advertising(every_50_ms(), data_one));
    ASSERT_TRUE(advertiser_two.start_advertising(every_50_ms(), data_two));

    // Each scanner hears its own world's advertiser several times over...
    size_t from_one = 0, from_two = 0;
    for (int i = 0; i < 4; ++i) {
        const auto heard_one = scanner_one.wait_for_report(carrying(data_one), 2s, from_one);
        const auto heard_two = scanner_two.wait_for_report(carrying(data_two), 2s, from_two);
        ASSERT_TRUE(heard_one.has_value());
        ASSERT_TRUE(heard_two.has_value());
        from_one = *heard_one + 1;
        from_two = *heard_two + 1;
    }
    std::this_thread::sleep_for(200ms);
    // ...and never the other's.
    EXPECT_EQ(count_reports(scanner_one, carrying(data_two)), 0u);
    EXPECT_EQ(count_reports(scanner_two, carrying(data_one)), 0u);
    EXPECT_EQ(count_reports(scanner_one, carrying(data_one)), scanner_one.report_count());
    EXPECT_EQ(count_reports(scanner_two, carrying(data_two)), scanner_two.report_count());
}

TEST(BtvirtHarness, AnEndedWorldLeavesNoProcessNoFolderAndClosesItsPeers) {
    std::optional<world> w;
    w.emplace();
    const pid_t pid = w->pid();
    const std::string folder = w->folder();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(std::filesystem::exists(w->le_socket_path()));
    hci_peer peer(w->le_socket_path());
    ASSERT_TRUE(peer.reset());
    // Advertising, so that the peer's thread is busy with the emulator when it goes.
    ASSERT_TRUE(peer.start_advertising(every_50_ms(), btvirt_testing::flags_and_uuid128(uuid_a)));

    const steady::time_point start = steady::now();
    w.reset();
    EXPECT_LT(ms_since(start), 3000) << "the emulator should end at SIGTERM";
    const int signalled = ::kill(pid, 0);
    const int error = errno;
    EXPECT_EQ(signalled, -1);
    EXPECT_EQ(error, ESRCH);
    EXPECT_FALSE(std::filesystem::exists(folder));

    // The peer notices at once instead of waiting out its time limits.
    const steady::time_point asked = steady::now();
    EXPECT_FALSE(peer.command(hci::reset_command(), nullptr, 5s));
    EXPECT_LT(ms_since(asked), 1000);
    EXPECT_FALSE(peer.connected());
    EXPECT_FALSE(peer.wait_for_report(from(peer), 5s).has_value());
    EXPECT_LT(ms_since(asked), 2000);
}

// --- The peer against a controller played by the test --------------------------------------

// A listening socket in a fresh folder; accept() hands over the peer's connection.
class fake_controller {
  public:
    fake_controller() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvette-fake-hci-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        path_ = folder_ + "/hci";
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 1) != 0) {
            throw std::runtime_error("cannot listen on " + path_);
        }
    }
    ~fake_controller() {
        if (connection_ >= 0) ::close(connection_);
        ::close(listener_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    const std::string& path() const { return path_; }
    void accept() { connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC); }
    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(connection_, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Reads one command of `size` bytes, as our peer writes it.
    std::vector<uint8_t> read_command(size_t size) {
        std::vector<uint8_t> bytes(size);
        size_t got = 0;
        while (got < size) {
            const ssize_t n = ::read(connection_, bytes.data() + got, size - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }
    void hang_up() {
        ::close(connection_);
        connection_ = -1;
    }

  private:
    std::string folder_;
    std::string path_;
    int listener_ = -1;
    int connection_ = -1;
};

// A whole Command Complete event, indicator first.
std::vector<uint8_t> command_complete(uint16_t opcode, const std::vector<uint8_t>& returned) {
    std::vector<uint8_t> event = {0x04, 0x0E, static_cast<uint8_t>(3 + returned.size()), 0x01};
    hci::put_u16(event, opcode);
    for (const uint8_t byte : returned) event.push_back(byte);
    return event;
}

// A whole LE Advertising Report event with one report and no data.
std::vector<uint8_t> advertising_report_event() {
    return {0x04, 0x3E, 12, 0x02, 0x01, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00, 0x7F};
}

TEST(BtvirtPeer, TakesOnlyTheAnswerToTheCommandItSent) {
    fake_controller controller;
    hci_peer peer(controller.path());
    controller.accept();

    // An answer that came before the command was sent is not its answer. The report after
    // it shows when the peer has taken both in.
    controller.send(command_complete(hci::opcode::reset, {0x00}));
    controller.send(advertising_report_event());
    ASSERT_TRUE(peer.wait_for_report([](const received_report&) { return true; }, 2s));
    const steady::time_point start = steady::now();
    const ::testing::AssertionResult unanswered =
        peer.command(hci::reset_command(), nullptr, 300ms);
    EXPECT_FALSE(unanswered);
    EXPECT_NE(std::string(unanswered.message()).find("no answer"), std::string::npos)
        << unanswered.message();
    EXPECT_GE(ms_since(start), 300);
    EXPECT_LT(ms_since(start), 1500);
    EXPECT_EQ(controller.read_command(4), hci::reset_command());

    // Answers to other commands pass by; the one with its opcode is taken.
    std::thread answering([&] {
        const std::vector<uint8_t> asked = controller.read_command(4);
        if (asked != hci::read_bd_addr_command()) return;
        controller.send(command_complete(hci::opcode::reset, {0x00}));
        controller.send(command_complete(hci::opcode::read_bd_addr,
                                         {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    });
    btvirt_testing::command_reply reply;
    EXPECT_TRUE(peer.command(hci::read_bd_addr_command(), &reply, 2s));
    answering.join();
    EXPECT_TRUE(reply.complete);
    EXPECT_EQ(reply.return_parameters,
              (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));

    // A refusal is an answer, and command_ok says what it was.
    std::thread refusing([&] {
        if (controller.read_command(5).size() != 5) return;
        controller.send(command_complete(hci::opcode::le_set_advertising_enable, {0x0C}));
    });
    const ::testing::AssertionResult refused =
        peer.command_ok(hci::le_set_advertising_enable_command(true), nullptr, 2s);
    refusing.join();
    EXPECT_FALSE(refused);
    EXPECT_NE(std::string(refused.message()).find("status 0x0C"), std::string::npos)
        << refused.message();
}

TEST(BtvirtPeer, AControllerThatHangsUpEndsTheWaitingCommandAtOnce) {
    fake_controller controller;
    hci_peer peer(controller.path());
    controller.accept();
    std::thread hanging_up([&] {
        controller.read_command(4);
        controller.hang_up();
    });
    const steady::time_point start = steady::now();
    const ::testing::AssertionResult result = peer.command(hci::reset_command(), nullptr, 10s);
    hanging_up.join();
    EXPECT_FALSE(result);
    EXPECT_NE(std::string(result.message()).find("closed"), std::string::npos) << result.message();
    EXPECT_LT(ms_since(start), 2000);
    EXPECT_FALSE(peer.connected());
}

// --- The program's HCI backend ---------------------------------------------------------------

// What the driver delivers to one adapter; its callbacks carry no user pointer.
struct driver_recorder {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::string> log;
    std::vector<ble_gap_evt_adv_report_t> reports;
    std::vector<std::vector<uint8_t>> report_data;  // copied at delivery

    static std::atomic<driver_recorder*> current;

    static void on_status(adapter_t*, sd_rpc_app_status_t code, const char* text) {
        add_log("status " + std::to_string(code) + ": " + (text != nullptr ? text : ""));
    }
    static void on_log(adapter_t*, sd_rpc_log_severity_t severity, const char* text) {
        add_log("log " + std::to_string(severity) + ": " + (text != nullptr ? text : ""));
    }
    static void on_event(adapter_t*, ble_evt_t* event) {
        driver_recorder* r = current.load();
        if (r == nullptr || event->header.evt_id != BLE_GAP_EVT_ADV_REPORT) return;
        const ble_gap_evt_adv_report_t& report = event->evt.gap_evt.params.adv_report;
        {
            std::lock_guard<std::mutex> guard(r->lock);
            r->reports.push_back(report);
            r->report_data.emplace_back(
                report.data.p_data,
                report.data.p_data + (report.data.p_data ? report.data.len : 0));
        }
        r->arrived.notify_all();
    }
    static void add_log(const std::string& line) {
        driver_recorder* r = current.load();
        if (r == nullptr) return;
        std::lock_guard<std::mutex> guard(r->lock);
        r->log.push_back(line);
    }
    std::string log_text() {
        std::lock_guard<std::mutex> guard(lock);
        std::string text;
        for (const std::string& line : log) text += "\n  " + line;
        return text.empty() ? " (the driver said nothing)" : text;
    }
};
std::atomic<driver_recorder*> driver_recorder::current{nullptr};

// The program's stack configuration (as the simulated-dongle tests set it), then enable.

TEST(BtvirtSmoke, OpenResetScanAndHearOneAdvertiser) {
    world w;
    hci_peer phone(w.le_socket_path());
    ASSERT_TRUE(phone.reset());
    const std::vector<uint8_t> data = btvirt_testing::flags_and_uuid128(uuid_a);
    ASSERT_TRUE(phone.start_advertising(every_50_ms(), data));

    driver_recorder recorder;
    driver_recorder::current = &recorder;
    struct detach {
        ~detach() { driver_recorder::current = nullptr; }
    } detach_at_end;

    register_backends();
    const std::string port = "hci:unix:" + w.le_socket_path();
    auto* phy = sd_rpc_physical_layer_create_uart(port.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE,
                                                  SD_RPC_PARITY_NONE);
    auto* link = sd_rpc_data_link_layer_create_bt_three_wire(phy, 250);
    auto* transport = sd_rpc_transport_layer_create(link, 1500);
    adapter_t* adapter = sd_rpc_adapter_create(transport);
    ASSERT_NE(adapter, nullptr);

    ASSERT_EQ(sd_rpc_open(adapter, driver_recorder::on_status, driver_recorder::on_event,
                          driver_recorder::on_log),
              static_cast<uint32_t>(NRF_SUCCESS))
        << "open " << port << ":" << recorder.log_text();
    // Closed on every way out, so that the driver's threads are gone before the world.
    struct closer {
        adapter_t* adapter;
        bool open = true;
        uint32_t close() {
            open = false;
            return sd_rpc_close(adapter);
        }
        ~closer() {
            if (open) close();
        }
    } link_to_controller{adapter};

    ASSERT_EQ(testing_support::enable_program_stack(adapter), static_cast<uint32_t>(NRF_SUCCESS))
        << recorder.log_text();
    uint8_t buffer[100] = {};
    const ble_data_t report_buffer{buffer, sizeof buffer};
    ble_gap_scan_params_t scan{};
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 160;
    scan.window = 80;
    ASSERT_EQ(sd_ble_gap_scan_start(adapter, &scan, &report_buffer),
              static_cast<uint32_t>(NRF_SUCCESS))
        << recorder.log_text();

    std::unique_lock<std::mutex> lock(recorder.lock);
    const bool heard = recorder.arrived.wait_for(lock, 10s, [&] {
        for (size_t i = 0; i < recorder.reports.size(); ++i) {
            const ble_gap_evt_adv_report_t& r = recorder.reports[i];
            if (std::memcmp(r.peer_addr.addr, phone.address().data(), 6) == 0) return true;
        }
        return false;
    });
    ASSERT_TRUE(heard) << recorder.reports.size() << " reports, none from the phone";
    for (size_t i = 0; i < recorder.reports.size(); ++i) {
        const ble_gap_evt_adv_report_t& r = recorder.reports[i];
        if (std::memcmp(r.peer_addr.addr, phone.address().data(), 6) != 0) continue;
        EXPECT_EQ(r.peer_addr.addr_type, BLE_GAP_ADDR_TYPE_PUBLIC);
        // ADV_IND as the phone sent it.
        EXPECT_EQ(r.type.type,
                  BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE | BLE_GAP_ADV_REPORT_TYPE_SCANNABLE);
        EXPECT_EQ(r.data.p_data, buffer) << "in the buffer the program handed over";
        EXPECT_EQ(recorder.report_data[i], data);
        break;
    }
    lock.unlock();
    EXPECT_EQ(link_to_controller.close(), static_cast<uint32_t>(NRF_SUCCESS))
        << recorder.log_text();
}

}  // namespace
