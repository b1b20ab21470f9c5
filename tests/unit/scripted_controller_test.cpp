// The scripted controller that the HCI backend's tests drive a host with: its answers and the
// state behind them, scripts and follow-ups, the flow-control checks, the byte stream both
// ways, and the ATT server that plays a phone.
#include "tests/support/scripted_controller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hci/att.h"
#include "hci/hci_commands.h"
#include "hci/hci_events.h"
#include "hci/l2cap.h"
#include "tests/support/att_server.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/hci_peer_pdus.h"

namespace {

using testing_support::command_reply;
using testing_support::scripted_controller;
using bytes = std::vector<uint8_t>;
namespace op = hci::opcode;

constexpr std::chrono::milliseconds limit{2000};
const wire::address_bytes phone_address{0x66, 0x55, 0x44, 0x33, 0x22, 0x11};

// Stands in for the host: writes packets and keeps what the controller hands over.
class test_host {
  public:
    explicit test_host(scripted_controller& controller) : controller_(controller) {
        controller.start(
            [this](hci::bytes_view chunk) {
                std::unique_lock<std::mutex> lock(mutex_);
                threads_.insert(std::this_thread::get_id());
                parser_.feed(chunk, packets_);
                released_.wait(lock, [this] { return !held_; });
            },
            [this](const std::string& why) {
                std::lock_guard<std::mutex> lock(mutex_);
                lost_.push_back(why);
            });
    }

    // The handlers point here: no calls after this.
    ~test_host() { controller_.close(); }
    test_host(const test_host&) = delete;
    test_host& operator=(const test_host&) = delete;

    void send(const bytes& packet) {
        std::string why;
        EXPECT_TRUE(controller_.write(packet, why)) << why;
    }
    // Sends `packet` and returns the packets handed over in answer.
    std::vector<hci::h4_packet> exchange(const bytes& packet) {
        const size_t before = packets().size();
        send(packet);
        EXPECT_TRUE(controller_.wait_until_delivered(limit));
        const auto all = packets();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }
    void connect(uint16_t handle) {
        controller_.deliver(testing_support::connection_complete_event(
            testing_support::connected(handle, phone_address)));
        exchange(hci::le_read_buffer_size_command());
    }

    // Keeps the controller's thread in the handler of the next chunk it hands over, so
    // that what is queued after it waits, until release().
    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        released_.notify_all();
    }

    std::vector<hci::h4_packet> packets() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return packets_;
    }
    std::vector<std::string> lost() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lost_;
    }
    std::set<std::thread::id> threads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

  private:
    scripted_controller& controller_;
    mutable std::mutex mutex_;
    hci::h4_parser parser_{0xFFFF};
    std::vector<hci::h4_packet> packets_;
    std::vector<std::string> lost_;
    std::set<std::thread::id> threads_;
    bool held_ = false;
    std::condition_variable released_;
};

// The return parameters of a Command Complete, status first.
bytes returned(const hci::h4_packet& packet, uint16_t opcode) {
    const auto complete = hci::parse_command_complete(packet.bytes);
    EXPECT_TRUE(complete);
    if (!complete) return {};
    EXPECT_EQ(complete->opcode, opcode);
    return complete->return_parameters.to_vector();
}

bytes without_indicator(const bytes& h4) {
    return bytes(h4.begin() + 1, h4.end());
}

uint8_t status_of(const hci::h4_packet& packet) {
    const auto status = hci::parse_command_status(packet.bytes);
    EXPECT_TRUE(status);
    return status ? status->status : 0xFF;
}

bytes create_connection_to_phone() {
    hci::create_connection_parameters parameters;
    parameters.peer_address = phone_address;
    parameters.connection.interval_max = 0x0030;
    return hci::le_create_connection_command(parameters);
}

