// A controller lost under the HCI backend: what the program hears at once, and how the host
// gets the controller back (reset on the same stream, or the stream opened again), sets it up
// as the program last asked, paces its attempts and answers the program meanwhile.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "driver/ble_hci.h"
#include "hci/hci_commands.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::command_reply;
using testing_support::hci_seen_event;
using testing_support::hci_session;
using testing_support::recorded_command;
using testing_support::scripted_controller;
using namespace std::chrono_literals;
namespace op = hci::opcode;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr wire::address_bytes second_phone{0x11, 0x12, 0x13, 0x14, 0x15, 0xC7};
const std::vector<uint8_t> beacon_data{0x02, 0x01, 0x06, 0x05, 0xFF, 0x4C, 0x00, 0x02, 0x15};

bool has_log(const hci_session& s, const std::string& part) {
    const auto logs = s.logs();
    return std::any_of(logs.begin(), logs.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    });
}

size_t count_logs(const hci_session& s, const std::string& part) {
    const auto logs = s.logs();
    return static_cast<size_t>(std::count_if(logs.begin(), logs.end(), [&](const std::string& l) {
        return l.find(part) != std::string::npos;
    }));
}

bool wait_for_log(hci_session& s, const std::string& part, uint32_t clock_ms) {
    return s.wait_until([&] { return has_log(s, part); }, clock_ms);
}

// The program's beacon: a non-connectable set with its data, started.
uint32_t start_beacon(hci_session& s, std::vector<uint8_t> data = beacon_data,
                      uint32_t interval = 160) {
    static uint8_t handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
    static std::vector<uint8_t> buffer;
    buffer = std::move(data);
    ble_gap_adv_params_t adv{};
    adv.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
    adv.interval = interval;
    ble_gap_adv_data_t adv_data{};
    adv_data.adv_data = ble_data_t{buffer.data(), static_cast<uint16_t>(buffer.size())};
    handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
    if (const uint32_t r = sd_ble_gap_adv_set_configure(s.adapter(), &handle, &adv_data, &adv);
        r != NRF_SUCCESS) {
        return r;
    }
    return sd_ble_gap_adv_start(s.adapter(), handle, 1);
}

// The parameters of the last command with `opcode` the controller received, if any.
std::vector<uint8_t> last_parameters(const scripted_controller& c, uint16_t opcode) {
    const auto commands = c.commands();
    for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
        if (it->opcode == opcode) return it->parameters;
    }
    return {};
}

std::vector<uint16_t> opcodes_after(const scripted_controller& c, size_t from) {
    std::vector<uint16_t> out;
    const auto commands = c.commands();
    for (size_t i = from; i < commands.size(); ++i) out.push_back(commands[i].opcode);
    return out;
}

bool contains_in_order(const std::vector<uint16_t>& seen, const std::vector<uint16_t>& wanted) {
    auto at = seen.begin();
    for (uint16_t w : wanted) {
        at = std::find(at, seen.end(), w);
        if (at == seen.end()) return false;
        ++at;
    }
    return true;
}

// ---- A loss ends every wait at once.

TEST(HciLossEndsWaits, AHardwareErrorReportsEveryLinkDisconnectedAndEndsTheReadItWaitsFor) {
    hci_session s;
    const uint16_t first = s.connect_phone(phone, 0x0040);
    const uint16_t second = s.connect_phone(second_phone, 0x0041);
    ASSERT_EQ(first, 0);
    ASSERT_EQ(second, 1);
    // A keep-alive read the phone never answers.
    ASSERT_EQ(sd_ble_gattc_read(s.adapter(), first, 3, 0), NRF_SUCCESS);
    ASSERT_TRUE(s.controller().wait_for_att_pdu(0x0040, 0x0A, 1s));
    const size_t before = s.events().size();
    const auto lost_at = std::chrono::steady_clock::now();
    s.controller().deliver(testing_support::hardware_error_event(0x03));

    auto disconnected = [&] {
        std::vector<std::pair<uint16_t, uint8_t>> out;
        const auto events = s.events();
        for (size_t i = before; i < events.size(); ++i) {
            if (events[i].id() != BLE_GAP_EVT_DISCONNECTED) continue;
            const ble_gap_evt_t& gap = events[i].evt().evt.gap_evt;
            out.emplace_back(gap.conn_handle, gap.params.disconnected.reason);
        }
        return out;
    };
    ASSERT_TRUE(s.wait_until([&] { return disconnected().size() >= 2; }, 1000));
    EXPECT_LT(std::chrono::steady_clock::now() - lost_at, 1s);
    auto seen = disconnected();
    std::sort(seen.begin(), seen.end());
    const std::vector<std::pair<uint16_t, uint8_t>> expected{{first, BLE_HCI_CONNECTION_TIMEOUT},
                                                             {second, BLE_HCI_CONNECTION_TIMEOUT}};
    EXPECT_EQ(seen, expected);
    // The read ended with its link: no GATT time-out follows it.
    EXPECT_EQ(s.count(BLE_GATTC_EVT_TIMEOUT), 0u);
}

