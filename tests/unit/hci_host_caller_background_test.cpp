// The host driven from one thread, as the fuzz harness drives it: the caller runs the host's
// background work (host_options::caller_runs_background), and the controller answers each
// command inside the host's write of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/ble_hci.h"
#include "hci/hci_commands.h"
#include "hci/host/command_channel.h"
#include "hci/host/event_delivery.h"
#include "hci/host/host.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/program_stack.h"

namespace {

using packet_bytes = std::vector<uint8_t>;
using testing_support::hex;
namespace events = testing_support;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr uint16_t program_link_handle = 0x0040;
constexpr uint16_t unasked_link_handle = 0x0055;

uint16_t u16_at(const packet_bytes& bytes, size_t at) {
    return at + 1 < bytes.size() ? static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)) : 0;
}

// A plain LE controller that answers every command at once, on the writer's thread.
class answering_controller final : public hci::transport {
  public:
    void start(bytes_handler on_bytes, lost_handler) override { on_bytes_ = std::move(on_bytes); }

    bool write(hci::bytes_view packet, std::string& why) override {
        if (closed) {
            why = "closed";
            return false;
        }
        writers.push_back(std::this_thread::get_id());
        const packet_bytes whole = packet.to_vector();
        if (whole.size() < 4 || whole[0] != 0x01) return true;
        const uint16_t opcode = u16_at(whole, 1);
        commands.push_back(opcode);
        const packet_bytes parameters(whole.begin() + 4, whole.end());
        for (const packet_bytes& answer : answers(opcode, parameters)) deliver(answer);
        return true;
    }

    void close() override { closed = true; }

    void deliver(const packet_bytes& bytes) { on_bytes_(hci::bytes_view(bytes)); }

    std::atomic<bool> closed{false};
    std::vector<uint16_t> commands;
    std::vector<std::thread::id> writers;

  private:
    static std::vector<packet_bytes> answers(uint16_t opcode, const packet_bytes& parameters) {
        namespace op = hci::opcode;
        packet_bytes p{0x00};
        switch (opcode) {
            case op::read_local_version_information:
                p.insert(p.end(), {0x0B, 0x00, 0x00, 0x0B, 0xF1, 0x05, 0x00, 0x00});
                break;
            case op::read_bd_addr:
                p.insert(p.end(), {0x01, 0x00, 0x00, 0xEE, 0xFF, 0xC0});
                break;
            case op::le_read_buffer_size:
                p.insert(p.end(), {27, 0, 2});
                break;
            case op::le_read_local_supported_features:
                p.insert(p.end(), {0x03, 0, 0, 0, 0, 0, 0, 0});
                break;
            case op::read_rssi:
                p.insert(p.end(), {parameters.at(0), parameters.at(1), static_cast<uint8_t>(-60)});
                break;
            case op::le_create_connection:
                return {events::command_status_event(opcode, 0),
                        events::connection_complete_event(
                            events::connected(program_link_handle, phone))};
            case op::disconnect:
                return {events::command_status_event(opcode, 0),
                        events::disconnection_complete_event(u16_at(parameters, 0), 0x16)};
            default:
                break;
        }
        return {events::command_complete_event(opcode, p)};
    }

    bytes_handler on_bytes_;
};

// What the program was handed, and on which threads.
struct program_record {
    adapter_t adapter{};
    std::atomic<int> callbacks{0};
    std::vector<uint16_t> event_ids;
    std::vector<std::string> statuses;
    std::vector<std::string> logs;
    std::vector<std::thread::id> threads;
};

program_record* recording = nullptr;

void note_thread(adapter_t* adapter) {
    ASSERT_EQ(adapter, &recording->adapter);
    recording->threads.push_back(std::this_thread::get_id());
    ++recording->callbacks;
}

void record_event(adapter_t* adapter, ble_evt_t* event) {
    note_thread(adapter);
    recording->event_ids.push_back(event->header.evt_id);
}