TEST(ScriptedController, AnswersLikeAPlainLeController) {
    scripted_controller controller;
    test_host host(controller);
    auto answer = host.exchange(hci::reset_command());
    ASSERT_EQ(answer.size(), 1U);
    EXPECT_EQ(returned(answer[0], op::reset), bytes{0x00});

    answer = host.exchange(hci::read_local_version_information_command());
    ASSERT_EQ(answer.size(), 1U);
    EXPECT_EQ(returned(answer[0], op::read_local_version_information)[1], 0x0B);

    answer = host.exchange(hci::le_read_buffer_size_command());
    EXPECT_EQ(returned(answer.at(0), op::le_read_buffer_size), (bytes{0x00, 0xFB, 0x00, 0x03}));
    controller.set_le_buffer(0, 0);
    answer = host.exchange(hci::le_read_buffer_size_command());
    EXPECT_EQ(returned(answer.at(0), op::le_read_buffer_size), (bytes{0x00, 0x00, 0x00, 0x00}));
    answer = host.exchange(hci::read_buffer_size_command());
    EXPECT_EQ(returned(answer.at(0), op::read_buffer_size),
              (bytes{0x00, 0xFD, 0x03, 0x00, 0x08, 0x00, 0x00, 0x00}));

    answer = host.exchange(hci::read_bd_addr_command());
    bytes address{0x00};
    address.insert(address.end(), scripted_controller::default_local_address.begin(),
                   scripted_controller::default_local_address.end());
    EXPECT_EQ(returned(answer.at(0), op::read_bd_addr), address);

    // Unknown commands are refused, not ignored: a host must not wait for them forever.
    answer = host.exchange(*hci::command_packet(hci::make_opcode(0x08, 0x0005), bytes(6, 0)));
    EXPECT_EQ(returned(answer.at(0), hci::make_opcode(0x08, 0x0005)), bytes{0x01});
    EXPECT_TRUE(controller.violations().empty());
}

TEST(ScriptedController, RefusesWhatItsStateDoesNotAllow) {
    scripted_controller controller;
    test_host host(controller);
    // No link yet: nothing to disconnect or measure, and so no completion either.
    auto answer = host.exchange(hci::disconnect_command(0x0040, 0x13));
    ASSERT_EQ(answer.size(), 1U);
    EXPECT_EQ(status_of(answer[0]), 0x02);
    answer = host.exchange(hci::read_rssi_command(0x0040));
    EXPECT_EQ(returned(answer.at(0), op::read_rssi), (bytes{0x02, 0x40, 0x00, 0xC4}));
    answer = host.exchange(hci::le_create_connection_cancel_command());
    ASSERT_EQ(answer.size(), 1U);
    EXPECT_EQ(returned(answer[0], op::le_create_connection_cancel), bytes{0x0C});

    EXPECT_EQ(status_of(host.exchange(create_connection_to_phone()).at(0)), 0x00);
    EXPECT_EQ(status_of(host.exchange(create_connection_to_phone()).at(0)), 0x0C);
    // A cancel that succeeds ends the attempt with a failed connection to the same peer.
    answer = host.exchange(hci::le_create_connection_cancel_command());
    ASSERT_EQ(answer.size(), 2U);
    EXPECT_EQ(returned(answer[0], op::le_create_connection_cancel), bytes{0x00});
    const auto cancelled = hci::parse_connection_complete(answer[1].bytes);
    ASSERT_TRUE(cancelled);
    EXPECT_FALSE(cancelled->enhanced);
    EXPECT_EQ(cancelled->status, 0x02);
    EXPECT_EQ(cancelled->peer_address, phone_address);
    EXPECT_EQ(status_of(host.exchange(create_connection_to_phone()).at(0)), 0x00);

    // A wrong parameter length is the host's fault and taken for one.
    answer = host.exchange(*hci::command_packet(op::read_rssi, bytes{0x40}));
    EXPECT_EQ(returned(answer.at(0), op::read_rssi), bytes{0x12});
    EXPECT_EQ(controller.violations().size(), 1U);
}

