// The HCI backend's lines say what happened and stay readable lines: the command that waited
// for credits is named as such, and the port's name neither crowds the figures out of the
// controller's line nor grows a line without end.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "driver/sd_rpc.h"
#include "driver/wire/printable_text.h"
#include "hci/hci_commands.h"
#include "hci/transport/transport.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::hci_session;

std::string line_with(const std::vector<std::string>& lines, const std::string& part) {
    const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(part) != std::string::npos;
    });
    return found == lines.end() ? std::string() : *found;
}

TEST(HciBackendMessages, ALossForWantOfCreditsNamesTheCommandThatWaitedAndSaysSo) {
    platform::set_time_scale(20);
    hci_session s;
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    ASSERT_EQ(s.enable(), NRF_SUCCESS);
    // Every answer from now on leaves the host no room for another command.
    s.controller().set_command_packets(0);
    EXPECT_NE(s.start_scan(), NRF_SUCCESS);
    ASSERT_TRUE(s.wait_until([&] { return s.statuses().size() >= 3; }, 2000));
    const std::string lost = s.statuses().back().second;
    EXPECT_NE(lost.find("HCI command 0x200C waited 3000 ms for command credits and was never sent"),
              std::string::npos)
        << lost;
    EXPECT_EQ(lost.find("no answer"), std::string::npos) << lost;
    EXPECT_EQ(s.controller().count_commands(hci::opcode::le_set_scan_enable), 0U);
}

TEST(HciBackendMessages, TheControllersLineKeepsItsFiguresWhateverThePortsName) {
    hci_session s("/" + std::string(150, 'p'));
    ASSERT_EQ(s.open(), NRF_SUCCESS);
    ASSERT_TRUE(s.wait_until([&] { return !s.logs().empty(); }, 2000));
    const std::string line = line_with(s.logs(), "HCI version");
    EXPECT_NE(line.find(std::string(150, 'p') + ": HCI version 11 (5.2)"), std::string::npos)
        << line;
    EXPECT_NE(line.find("3 ACL buffers of 251 bytes"), std::string::npos) << line;
}

TEST(HciBackendMessages, PortNamesInLinesAreEscapedAndCutAsTheAddressErrorsAre) {
    EXPECT_EQ(wire::printable_text(std::string("a\x1b[2Jb\x7f\n", 8)), "a\\x1B[2Jb\\x7F\\x0A");
    EXPECT_EQ(wire::printable_text(std::string(201, 'x')), std::string(200, 'x') + "...");
    EXPECT_EQ(wire::printable_text(std::string(200, 'x')), std::string(200, 'x'));

    // A socket path of 100,000 characters: the line names the port cut as the address
    // parser's own lines cut it.
    hci::transport_address address;
    address.what = hci::transport_address::kind::unix_socket;
    address.path = std::string(100000, 'a');
    std::string error;
    EXPECT_EQ(hci::open_transport(address, error), nullptr);
    EXPECT_LT(error.size(), 300U);
    EXPECT_EQ(error.rfind("hci:unix:" + std::string(191, 'a') + "...: ", 0), 0U) << error;

    address.what = hci::transport_address::kind::serial;
    address.path = std::string(100000, 'b');
    EXPECT_EQ(hci::open_transport(address, error), nullptr);
    EXPECT_LT(error.size(), 600U) << error.substr(0, 300);
}

}  // namespace