void record_status(adapter_t* adapter, sd_rpc_app_status_t, const char* text) {
    note_thread(adapter);
    recording->statuses.emplace_back(text);
}

void record_log(adapter_t* adapter, sd_rpc_log_severity_t, const char* text) {
    note_thread(adapter);
    recording->logs.emplace_back(text);
}

struct caller_driven_host {
    explicit caller_driven_host(bool caller_runs_background) {
        recording = &record;
        auto owned = std::make_unique<answering_controller>();
        controller = owned.get();
        hci::host_options options;
        options.port = "test";
        options.caller_runs_background = caller_runs_background;
        host = std::make_unique<hci::host>(
            std::move(owned), options,
            hci::program_callbacks{&record.adapter, record_status, record_event, record_log},
            std::make_shared<std::atomic<int>>(0));
    }
    ~caller_driven_host() {
        host.reset();
        recording = nullptr;
    }

    uint32_t enable_and_connect() {
        ble_cfg_t cfg{};
        cfg.gap_cfg.role_count_cfg.central_role_count = 1;
        if (const uint32_t r = host->cfg_set(BLE_GAP_CFG_ROLE_COUNT, &cfg); r != NRF_SUCCESS) {
            return r;
        }
        cfg = ble_cfg_t{};
        cfg.conn_cfg.conn_cfg_tag = 1;
        cfg.conn_cfg.params.gap_conn_cfg.conn_count = 1;
        cfg.conn_cfg.params.gap_conn_cfg.event_length = 6;
        if (const uint32_t r = host->cfg_set(BLE_CONN_CFG_GAP, &cfg); r != NRF_SUCCESS) return r;
        if (const uint32_t r = host->enable(); r != NRF_SUCCESS) return r;
        ble_gap_scan_params_t scan{};
        scan.scan_phys = BLE_GAP_PHY_1MBPS;
        scan.interval = 96;
        scan.window = 48;
        ble_gap_addr_t peer{};
        peer.addr_type = BLE_GAP_ADDR_TYPE_PUBLIC;
        std::copy(phone.begin(), phone.end(), peer.addr);
        const ble_gap_conn_params_t conn{24, 40, 0, 400};
        return host->connect(&peer, &scan, &conn, 1);
    }

    size_t count_of(uint16_t opcode) const {
        return static_cast<size_t>(
            std::count(controller->commands.begin(), controller->commands.end(), opcode));
    }

    program_record record;
    answering_controller* controller = nullptr;  // owned by the host
    std::unique_ptr<hci::host> host;
};

TEST(HciHostCallerBackground, NothingReachesTheProgramOrRunsTimersUntilTheCallerSays) {
    caller_driven_host t(true);
    const auto me = std::this_thread::get_id();
    ASSERT_EQ(t.host->open(), NRF_SUCCESS);
    ASSERT_EQ(t.enable_and_connect(), NRF_SUCCESS);
    EXPECT_EQ(t.record.callbacks.load(), 0) << "called back without the caller's say-so";

    t.host->run_background();
    ASSERT_GE(t.record.statuses.size(), 2u);
    EXPECT_EQ(t.record.statuses[0], "Target Reset performed");
    EXPECT_EQ(t.record.statuses[1], "Connection active");
    ASSERT_EQ(t.record.event_ids.size(), 1u);
    EXPECT_EQ(t.record.event_ids[0], BLE_GAP_EVT_CONNECTED);

    // A link nobody asked for is ended by the timer's work, which waits for the caller; so
    // does the polling of RSSI.
    t.controller->deliver(events::connection_complete_event([] {
        auto fields = events::connected(unasked_link_handle, phone);
        fields.role = 1;
        return fields;
    }()));
    ASSERT_EQ(t.host->rssi_start(0, 0, 0), NRF_SUCCESS);
    EXPECT_EQ(t.count_of(hci::opcode::disconnect), 0u);
    EXPECT_EQ(t.count_of(hci::opcode::read_rssi), 0u);
    t.host->run_background();
    EXPECT_EQ(t.count_of(hci::opcode::disconnect), 1u);
    EXPECT_EQ(t.count_of(hci::opcode::read_rssi), 1u);
    EXPECT_EQ(t.record.logs.back(), "HCI controller: a link the program did not ask for is ended");
    EXPECT_EQ(t.record.event_ids.size(), 1u) << "the unasked link reached the program";
    // The timers keep their own pace: the next poll is not due yet.
    t.host->run_background();
    EXPECT_EQ(t.count_of(hci::opcode::read_rssi), 1u);

    for (const auto& id : t.controller->writers) EXPECT_EQ(id, me);
    for (const auto& id : t.record.threads) EXPECT_EQ(id, me);
}