TEST(HciLossEndsWaits, AConnectionAttemptUnderWayEndsAsOneThatTimedOut) {
    hci_session s;
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    ASSERT_EQ(s.enable(), NRF_SUCCESS);
    ble_gap_scan_params_t scan{};
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 96;
    scan.window = 48;
    const ble_gap_conn_params_t conn{24, 40, 0, 400};
    const ble_gap_addr_t peer = testing_support::gap_address(phone, BLE_GAP_ADDR_TYPE_PUBLIC);
    // The controller takes the attempt up; the phone never answers it.
    ASSERT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &scan, &conn, 1), NRF_SUCCESS);
    s.controller().lose("the stream ended");
    const int at = s.wait_for(
        [](const hci_seen_event& e) {
            return e.id() == BLE_GAP_EVT_TIMEOUT &&
                   e.evt().evt.gap_evt.params.timeout.src == BLE_GAP_TIMEOUT_SRC_CONN;
        },
        1000);
    EXPECT_GE(at, 0);
}

TEST(HciLossEndsWaits, CloseOfALostAdapterDoesNotWaitForTheController) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, 0x0040), 0);
    // Gone for good: every reset unanswered, no stream to open again.
    s.controller().script(op::reset, command_reply::silent());
    s.controller().deliver(testing_support::hardware_error_event(0x01));
    // Recovery is waiting for the controller's answer to its Reset when the close comes.
    ASSERT_TRUE(s.controller().wait_for_command(op::reset, 2s));  // the open's
    ASSERT_TRUE(s.controller().wait_for_command(op::reset, 2s));  // recovery's
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.close(), NRF_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST(HciLossEndsWaits, CloseAsksASilentControllerOneCommandAndWaitsOneLimitInAll) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, 0x0040), 0);
    ASSERT_EQ(s.start_scan(), NRF_SUCCESS);
    ASSERT_EQ(start_beacon(s), NRF_SUCCESS);
    // The controller stops answering without a word: the close's first command goes
    // unanswered, and the advertising, the link and its confirmation are not waited for in
    // turn (four limits of 1 s each before).
    s.controller().script(op::le_set_scan_enable, command_reply::silent());
    const size_t before = s.controller().commands().size();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.close(), NRF_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1800ms);
    EXPECT_EQ(opcodes_after(s.controller(), before), std::vector<uint16_t>{op::le_set_scan_enable});
}

// ---- Recovery.

TEST(HciRecovery, AHardwareErrorIsRecoveredByResetOnTheSameStreamAndTheRadioRestored) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, 0x0040), 0);
    ASSERT_EQ(s.start_scan(200, 100), NRF_SUCCESS);
    ASSERT_EQ(start_beacon(s), NRF_SUCCESS);
    const auto scan_parameters = last_parameters(s.controller(), op::le_set_scan_parameters);
    const auto adv_parameters = last_parameters(s.controller(), op::le_set_advertising_parameters);
    const auto adv_data = last_parameters(s.controller(), op::le_set_advertising_data);
    const size_t before = s.controller().commands().size();

    s.controller().deliver(testing_support::hardware_error_event(0x05));
    ASSERT_TRUE(wait_for_log(s, "back after 1 attempt", 3000));
    EXPECT_TRUE(has_log(s, "HCI controller on " + std::string("hci:scripted-")));
    EXPECT_TRUE(has_log(s, "scanning on, advertising on, as the program last asked"));
    EXPECT_EQ(s.stream_opens(), 1);
    const auto after = opcodes_after(s.controller(), before);
    EXPECT_TRUE(contains_in_order(
        after,
        {op::reset, op::read_local_version_information, op::read_bd_addr, op::le_read_buffer_size,
         op::le_read_local_supported_features, op::set_event_mask, op::le_set_event_mask,
         op::le_set_advertising_parameters, op::le_set_advertising_data,
         op::le_set_advertising_enable, op::le_set_scan_parameters, op::le_set_scan_enable}));
    EXPECT_EQ(last_parameters(s.controller(), op::le_set_scan_parameters), scan_parameters);
    EXPECT_EQ(last_parameters(s.controller(), op::le_set_advertising_parameters), adv_parameters);
    EXPECT_EQ(last_parameters(s.controller(), op::le_set_advertising_data), adv_data);
    EXPECT_EQ(last_parameters(s.controller(), op::le_set_scan_enable),
              (std::vector<uint8_t>{0x01, 0x00}));

    // The program carries on along its own road: the phone connects again.
    EXPECT_EQ(s.connect_phone(phone, 0x0050), 0);
    EXPECT_TRUE(s.controller().violations().empty());
}

