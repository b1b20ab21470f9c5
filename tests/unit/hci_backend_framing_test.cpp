// The HCI backend when the stream from the controller stops making sense: a phone's data is
// never read as controller events, ISO data is framed and dropped, and a framing loss loses
// the controller once, saying how many bytes it cost.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/ble_hci.h"
#include "tests/support/hci_session.h"
#include "tests/support/program_stack.h"

namespace {

using testing_support::hci_seen_event;
using testing_support::hci_session;
using testing_support::hex;

constexpr wire::address_bytes phone{0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};

// What a Disconnection Complete for the phone's link (0x0040), reason 0x13, looks like.
const std::string fake_disconnection = "04 05 04 00 40 00 13";

bool reported_down_with(const hci_session& s, uint8_t reason) {
    const auto events = s.events();
    return std::any_of(events.begin(), events.end(), [&](const hci_seen_event& e) {
        return e.id() == BLE_GAP_EVT_DISCONNECTED &&
               e.evt().evt.gap_evt.params.disconnected.reason == reason;
    });
}

size_t statuses_containing(const hci_session& s, const std::string& part) {
    const auto statuses = s.statuses();
    return static_cast<size_t>(std::count_if(
        statuses.begin(), statuses.end(),
        [&](const auto& status) { return status.second.find(part) != std::string::npos; }));
}

bool logged(const hci_session& s, const std::string& part) {
    const auto lines = s.logs();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

TEST(HciBackendFraming, APhonesDataBehindAnOversizedAclHeaderIsNotTakenForADisconnection) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, 0x0040), 0);
    // An ACL header on the phone's link announcing 1280 bytes, and its data.
    s.controller().deliver(hex("02 40 20 00 05 " + fake_disconnection + " 00 00 00"));
    ASSERT_TRUE(s.wait_until([&] { return statuses_containing(s, "framing lost") > 0; }, 2000));
    EXPECT_FALSE(reported_down_with(s, 0x13));
    EXPECT_EQ(statuses_containing(s,
                                  "framing lost at an ACL header announcing 1280 bytes, "
                                  "more than 1024; 15 bytes skipped so far"),
              1U)
        << (s.statuses().empty() ? "" : s.statuses().back().second);
}

TEST(HciBackendFraming, IsoDataIsDroppedWithoutLosingTheControllerOrTheLink) {
    hci_session s;
    const uint16_t handle = s.connect_phone(phone, 0x0040);
    ASSERT_EQ(handle, 0);
    const size_t statuses = s.statuses().size();
    s.controller().deliver(hex("05 40 00 07 00 " + fake_disconnection));
    ASSERT_TRUE(s.controller().wait_until_delivered(std::chrono::milliseconds(2000)));
    EXPECT_EQ(sd_ble_gattc_read(s.adapter(), handle, 3, 0), NRF_SUCCESS);
    EXPECT_FALSE(reported_down_with(s, 0x13));
    EXPECT_EQ(s.statuses().size(), statuses);
}

TEST(HciBackendFraming, AFramingLossIsReportedOnceAndItsCostWhenWonBack) {
    hci_session s;
    ASSERT_EQ(s.connect_phone(phone, 0x0040), 0);
    // A glitch, then a run of noise in several reads: one loss, not one per byte.
    s.controller().deliver(hex("FF 00 12"));
    for (int i = 0; i < 5; ++i) s.controller().deliver(std::vector<uint8_t>(100, 0x04));
    ASSERT_TRUE(s.controller().wait_until_delivered(std::chrono::milliseconds(2000)));
    ASSERT_TRUE(s.wait_until([&] { return statuses_containing(s, "framing lost") > 0; }, 2000));
    EXPECT_EQ(statuses_containing(s,
                                  "framing lost at byte 0xFF where a packet must begin; 3 "
                                  "bytes skipped so far"),
              1U);
    // The controller is reset on the same stream, and the answer to that Reset brings the
    // framing back; how much of the noise came before the Reset went out is the threads'
    // business, so the count lies between the glitch and the whole loss.
    ASSERT_TRUE(s.wait_until([&] { return logged(s, "framing regained"); }, 2000));
    size_t skipped = 0;
    for (const std::string& line : s.logs()) {
        const size_t at = line.find("framing regained after ");
        if (at != std::string::npos) skipped = std::stoul(line.substr(at + 23));
    }
    EXPECT_GE(skipped, 3U);
    EXPECT_LE(skipped, 503U);
    EXPECT_GE(s.controller().count_commands(0x0C03), 2U);  // HCI Reset: at open, and now
    EXPECT_EQ(statuses_containing(s, "framing lost"), 1U);
}

}  // namespace