TEST(ScriptedController, FollowUpsComeAfterASuccessfulAnswer) {
    scripted_controller controller;
    test_host host(controller);
    // The host asked for enhanced connection events, so the controller's own are enhanced.
    host.exchange(hci::le_set_event_mask_command(0x21F));
    controller.connect_on_create(0x0041);
    auto answer = host.exchange(create_connection_to_phone());
    ASSERT_EQ(answer.size(), 2U);
    const auto made = hci::parse_connection_complete(answer[1].bytes);
    ASSERT_TRUE(made);
    EXPECT_TRUE(made->enhanced);
    EXPECT_EQ(made->status, 0x00);
    EXPECT_EQ(made->connection_handle, 0x0041);
    EXPECT_EQ(made->peer_address, phone_address);
    EXPECT_EQ(made->connection_interval, 0x0030);
    // The attempt is over: there is nothing left to cancel.
    answer = host.exchange(hci::le_create_connection_cancel_command());
    EXPECT_EQ(returned(answer.at(0), op::le_create_connection_cancel), bytes{0x0C});

    hci::connection_parameters parameters;
    parameters.interval_max = 0x0050;
    answer = host.exchange(hci::le_connection_update_command(0x0041, parameters));
    ASSERT_EQ(answer.size(), 2U);
    const auto updated = hci::parse_connection_update_complete(answer[1].bytes);
    ASSERT_TRUE(updated);
    EXPECT_EQ(updated->connection_interval, 0x0050);

    controller.script(op::disconnect, command_reply::without_follow_ups(), 1);
    EXPECT_EQ(host.exchange(hci::disconnect_command(0x0041, 0x13)).size(), 1U);
    answer = host.exchange(hci::disconnect_command(0x0041, 0x13));
    ASSERT_EQ(answer.size(), 2U);
    const auto gone = hci::parse_disconnection_complete(answer[1].bytes);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->connection_handle, 0x0041);
    EXPECT_EQ(gone->reason, 0x16);
    // The link is gone now.
    EXPECT_EQ(status_of(host.exchange(hci::disconnect_command(0x0041, 0x13)).at(0)), 0x02);
}

TEST(ScriptedController, ScriptsAnswerInTurnThenGiveWay) {
    scripted_controller controller;
    test_host host(controller);
    controller.script(op::le_set_scan_enable, command_reply::failing(0x0C), 1);
    controller.script(op::le_set_scan_enable, command_reply::complete(0x00, {0xAA}), 1);
    const bytes enable = hci::le_set_scan_enable_command(true, false);
    EXPECT_EQ(returned(host.exchange(enable).at(0), op::le_set_scan_enable), bytes{0x0C});
    EXPECT_EQ(returned(host.exchange(enable).at(0), op::le_set_scan_enable), (bytes{0x00, 0xAA}));
    EXPECT_EQ(returned(host.exchange(enable).at(0), op::le_set_scan_enable), bytes{0x00});

    // Answered twice, then never again; a command lost that way is not held against the
    // host that gives up on it.
    controller.script(op::read_rssi, command_reply::usual(), 2);
    controller.script(op::read_rssi, command_reply::silent());
    const bytes rssi = hci::read_rssi_command(0x0040);
    EXPECT_EQ(host.exchange(rssi).size(), 1U);
    EXPECT_EQ(host.exchange(rssi).size(), 1U);
    EXPECT_TRUE(host.exchange(rssi).empty());
    EXPECT_TRUE(host.exchange(rssi).empty());
    EXPECT_EQ(controller.count_commands(op::read_rssi), 4U);
    EXPECT_EQ(controller.max_commands_in_flight(), 1U);
    EXPECT_TRUE(controller.violations().empty());
}