TEST(HciRecovery, ALostStreamIsOpenedAgainAndTheNewControllerSetUpAsLastAsked) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, 0x0040), 0);
    ASSERT_EQ(s.start_scan(320, 48), NRF_SUCCESS);
    ASSERT_EQ(start_beacon(s), NRF_SUCCESS);
    // The program stops the beacon: the new controller must not advertise.
    ASSERT_EQ(sd_ble_gap_adv_stop(s.adapter(), 0), NRF_SUCCESS);
    const auto scan_parameters = last_parameters(s.controller(), op::le_set_scan_parameters);
    scripted_controller& fresh = s.add_spare_controller();

    s.controller().lose("end of stream");
    ASSERT_TRUE(wait_for_log(s, "back after 1 attempt", 3000));
    EXPECT_TRUE(has_log(s, "scanning on, advertising off"));
    EXPECT_EQ(s.stream_opens(), 2);
    const auto commands = opcodes_after(fresh, 0);
    EXPECT_TRUE(contains_in_order(commands, {op::reset, op::set_event_mask, op::le_set_event_mask,
                                             op::le_set_scan_parameters, op::le_set_scan_enable}));
    EXPECT_EQ(std::count(commands.begin(), commands.end(), op::le_set_advertising_enable), 0);
    EXPECT_EQ(last_parameters(fresh, op::le_set_scan_parameters), scan_parameters);

    // Calls go to the new controller from now on.
    EXPECT_EQ(sd_ble_gap_scan_stop(s.adapter()), NRF_SUCCESS);
    EXPECT_EQ(last_parameters(fresh, op::le_set_scan_enable), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_TRUE(fresh.violations().empty());
}

TEST(HciRecovery, ACommandNeverAnsweredIsRecoveredByResetOnTheSameStream) {
    platform::set_time_scale(20);
    hci_session s;
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    ASSERT_EQ(s.enable(), NRF_SUCCESS);
    s.controller().script(op::le_set_scan_parameters, command_reply::silent(), 1);
    EXPECT_EQ(s.start_scan(), NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE);
    ASSERT_TRUE(wait_for_log(s, "back after 1 attempt", 10000));
    EXPECT_TRUE(has_log(s, "lost: no answer to HCI command 0x200B within 3000 ms"));
    EXPECT_EQ(s.stream_opens(), 1);
    EXPECT_EQ(s.controller().count_commands(op::reset), 2u);
    EXPECT_EQ(s.start_scan(), NRF_SUCCESS);
}

TEST(HciRecovery, AControllerThatWillNotResetOnItsStreamIsReachedOnAStreamOpenedAgain) {
    platform::set_time_scale(20);
    hci_session s;
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    ASSERT_EQ(s.enable(), NRF_SUCCESS);
    s.controller().script(op::reset, command_reply::silent());
    scripted_controller& fresh = s.add_spare_controller();
    s.controller().deliver(testing_support::hardware_error_event(0x01));
    ASSERT_TRUE(wait_for_log(s, "back after 2 attempts", 20000));
    EXPECT_TRUE(
        has_log(s, "recovery attempt 1 failed: no answer to HCI Reset (3 tries of 2000 ms)"));
    EXPECT_EQ(s.stream_opens(), 2);
    EXPECT_EQ(fresh.count_commands(op::reset), 1u);
    EXPECT_EQ(fresh.count_commands(op::le_set_event_mask), 1u);
}