TEST(HciHostCallerBackground, WhatTheCloseLeftQueuedNeverReachesTheProgram) {
    caller_driven_host t(true);
    ASSERT_EQ(t.host->open(), NRF_SUCCESS);
    ASSERT_EQ(t.enable_and_connect(), NRF_SUCCESS);
    t.host->run_background();
    const int before = t.record.callbacks.load();
    // The phone ends the link: its event is queued, and the close comes first.
    t.controller->deliver(events::disconnection_complete_event(program_link_handle, 0x13));
    ASSERT_EQ(t.host->close(), NRF_SUCCESS);
    EXPECT_TRUE(t.controller->closed.load());
    t.host->run_background();
    EXPECT_EQ(t.record.callbacks.load(), before);
    EXPECT_EQ(t.host->close(), NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED);
}

TEST(HciHostCallerBackground, ALostControllerIsGotBackInsideRunBackgroundOnTheCallersThread) {
    caller_driven_host t(true);
    const auto me = std::this_thread::get_id();
    ASSERT_EQ(t.host->open(), NRF_SUCCESS);
    ASSERT_EQ(t.enable_and_connect(), NRF_SUCCESS);
    t.host->run_background();
    t.controller->deliver(events::hardware_error_event(0x07));
    // Nothing happens behind the caller's back, not even the reset.
    EXPECT_EQ(t.count_of(hci::opcode::reset), 1u);
    t.host->run_background();
    EXPECT_EQ(t.count_of(hci::opcode::reset), 2u);
    EXPECT_EQ(t.count_of(hci::opcode::le_set_event_mask), 2u);
    ASSERT_GE(t.record.event_ids.size(), 2u);
    EXPECT_EQ(t.record.event_ids[1], BLE_GAP_EVT_DISCONNECTED);
    ASSERT_FALSE(t.record.logs.empty());
    EXPECT_NE(t.record.logs.back().find("back after 1 attempt"), std::string::npos)
        << t.record.logs.back();
    // The host takes calls again.
    EXPECT_EQ(t.host->scan_stop(), NRF_ERROR_INVALID_STATE);
    ble_gap_scan_params_t scan{};
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 96;
    scan.window = 48;
    uint8_t buffer[31];
    const ble_data_t data{buffer, sizeof buffer};
    EXPECT_EQ(t.host->scan_start(&scan, &data), NRF_SUCCESS);
    EXPECT_EQ(t.count_of(hci::opcode::le_set_scan_enable), 1u);
    for (const auto& id : t.controller->writers) EXPECT_EQ(id, me);
    for (const auto& id : t.record.threads) EXPECT_EQ(id, me);
}