TEST(ScriptedController, CountsCommandsBeyondWhatItAllowed) {
    scripted_controller controller;
    controller.set_command_packets(2);
    test_host host(controller);
    // Until the first answer a host may send one command only.
    host.exchange(hci::reset_command());
    EXPECT_TRUE(controller.violations().empty());

    // Each answer allows what is left once it arrives: one while the other command is still
    // waiting, both once that one is answered too. Holding the controller's thread keeps
    // both commands waiting before either answer arrives.
    const size_t before = host.packets().size() + 1;  // after the held event
    host.hold();
    controller.deliver(testing_support::hardware_error_event(0));
    host.send(hci::read_bd_addr_command());
    host.send(hci::le_read_buffer_size_command());
    host.release();
    ASSERT_TRUE(controller.wait_until_delivered(limit));
    auto packets = host.packets();
    ASSERT_EQ(packets.size(), before + 2);
    EXPECT_EQ(hci::parse_command_complete(packets[before].bytes)->num_command_packets, 1);
    EXPECT_EQ(hci::parse_command_complete(packets[before + 1].bytes)->num_command_packets, 2);
    EXPECT_EQ(controller.max_commands_in_flight(), 2U);
    EXPECT_TRUE(controller.violations().empty());

    host.hold();
    controller.deliver(testing_support::hardware_error_event(0));
    host.send(hci::read_bd_addr_command());
    host.send(hci::le_read_buffer_size_command());
    host.send(hci::reset_command());
    host.release();
    EXPECT_EQ(controller.violations().size(), 1U);
    EXPECT_EQ(controller.max_commands_in_flight(), 3U);
}

TEST(ScriptedController, ReadsTheHostsWritesHoweverSplit) {
    scripted_controller controller;
    test_host host(controller);
    const bytes command = hci::le_set_scan_enable_command(true, true);
    for (uint8_t byte : command) host.send(bytes{byte});
    const auto recorded = controller.wait_for_command(op::le_set_scan_enable, limit);
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->parameters, (bytes{0x01, 0x01}));
    ASSERT_TRUE(controller.wait_until_delivered(limit));
    EXPECT_EQ(host.packets().size(), 1U);
    // It works, but the transport promises whole packets, one per write: every write but
    // the last leaves part of a packet behind.
    EXPECT_EQ(controller.violations().size(), command.size() - 1);

    scripted_controller other;
    test_host second(other);
    second.send(bytes{0xFF, 0x00});
    second.send(hci::reset_command());
    EXPECT_TRUE(other.wait_for_command(op::reset, limit));
    EXPECT_EQ(other.violations().size(), 2U);  // the garbage, and a write that is not one packet
}

TEST(ScriptedController, TracksAclBuffersAsTheHostWasToldOfThem) {
    scripted_controller controller;
    controller.set_auto_complete_packets(false);
    test_host host(controller);
    const bytes att = hci::read_request(0x0003);
    const bytes pdu = *hci::l2cap_pdu(hci::cid::att, att);
    const bytes packet = hci::acl_fragments(0x0040, pdu, 251).at(0);

    // Before the link and the buffer size are known, the host has no business sending.
    host.send(packet);
    controller.deliver(testing_support::connection_complete_event(
        testing_support::connected(0x0040, phone_address)));
    ASSERT_TRUE(controller.wait_until_delivered(limit));
    host.send(packet);
    EXPECT_EQ(controller.violations().size(), 2U);
    EXPECT_EQ(controller.outstanding_acl_packets(), 1U);

    host.exchange(hci::le_read_buffer_size_command());
    host.send(packet);
    host.send(packet);
    EXPECT_EQ(controller.violations().size(), 2U);
    host.send(packet);  // the fourth, with three buffers
    EXPECT_EQ(controller.violations().size(), 3U);

    // Packets count as free once the host has heard so.
    controller.complete_packets(0x0040, 2);
    ASSERT_TRUE(controller.wait_until_delivered(limit));
    EXPECT_EQ(controller.outstanding_acl_packets(), 2U);
    host.send(packet);
    EXPECT_EQ(controller.violations().size(), 3U);
    const bytes oversized =
        hci::acl_fragments(0x0040, *hci::l2cap_pdu(hci::cid::att, bytes(296, 0)), 300).at(0);
    host.send(oversized);
    EXPECT_EQ(controller.violations().size(), 4U);

    // A disconnection frees the link's packets; the link is gone for the host once it heard.
    controller.deliver(testing_support::disconnection_complete_event(0x0040, 0x13));
    ASSERT_TRUE(controller.wait_until_delivered(limit));
    EXPECT_EQ(controller.outstanding_acl_packets(), 0U);
    host.send(packet);
    EXPECT_EQ(controller.violations().size(), 5U);
}