TEST(HciRecovery, AttemptsBackOffToEveryFiveSecondsAndTheLogQuietsToOneLineAMinute) {
    platform::set_time_scale(50);
    hci_session s;
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    const uint64_t lost_at = platform::tick_count();
    s.controller().lose("unplugged");
    // Every reopening fails at once (no spare controller).
    ASSERT_TRUE(wait_for_log(s, "still lost after", 90000));
    const uint64_t reported_at = platform::tick_count();
    const auto logs = s.logs();
    // One line per attempt at first, with the wait that follows it.
    const char* const waits[] = {"0.5 s", "1.0 s", "2.0 s", "4.0 s", "5.0 s"};
    for (int attempt = 1; attempt <= 5; ++attempt) {
        const std::string line = "recovery attempt " + std::to_string(attempt) +
                                 " failed: cannot open the stream again: no controller on the "
                                 "scripted port any more; next attempt in " +
                                 waits[attempt - 1];
        EXPECT_EQ(count_logs(s, line), 1u) << line;
    }
    EXPECT_EQ(count_logs(s, "recovery attempt 6 "), 0u);
    EXPECT_EQ(count_logs(s, "still lost after"), 1u);
    // Attempts at 0, 0.5, 1.5, 3.5, 7.5, 12.5 s, then every 5 s. The minute's line comes a
    // minute after the fifth attempt's, with the seventeenth attempt at 67.5 s. The timer
    // looks in every 50 ms of real time, 2.5 s of this clock, so each attempt may come up to
    // that much later, and fewer fit in the minute.
    EXPECT_GE(reported_at - lost_at, 67000u);
    EXPECT_LE(reported_at - lost_at, 90000u);
    EXPECT_GE(s.stream_opens(), 13);
    EXPECT_LE(s.stream_opens(), 19);
    EXPECT_TRUE(has_log(s, "trying every 5.0 s"));
}

TEST(HciRecovery, CallsWhileAwayThatOnlySetTheRadioAreTakenAndTheRestFail) {
    platform::set_time_scale(10);
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, 0x0040);
    ASSERT_EQ(handle, 0);
    ASSERT_EQ(s.start_scan(), NRF_SUCCESS);
    // The first recovery attempt waits on a controller that never answers its Reset.
    s.controller().script(op::reset, command_reply::silent());
    scripted_controller& fresh = s.add_spare_controller();
    s.controller().deliver(testing_support::hardware_error_event(0x01));
    ASSERT_GE(s.wait_for_id(BLE_GAP_EVT_DISCONNECTED, 1000), 0);

    // Taken, and kept for the controller that comes back.
    EXPECT_EQ(sd_ble_gap_scan_stop(s.adapter()), NRF_SUCCESS);
    EXPECT_EQ(s.start_scan(400, 200), NRF_SUCCESS);
    const std::vector<uint8_t> away_data{0x02, 0x01, 0x06, 0x03, 0xFF, 0x59, 0x00};
    EXPECT_EQ(start_beacon(s, away_data, 480), NRF_SUCCESS);
    // The rest fail as they always did without a controller.
    const ble_gap_addr_t peer = testing_support::gap_address(phone, BLE_GAP_ADDR_TYPE_PUBLIC);
    ble_gap_scan_params_t scan{};
    scan.scan_phys = BLE_GAP_PHY_1MBPS;
    scan.interval = 96;
    scan.window = 48;
    const ble_gap_conn_params_t conn{24, 40, 0, 400};
    EXPECT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &scan, &conn, 1),
              NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE);
    EXPECT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE);
    EXPECT_EQ(sd_rpc_conn_reset(s.adapter(), SOFT_RESET), NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE);

    ASSERT_TRUE(wait_for_log(s, "back after 2 attempts", 20000));
    // scan parameters: passive, interval 400, window 200
    EXPECT_EQ(last_parameters(fresh, op::le_set_scan_parameters),
              (std::vector<uint8_t>{0x00, 0x90, 0x01, 0xC8, 0x00, 0x00, 0x00}));
    EXPECT_EQ(last_parameters(fresh, op::le_set_scan_enable), (std::vector<uint8_t>{0x01, 0x00}));
    const auto data = last_parameters(fresh, op::le_set_advertising_data);
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data[0], away_data.size());
    EXPECT_TRUE(std::equal(away_data.begin(), away_data.end(), data.begin() + 1));
    const auto adv = last_parameters(fresh, op::le_set_advertising_parameters);
    ASSERT_GE(adv.size(), 2u);
    EXPECT_EQ(adv[0] | (adv[1] << 8), 480);
    EXPECT_EQ(last_parameters(fresh, op::le_set_advertising_enable), (std::vector<uint8_t>{0x01}));
}

}  // namespace
