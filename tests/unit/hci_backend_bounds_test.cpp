// The HCI backend's memory has bounds under a flood: a phone that asks faster than its link
// carries the answers loses its link, not the host its memory; the other links and the
// controller carry on.
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

using testing_support::hci_seen_event;
using testing_support::hci_session;
using namespace std::chrono_literals;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};

// `count` ATT Read Requests from the phone on `handle`, each in one ACL packet, as one read.
std::vector<uint8_t> read_requests(uint16_t handle, size_t count) {
    const std::vector<uint8_t> l2cap{0x03, 0x00, 0x04, 0x00, 0x0A, 0x03, 0x00};
    const auto packet = testing_support::acl_data_packet(handle, 0x02, l2cap);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; ++i) out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

TEST(HciBackendBounds, APhoneFloodingRequestsWhileNoBufferFreesLosesItsLinkNotTheHost) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, 0x0040), 0);
    const size_t statuses = s.statuses().size();
    // The controller keeps its three buffers: every answer from the fourth on waits.
    s.controller().set_auto_complete_packets(false);
    // About 70 KB of answers owed: past the bound of 64 KB a link.
    s.controller().deliver(read_requests(0x0040, 5000));
    const auto disconnect = s.controller().wait_for_command(hci::opcode::disconnect, 5s);
    ASSERT_TRUE(disconnect);
    EXPECT_EQ(disconnect->parameters, (std::vector<uint8_t>{0x40, 0x00, 0x13}));
    const int at = s.wait_for_id(BLE_GAP_EVT_DISCONNECTED, 5000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(s.events()[static_cast<size_t>(at)].evt().evt.gap_evt.params.disconnected.reason,
              BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION);
    const auto logs = s.logs();
    const auto warning = std::find_if(logs.begin(), logs.end(), [](const std::string& l) {
        return l.find(
                   "the phone asks faster than its link carries the answers; the link is "
                   "ended") != std::string::npos;
    });
    ASSERT_NE(warning, logs.end());
    EXPECT_NE(warning->find("on conn_handle 0, more than 65536"), std::string::npos) << *warning;
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                            [](const std::string& l) {
                                return l.find("faster than its link") != std::string::npos;
                            }),
              1);
    // Three answers went out; the rest of the flood was never sent, or queued past the bound.
    EXPECT_EQ(s.controller().acl_packets().size(), 3U);
    EXPECT_EQ(s.statuses().size(), statuses);  // the controller is not lost
    EXPECT_TRUE(s.controller().violations().empty());

    // The handle is free again and the next phone works as ever.
    s.controller().set_auto_complete_packets(true);
    ASSERT_EQ(s.connect_phone(phone, 0x0041), 0);
    s.controller().deliver(read_requests(0x0041, 1));
    EXPECT_TRUE(s.controller().wait_for_att_pdu(0x0041, 0x01, 2s));  // Error Response
}

}  // namespace