TEST(ScriptedController, CompletesPacketsOnItsOwnAndFallsBackToSharedBuffers) {
    scripted_controller controller;
    controller.set_le_buffer(0, 0);
    test_host host(controller);
    host.connect(0x0040);
    host.exchange(hci::read_buffer_size_command());
    const bytes pdu = *hci::l2cap_pdu(hci::cid::att, bytes(600, 0x5A));
    // 600 bytes fit the 1021 of the shared buffers in one packet, and each packet is
    // completed at once, so twenty in a row stay within eight buffers.
    for (int i = 0; i < 20; ++i) {
        const auto answer = host.exchange(hci::acl_fragments(0x0040, pdu, 1021).at(0));
        ASSERT_EQ(answer.size(), 1U);
        EXPECT_EQ(answer[0].bytes[0], hci::event_code::number_of_completed_packets);
    }
    EXPECT_EQ(controller.outstanding_acl_packets(), 0U);
    EXPECT_TRUE(controller.violations().empty());
}

TEST(ScriptedController, ReassemblesPdusAndHandsEachToOneWait) {
    scripted_controller controller;
    test_host host(controller);
    host.connect(0x0040);
    const bytes att = *hci::read_by_group_type_request(1, 0xFFFF, testing_support::uuid16(0x2800));
    const auto fragments = hci::acl_fragments(0x0040, *hci::l2cap_pdu(hci::cid::att, att), 3);
    ASSERT_EQ(fragments.size(), 4U);
    for (const bytes& fragment : fragments) host.exchange(fragment);
    host.exchange(
        hci::acl_fragments(0x0040, hci::connection_parameter_update_response_pdu(7, 0), 251).at(0));
    EXPECT_EQ(controller.acl_packets().size(), 5U);

    const auto request =
        controller.wait_for_att_pdu(0x0040, hci::att_opcode::read_by_group_type_request, limit);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->payload, att);
    EXPECT_FALSE(controller.wait_for_att_pdu(0x0040, hci::att_opcode::read_by_group_type_request,
                                             std::chrono::milliseconds(20)));
    const auto signalling = controller.wait_for_l2cap(0x0040, hci::cid::le_signalling, limit);
    ASSERT_TRUE(signalling);
    EXPECT_EQ(signalling->payload[0], hci::signalling_code::connection_parameter_update_response);
    EXPECT_TRUE(controller.violations().empty());
}

TEST(ScriptedController, DeliversInOrderFromOneThreadUntilLost) {
    scripted_controller controller;
    // Queued before the start, handed over after it. (No noise ahead of it: a parser in step
    // takes noise for a lost framing.)
    controller.deliver(bytes{0x04});
    test_host host(controller);
    controller.deliver(bytes{0x0E, 0x04, 0x01, 0x00, 0x00});
    controller.deliver(bytes{0x00});
    controller.deliver_att(0x0040, testing_support::att_notification(0x0010, bytes(40, 0x11)), 12);
    controller.lose("the cable came out");
    controller.lose("twice");
    controller.deliver(testing_support::hardware_error_event(0x01));
    ASSERT_TRUE(controller.wait_until_delivered(limit));

    const auto packets = host.packets();
    ASSERT_EQ(packets.size(), 5U);  // the split Command Complete and four ACL fragments
    EXPECT_EQ(packets[0].bytes, (bytes{0x0E, 0x04, 0x01, 0x00, 0x00, 0x00}));
    hci::acl_reassembler reassembler;
    std::optional<hci::reassembled_pdu> whole;
    for (size_t i = 1; i < packets.size(); ++i) {
        EXPECT_EQ(
            hci::parse_acl_packet(packets[i].bytes)->packet_boundary,
            i == 1 ? hci::packet_boundary::first_flushable : hci::packet_boundary::continuing);
        whole = reassembler.add(packets[i].bytes);
    }
    ASSERT_TRUE(whole);
    EXPECT_EQ(hci::parse_l2cap_frame(whole->bytes)->payload.size, 43U);
    EXPECT_EQ(host.lost(), std::vector<std::string>{"the cable came out"});
    EXPECT_EQ(host.threads().size(), 1U);
    EXPECT_EQ(host.threads().count(std::this_thread::get_id()), 0U);

    std::string why;
    EXPECT_FALSE(controller.write(hci::reset_command(), why));
    EXPECT_EQ(why, "the cable came out");
    controller.close();
    EXPECT_FALSE(controller.write(hci::reset_command(), why));
}