TEST(HciHostCallerBackground, TheHostsOwnThreadsStayTheDefault) {
    caller_driven_host t(false);
    const auto me = std::this_thread::get_id();
    ASSERT_EQ(t.host->open(), NRF_SUCCESS);
    // Delivered by the event thread, without run_background.
    for (int i = 0; i < 2000 && t.record.callbacks.load() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    t.host->run_background();  // nothing to do here: it must not deliver on this thread
    ASSERT_EQ(t.host->close(), NRF_SUCCESS);
    ASSERT_GE(t.record.statuses.size(), 2u);
    EXPECT_EQ(t.record.statuses[0], "Target Reset performed");
    for (const auto& id : t.record.threads) EXPECT_NE(id, me);
}

// ---- The event delivery without its thread.

struct delivery_record {
    adapter_t adapter{};
    std::vector<std::string> seen;
    hci::event_delivery* delivery = nullptr;
    bool post_from_callback = false;
};

delivery_record* delivery_recording = nullptr;

void delivered_status(adapter_t*, sd_rpc_app_status_t, const char* text) {
    delivery_recording->seen.push_back(std::string("status ") + text);
    if (delivery_recording->post_from_callback) {
        delivery_recording->post_from_callback = false;
        delivery_recording->delivery->post_status(CONNECTION_ACTIVE, "posted by a callback");
    }
}

void delivered_log(adapter_t*, sd_rpc_log_severity_t, const char* text) {
    delivery_recording->seen.push_back(std::string("log ") + text);
}

TEST(HciEventDelivery, WithoutItsThreadTheCallerDeliversInOrderUntilItStops) {
    delivery_record r;
    delivery_recording = &r;
    auto filter = std::make_shared<std::atomic<int>>(SD_RPC_LOG_INFO);
    {
        hci::event_delivery d(
            hci::program_callbacks{&r.adapter, delivered_status, nullptr, delivered_log}, filter);
        r.delivery = &d;
        d.post_status(RESET_PERFORMED, "first");
        d.post_log(SD_RPC_LOG_DEBUG, "below the filter");
        d.post_log(SD_RPC_LOG_WARNING, "second");
        EXPECT_TRUE(r.seen.empty());
        EXPECT_EQ(d.backlog(), 3u);
        r.post_from_callback = true;
        d.deliver_queued();
        EXPECT_EQ(r.seen, (std::vector<std::string>{"status first", "log second",
                                                    "status posted by a callback"}));
        EXPECT_EQ(d.backlog(), 0u);

        // Queued at the stop, or posted after it: dropped.
        d.post_status(RESET_PERFORMED, "queued at the stop");
        d.stop();
        d.post_status(RESET_PERFORMED, "after the stop");
        EXPECT_EQ(d.backlog(), 0u);
        d.deliver_queued();
        EXPECT_EQ(r.seen.size(), 3u);
    }
    delivery_recording = nullptr;
}

// ---- Commands answered inside the write.

TEST(HciCommandChannel, AnAnswerReadInsideTheWriteIsTakenAndPacesTheNext) {
    hci::command_channel* self = nullptr;
    std::vector<packet_bytes> inside;  // what the controller hands over during each write
    size_t writes = 0;
    hci::command_channel channel{[&](hci::bytes_view, std::string&) {
        ++writes;
        for (const packet_bytes& event : inside) self->on_event(event);
        return true;
    }};
    self = &channel;

    // A stale answer to another command gives credits only; then Reset's own answer, which
    // leaves the controller no room.
    inside = {hex("0E 04 01 01 10 00"), hex("0E 04 00 03 0C 00")};
    const auto start = std::chrono::steady_clock::now();
    const hci::command_outcome reset = channel.execute(hci::reset_command(), 5000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(reset.what, hci::command_outcome::kind::complete);
    EXPECT_TRUE(reset.succeeded());
    EXPECT_EQ(channel.credits(), 0);

    // No room: the next command is not written, and no answer comes.
    inside = {hex("0E 0C 01 01 10 00 0B 00 00 0B F1 05 00 00")};
    EXPECT_EQ(channel.execute(hci::read_local_version_information_command(), 30).what,
              hci::command_outcome::kind::no_answer);
    EXPECT_EQ(writes, 1u);

    // A Command Status for nothing in particular makes room again.
    EXPECT_TRUE(channel.on_event(hex("0F 04 00 01 00 00")));
    const hci::command_outcome version =
        channel.execute(hci::read_local_version_information_command(), 5000);
    EXPECT_EQ(writes, 2u);
    ASSERT_TRUE(version.answered());
    EXPECT_EQ(version.return_parameters.size(), 9u);
}

}  // namespace
