// The HCI backend's start-up refuses answers it cannot read a controller from: an answer
// without its return parameters, a Command Status where a Command Complete is owed, a
// controller without LE or older than 4.0. Each is one clear line and a failed open.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "driver/sd_rpc.h"
#include "hci/hci_commands.h"
#include "tests/support/hci_controller_events.h"
#include "tests/support/hci_session.h"

namespace {

using testing_support::command_reply;
using testing_support::hci_session;
using namespace std::chrono_literals;

// Opens and expects a refusal in one log line that holds `part`, and nothing reported as
// read from the controller.
void expect_refused(hci_session& s, const std::string& part) {
    EXPECT_NE(s.open(), NRF_SUCCESS);
    const auto lines = s.logs();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find(part), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].find("address"), std::string::npos) << lines[0];
    EXPECT_TRUE(s.statuses().empty());
}

TEST(HciBackendOpenChecks, AnswersCutShortAreRefusedNotReadAsZeros) {
    using namespace hci::opcode;
    const std::pair<uint16_t, const char*> reads[] = {
        {read_local_version_information, "Read Local Version Information"},
        {read_bd_addr, "Read BD_ADDR"},
        {le_read_buffer_size, "LE Read Buffer Size"},
        {le_read_local_supported_features, "LE Read Local Supported Features"},
    };
    for (const auto& [opcode, name] : reads) {
        SCOPED_TRACE(name);
        hci_session s;
        // The status alone, and for the buffer sizes one byte short.
        s.controller().script(opcode, command_reply::complete(0));
        expect_refused(s, std::string("the answer to ") + name +
                              " is cut short (1 bytes of return parameters)");
    }
    hci_session shared;
    shared.controller().set_le_buffer(0, 0);
    shared.controller().script(read_buffer_size,
                               command_reply::complete(0, {0x1B, 0x00, 0x00, 0x02}));
    expect_refused(shared, "the answer to Read Buffer Size is cut short (5 bytes");
}

TEST(HciBackendOpenChecks, AnAnswerWithoutEvenItsStatusIsRefused) {
    hci_session s;
    s.controller().script(hci::opcode::read_bd_addr, command_reply::silent());
    std::thread controller([&] {
        if (s.controller().wait_for_command(hci::opcode::read_bd_addr, 5s)) {
            s.controller().deliver(
                testing_support::command_complete_event(hci::opcode::read_bd_addr, {}));
        }
    });
    expect_refused(s, "Read BD_ADDR was answered without its status");
    controller.join();
}

TEST(HciBackendOpenChecks, ACommandStatusWhereACompleteIsOwedIsRefused) {
    hci_session s;
    s.controller().script(hci::opcode::read_local_version_information,
                          command_reply::command_status(0));
    expect_refused(s,
                   "Read Local Version Information was answered with a Command Status, not a "
                   "Command Complete");
}

TEST(HciBackendOpenChecks, AControllerWithoutLeIsRefusedWithOneClearLine) {
    hci_session s;
    s.controller().script(hci::opcode::le_read_buffer_size, command_reply::failing(0x01));
    expect_refused(s,
                   "LE Read Buffer Size failed with status 0x01 (Unknown HCI Command): the "
                   "controller does not support Bluetooth Low Energy");

    // Version 3.0: older than LE itself.
    hci_session old;
    old.controller().script(
        hci::opcode::read_local_version_information,
        command_reply::complete(0, {0x05, 0x00, 0x00, 0x05, 0xF1, 0x05, 0x00, 0x00}));
    expect_refused(old, "HCI version 5 (3.0) is older than 4.0");
    EXPECT_EQ(old.controller().count_commands(hci::opcode::read_bd_addr), 0U);

    // 4.0 itself is enough.
    hci_session first;
    first.controller().script(
        hci::opcode::read_local_version_information,
        command_reply::complete(0, {0x06, 0x00, 0x00, 0x06, 0xF1, 0x05, 0x00, 0x00}));
    EXPECT_EQ(first.open(), NRF_SUCCESS);
}

}  // namespace