TEST(ScriptedController, CloseWaitsForTheHandlerAndStopsDelivering) {
    scripted_controller controller;
    std::mutex mutex;
    std::condition_variable entered_one;
    int entered = 0;
    int finished = 0;
    controller.start(
        [&](hci::bytes_view) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++entered;
                entered_one.notify_all();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::lock_guard<std::mutex> lock(mutex);
            ++finished;
        },
        [](const std::string&) { ADD_FAILURE() << "close is not a loss"; });
    for (int i = 0; i < 50; ++i) controller.deliver(testing_support::hardware_error_event(0));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(entered_one.wait_for(lock, limit, [&] { return entered > 0; }));
    }
    controller.close();
    int calls = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(finished, entered);  // the handler that was running has returned
        EXPECT_LT(entered, 50);
        calls = entered;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(entered, calls);
}

// Other tests lean on these builders; each field must land where the host's parser looks.
TEST(ScriptedController, BuiltEventsReadBackThroughTheHostsParsers) {
    using namespace testing_support;
    // The parsed reports point into the packet.
    const bytes reports = without_indicator(advertising_report_event(
        {{0, 1, phone_address, {0x02, 0x01, 0x06}, -40}, {4, 0, phone_address, {}, -90}}));
    const auto parsed = hci::parse_advertising_reports(reports);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->size(), 2U);
    EXPECT_EQ((*parsed)[0].address_type, 1);
    EXPECT_EQ((*parsed)[0].data.to_vector(), (bytes{0x02, 0x01, 0x06}));
    EXPECT_EQ((*parsed)[0].rssi, -40);
    EXPECT_EQ((*parsed)[1].event_type, 4);
    EXPECT_EQ((*parsed)[1].rssi, -90);

    hci::remote_connection_parameter_request asked{0x0041, 6, 12, 2, 300};
    const auto read = hci::parse_remote_connection_parameter_request(
        without_indicator(remote_connection_parameter_request_event(asked)));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->connection_handle, 0x0041);
    EXPECT_EQ(read->interval_max, 12);
    EXPECT_EQ(read->max_latency, 2);
    EXPECT_EQ(read->timeout, 300);

    const auto counts = hci::parse_number_of_completed_packets(
        without_indicator(number_of_completed_packets_event({{0x0040, 2}, {0x0041, 5}})));
    ASSERT_TRUE(counts);
    ASSERT_EQ(counts->size(), 2U);
    EXPECT_EQ((*counts)[1].connection_handle, 0x0041);
    EXPECT_EQ((*counts)[1].count, 5);
}

// --- The phone's ATT server ---

std::vector<testing_support::att_service> phone_table() {
    using namespace testing_support;
    std::vector<uint8_t> vendor(16, 0xA0);
    return {
        {uuid16(0x1800), {{uuid16(0x2A00), att_property::read, {'P', 'h'}}}},
        {uuid16(0x180F), {{uuid16(0x2A19), att_property::read | att_property::notify, {0x64}}}},
        {vendor, {{vendor, att_property::write, {}}}},
    };
}

TEST(ScriptedControllerAttServer, DiscoversServicesAndCharacteristicsPageByPage) {
    using namespace testing_support;
    att_server server(phone_table());
    // Handles: 1 service, 2-3 device name; 4 service, 5-6 battery level, 7 its CCCD;
    // 8 service, 9-10 the vendor characteristic.
    const auto services =
        server.answer(*hci::read_by_group_type_request(1, 0xFFFF, uuid16(0x2800)));
    EXPECT_EQ(*services,
              att_read_by_group_type_response({{1, 3, uuid16(0x1800)}, {4, 7, uuid16(0x180F)}}));
    // A 128-bit UUID does not share a response with 16-bit ones.
    const auto vendor = server.answer(*hci::read_by_group_type_request(8, 0xFFFF, uuid16(0x2800)));
    ASSERT_TRUE(hci::parse_read_by_group_type_response(*vendor));
    EXPECT_EQ(hci::parse_read_by_group_type_response(*vendor)->at(0).end_group_handle, 10);
    EXPECT_EQ(*server.answer(*hci::read_by_group_type_request(11, 0xFFFF, uuid16(0x2800))),
              att_error_response(0x10, 11, att_error_code::attribute_not_found));
    EXPECT_EQ(*server.answer(*hci::read_by_group_type_request(1, 0xFFFF, uuid16(0x2803))),
              att_error_response(0x10, 1, att_error_code::unsupported_group_type));
    EXPECT_EQ(*server.answer(*hci::read_by_group_type_request(5, 4, uuid16(0x2800))),
              att_error_response(0x10, 5, att_error_code::invalid_handle));

    const auto characteristics = server.answer(*hci::read_by_type_request(4, 7, uuid16(0x2803)));
    EXPECT_EQ(*characteristics, att_read_by_type_response(
                                    {{5, characteristic_declaration(0x12, 6, uuid16(0x2A19))}}));
    EXPECT_EQ(server.value_handle(uuid16(0x2A19)), 6);
    EXPECT_EQ(server.cccd_handle(6), 7);
    EXPECT_EQ(server.cccd_handle(3), 0);
}

TEST(ScriptedControllerAttServer, ReadsWritesAndNotifiesAsPermitted) {
    using namespace testing_support;
    att_server server(phone_table());
    EXPECT_EQ(*server.answer(hci::read_request(3)), att_read_response(bytes{'P', 'h'}));
    EXPECT_EQ(*server.answer(hci::read_request(10)),
              att_error_response(0x0A, 10, att_error_code::read_not_permitted));
    EXPECT_EQ(*server.answer(hci::read_request(99)),
              att_error_response(0x0A, 99, att_error_code::invalid_handle));
    EXPECT_EQ(*server.answer(hci::write_request(3, bytes{1})),
              att_error_response(0x12, 3, att_error_code::write_not_permitted));
    EXPECT_EQ(*server.answer(hci::write_request(7, bytes{1})),
              att_error_response(0x12, 7, att_error_code::invalid_attribute_value_length));
    // A failed write command has no answer to give.
    EXPECT_FALSE(server.answer(hci::write_command(3, bytes{1})));

    // No notifications until the host subscribes.
    EXPECT_FALSE(server.notification(6, bytes{0x50}));
    EXPECT_EQ(*server.answer(hci::write_request(7, bytes{0x01, 0x00})), att_write_response());
    EXPECT_EQ(*server.notification(6, bytes{0x50}), att_notification(6, bytes{0x50}));
    EXPECT_EQ(server.value(6), bytes{0x50});
    EXPECT_EQ(server.writes().size(), 1U);

    EXPECT_EQ(*server.answer(testing_support::att_pdu(0x20, bytes{})),
              att_error_response(0x20, 0, att_error_code::request_not_supported));
    EXPECT_FALSE(server.answer(bytes{0x1E}));  // a confirmation
    EXPECT_EQ(*server.answer(bytes{0x0A, 0x01}), att_error_response(0x0A, 0, 0x04));
}

TEST(ScriptedControllerAttServer, AnswersTheHostOverTheLink) {
    using namespace testing_support;
    scripted_controller controller;
    test_host host(controller);
    host.connect(0x0040);
    controller.serve_att(0x0040, att_server(phone_table()));
    const bytes request = hci::write_request(7, bytes{0x01, 0x00});
    const auto answer =
        host.exchange(hci::acl_fragments(0x0040, *hci::l2cap_pdu(hci::cid::att, request), 251)[0]);
    ASSERT_EQ(answer.size(), 2U);  // completed packets, then the response
    const auto acl = hci::parse_acl_packet(answer[1].bytes);
    ASSERT_TRUE(acl);
    EXPECT_EQ(hci::parse_l2cap_frame(acl->data)->payload.to_vector(), att_write_response());
    EXPECT_EQ(controller.phone(0x0040)->writes().size(), 1U);
    EXPECT_FALSE(controller.phone(0x0041));
}

}  // namespace
