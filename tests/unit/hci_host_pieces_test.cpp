// The host's pieces that need no controller: the pacing of HCI commands, GATT procedures
// against what a phone answers (byte tables), and the answers the host gives on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/stack/rssi_filter.h"
#include "hci/hci_commands.h"
#include "hci/host/command_channel.h"
#include "hci/host/gattc_procedure.h"
#include "hci/host/local_answers.h"
#include "tests/support/program_stack.h"

namespace {

using bytes = std::vector<uint8_t>;

using testing_support::hex;

// ---- Command pacing.

struct channel_fixture {
    std::mutex lock;
    std::vector<bytes> sent;
    bool refuse_writes = false;
    hci::command_channel channel{[this](hci::bytes_view packet, std::string& why) {
        std::lock_guard<std::mutex> guard(lock);
        if (refuse_writes) {
            why = "broken pipe";
            return false;
        }
        sent.push_back(packet.to_vector());
        return true;
    }};
    size_t sent_count() {
        std::lock_guard<std::mutex> guard(lock);
        return sent.size();
    }
    void wait_sent(size_t n) {
        for (int i = 0; i < 2000 && sent_count() < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

TEST(HciCommandChannel, AnswersAreMatchedByOpcodeAndPacedByTheControllersCredits) {
    channel_fixture f;
    hci::command_outcome reset;
    std::thread caller([&] { reset = f.channel.execute(hci::reset_command(), 5000); });
    f.wait_sent(1);
    // A stale answer to another command, and a NOP, give credits but answer nothing.
    EXPECT_TRUE(f.channel.on_event(hex("0E 04 01 01 10 00")));
    EXPECT_TRUE(f.channel.on_event(hex("0E 03 01 00 00")));
    // The answer to Reset, saying the controller takes no command for now.
    EXPECT_TRUE(f.channel.on_event(hex("0E 04 00 03 0C 00")));
    caller.join();
    EXPECT_EQ(reset.what, hci::command_outcome::kind::complete);
    EXPECT_TRUE(reset.succeeded());

    hci::command_outcome version;
    std::thread second(
        [&] { version = f.channel.execute(hci::read_local_version_information_command(), 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(f.sent_count(), 1u) << "sent while the controller had no room";
    // A Command Status for nothing in particular makes room again.
    EXPECT_TRUE(f.channel.on_event(hex("0F 04 00 01 00 00")));
    f.wait_sent(2);
    EXPECT_TRUE(f.channel.on_event(hex("0E 0C 01 01 10 00 0B 00 00 0B F1 05 00 00")));
    second.join();
    ASSERT_TRUE(version.answered());
    EXPECT_EQ(version.return_parameters.size(), 9u);
    EXPECT_FALSE(f.channel.on_event(hex("05 04 00 40 00 13")));  // not an answer at all
}

TEST(HciCommandChannel, NoAnswerLostAndUnwritableEachEndTheWait) {
    channel_fixture f;
    EXPECT_EQ(f.channel.execute(hci::reset_command(), 30).what,
              hci::command_outcome::kind::no_answer);
    // After a command that got no answer the next one is still sent.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        f.channel.fail("stream closed");
    });
    const auto lost = f.channel.execute(hci::reset_command(), 60000);
    later.join();
    EXPECT_EQ(f.sent_count(), 2u);
    EXPECT_EQ(lost.what, hci::command_outcome::kind::lost);
    EXPECT_EQ(lost.why, "stream closed");
    EXPECT_EQ(f.channel.execute(hci::reset_command(), 60000).what,
              hci::command_outcome::kind::lost);

    channel_fixture g;
    g.refuse_writes = true;
    const auto unsent = g.channel.execute(hci::reset_command(), 60000);
    EXPECT_EQ(unsent.what, hci::command_outcome::kind::not_sent);
    EXPECT_EQ(unsent.why, "broken pipe");
}

TEST(HciCommandChannel, ACommandOutWhenTheControllerIsLostEndsLostThoughRevivedAtOnce) {
    // The controller is lost while the command is on its way, and a recovery revives the
    // channel before the waiter looks again: the waiter's controller is still gone.
    std::function<void()> while_sending;
    hci::command_channel channel([&](hci::bytes_view, std::string&) {
        if (while_sending) while_sending();
        return true;
    });
    while_sending = [&] {
        channel.fail("stream closed");
        channel.revive();
    };
    const auto start = std::chrono::steady_clock::now();
    const auto lost = channel.execute(hci::reset_command(), 2000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(lost.what, hci::command_outcome::kind::lost);
    EXPECT_EQ(lost.why, "stream closed");

    // The revived channel sends the next command and takes its answer.
    while_sending = nullptr;
    hci::command_outcome reset;
    std::thread caller([&] { reset = channel.execute(hci::reset_command(), 5000); });
    while (channel.credits() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(channel.on_event(hex("0E 04 01 03 0C 00")));
    caller.join();
    EXPECT_TRUE(reset.succeeded());

    // A shut channel stays shut.
    channel.shut("closed");
    channel.revive();
    EXPECT_EQ(channel.execute(hci::reset_command(), 5000).what, hci::command_outcome::kind::lost);
}

// ---- GATT procedures.

hci::gattc_procedure services_from(uint16_t start) {
    hci::gattc_procedure p;
    p.what = hci::gattc_procedure::kind::services;
    p.start_handle = start;
    return p;
}

TEST(HciGattcProcedure, RequestsOnTheWire) {
    EXPECT_EQ(hci::request_pdu(services_from(1)), hex("10 01 00 FF FF 00 28"));
    auto by_uuid = services_from(5);
    by_uuid.service_uuid = 0x180F;
    EXPECT_EQ(hci::request_pdu(by_uuid), hex("06 05 00 FF FF 00 28 0F 18"));
    hci::gattc_procedure chars;
    chars.what = hci::gattc_procedure::kind::characteristics;
    chars.start_handle = 0x10;
    chars.end_handle = 0x1F;
    EXPECT_EQ(hci::request_pdu(chars), hex("08 10 00 1F 00 03 28"));
    hci::gattc_procedure read;
    read.handle = 0x0003;
    EXPECT_EQ(hci::request_pdu(read), hex("0A 03 00"));
    read.offset = 0x16;
    EXPECT_EQ(hci::request_pdu(read), hex("0C 03 00 16 00"));
    hci::gattc_procedure cmd;
    cmd.what = hci::gattc_procedure::kind::write_command;
    cmd.handle = 0x0E;
    cmd.value = hex("01 00");
    EXPECT_EQ(hci::request_pdu(cmd), hex("52 0E 00 01 00"));
    EXPECT_FALSE(cmd.expects_answer());
}

TEST(HciGattcProcedure, ServiceAnswersBecomeTheEventsTheProgramReads) {
    // One 16-bit service and, in a second response, one 128-bit service.
    auto a = hci::answer_for(7, services_from(1), hex("11 06 01 00 05 00 0F 18"));
    ASSERT_TRUE(a.is_answer);
    ASSERT_TRUE(a.event);
    const ble_gattc_evt_t& e = a.event->gattc();
    EXPECT_EQ(e.conn_handle, 7);
    EXPECT_EQ(e.gatt_status, BLE_GATT_STATUS_SUCCESS);
    ASSERT_EQ(e.params.prim_srvc_disc_rsp.count, 1);
    EXPECT_EQ(e.params.prim_srvc_disc_rsp.services[0].uuid.type, BLE_UUID_TYPE_BLE);
    EXPECT_EQ(e.params.prim_srvc_disc_rsp.services[0].uuid.uuid, 0x180F);
    EXPECT_EQ(e.params.prim_srvc_disc_rsp.services[0].handle_range.end_handle, 5);

    auto b =
        hci::answer_for(7, services_from(6),
                        hex("11 14 06 00 FF FF 79 0C 42 7B 99 30 55 A2 E0 4C 0F 5B 60 29 86 57"));
    ASSERT_TRUE(b.event);
    EXPECT_EQ(b.event->gattc().params.prim_srvc_disc_rsp.services[0].uuid.type,
              BLE_UUID_TYPE_UNKNOWN);

    // The end of discovery: Attribute Not Found, as the program's status.
    auto end = hci::answer_for(7, services_from(0x10), hex("01 10 10 00 0A"));
    ASSERT_TRUE(end.event);
    EXPECT_EQ(end.event->gattc().gatt_status, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(end.event->gattc().error_handle, 0x10);
    EXPECT_EQ(end.event->gattc().params.prim_srvc_disc_rsp.count, 0);

    // Not answers to this procedure: an error about another request, a notification.
    EXPECT_FALSE(hci::answer_for(7, services_from(1), hex("01 0A 03 00 02")).is_answer);
    EXPECT_FALSE(hci::answer_for(7, services_from(1), hex("1B 03 00 01")).is_answer);
}

TEST(HciGattcProcedure, MalformedAnswersEndTheProcedureWithAnInvalidPduStatus) {
    // Entries that do not divide the list, a 3-byte UUID, a list with nothing in it, a
    // truncated error response.
    for (const char* pdu :
         {"11 06 01 00 05 00 0F", "11 07 01 00 05 00 0F 18 00", "11 06", "01 10 01"}) {
        auto a = hci::answer_for(1, services_from(1), hex(pdu));
        ASSERT_TRUE(a.is_answer) << pdu;
        ASSERT_TRUE(a.event) << pdu;
        EXPECT_EQ(a.event->gattc().gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_PDU) << pdu;
    }
    hci::gattc_procedure chars;
    chars.what = hci::gattc_procedure::kind::characteristics;
    chars.start_handle = 1;
    chars.end_handle = 5;
    // A characteristic declaration of 4 bytes (no room for a UUID).
    auto c = hci::answer_for(1, chars, hex("09 06 02 00 12 03 00 00"));
    ASSERT_TRUE(c.event);
    EXPECT_EQ(c.event->gattc().gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_PDU);
}

TEST(HciGattcProcedure, CharacteristicsReadsAndWrites) {
    hci::gattc_procedure chars;
    chars.what = hci::gattc_procedure::kind::characteristics;
    chars.start_handle = 1;
    chars.end_handle = 5;
    // Declaration at 2: notify|read, value at 3, UUID 0x2A19.
    auto c = hci::answer_for(1, chars, hex("09 07 02 00 12 03 00 19 2A"));
    ASSERT_TRUE(c.event);
    const ble_gattc_char_t& ch = c.event->gattc().params.char_disc_rsp.chars[0];
    EXPECT_EQ(ch.handle_decl, 2);
    EXPECT_EQ(ch.handle_value, 3);
    EXPECT_EQ(ch.uuid.uuid, 0x2A19);
    EXPECT_TRUE(ch.char_props.read);
    EXPECT_TRUE(ch.char_props.notify);
    EXPECT_FALSE(ch.char_props.write);

    hci::gattc_procedure read;
    read.handle = 3;
    auto r = hci::answer_for(1, read, hex("0B 64"));
    ASSERT_TRUE(r.event);
    EXPECT_EQ(r.event->gattc().params.read_rsp.len, 1);
    EXPECT_EQ(r.event->gattc().params.read_rsp.data[0], 0x64);
    auto empty = hci::answer_for(1, read, hex("0B"));
    ASSERT_TRUE(empty.event);
    EXPECT_EQ(empty.event->gattc().params.read_rsp.len, 0);
    auto denied = hci::answer_for(1, read, hex("01 0A 03 00 02"));
    ASSERT_TRUE(denied.event);
    EXPECT_EQ(denied.event->gattc().gatt_status, BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED);

    hci::gattc_procedure write;
    write.what = hci::gattc_procedure::kind::write_request;
    write.write_op = BLE_GATT_OP_WRITE_REQ;
    write.handle = 0x0E;
    write.value = hex("01 00");
    auto w = hci::answer_for(1, write, hex("13"));
    ASSERT_TRUE(w.event);
    EXPECT_EQ(w.event->gattc().params.write_rsp.handle, 0x0E);
    EXPECT_EQ(w.event->gattc().params.write_rsp.len, 2);
    EXPECT_TRUE(hci::answer_for(1, write, hex("13 00")).event->gattc().gatt_status ==
                BLE_GATT_STATUS_ATTERR_INVALID_PDU);
}

// ---- What the host answers on its own.

TEST(HciLocalAnswers, OurServerAnswersEveryRequestAndNothingElse) {
    EXPECT_EQ(*hci::att_server_answer(hex("02 F7 00"), 150), hex("03 96 00"));
    EXPECT_EQ(*hci::att_server_answer(hex("02 F7"), 150), hex("01 02 00 00 06"));
    EXPECT_EQ(*hci::att_server_answer(hex("10 01 00 FF FF 00 28"), 150), hex("01 10 01 00 0A"));
    EXPECT_EQ(*hci::att_server_answer(hex("08 01 00 FF FF 03 28"), 150), hex("01 08 01 00 0A"));
    EXPECT_EQ(*hci::att_server_answer(hex("04 01 00 FF FF"), 150), hex("01 04 01 00 0A"));
    EXPECT_EQ(*hci::att_server_answer(hex("0A 05 00"), 150), hex("01 0A 05 00 06"));
    EXPECT_EQ(*hci::att_server_answer(hex("12"), 150), hex("01 12 00 00 06"));
    EXPECT_EQ(*hci::att_server_answer(hex("3C 01 00"), 150), hex("01 3C 01 00 06"));
    // Commands, responses, notifications, indications and confirmations: no answer.
    for (const char* silent : {"52 0E 00 01", "D2 0E 00", "0B 01", "1B 03 00 01", "1D 03 00", "1E",
                               "01 0A 03 00 02", ""}) {
        EXPECT_FALSE(hci::att_server_answer(hex(silent), 150)) << silent;
    }
}

TEST(HciLocalAnswers, PairingIsTurnedDownAndUnknownSignallingRejected) {
    EXPECT_EQ(*hci::security_manager_answer(hex("01 03 00 01 10 07 07")), hex("05 05"));
    EXPECT_EQ(*hci::security_manager_answer(hex("0B 01")), hex("05 05"));
    EXPECT_FALSE(hci::security_manager_answer(hex("05 05")));
    EXPECT_FALSE(hci::security_manager_answer(hex("")));

    // LE credit based connection request, identifier 9: command not understood.
    EXPECT_EQ(*hci::signalling_reject(hex("14 09 0A 00 80 00 40 00 17 00 05 00")),
              hex("06 00 05 00 01 09 02 00 00 00"));
    EXPECT_FALSE(hci::signalling_reject(hex("01 09 02 00 00 00")));  // a reject is not answered
    EXPECT_FALSE(hci::signalling_reject(hex("13 09 02 00 00 00")));
    EXPECT_FALSE(hci::signalling_reject(hex("14 00")));  // identifier 0 is never valid
    EXPECT_FALSE(hci::signalling_reject(hex("14")));
}

TEST(RssiFilter, ReportsAChangeOnlyOnceItHeldForTheSkipCount) {
    driver::stack::rssi_filter f(5, 2);
    EXPECT_FALSE(f.sample(-60));  // the reference
    EXPECT_FALSE(f.sample(-64));  // within the threshold
    EXPECT_FALSE(f.sample(-70));
    EXPECT_FALSE(f.sample(-71));
    EXPECT_EQ(f.sample(-72), -72);  // third sample in a row past the threshold
    EXPECT_FALSE(f.sample(-80));
    EXPECT_FALSE(f.sample(-73));  // back within: the count starts again
    EXPECT_FALSE(f.sample(-80));
    EXPECT_FALSE(f.sample(-80));
    EXPECT_EQ(f.sample(-80), -80);

    driver::stack::rssi_filter silent(0xFF, 0);
    EXPECT_FALSE(silent.reports());
    EXPECT_FALSE(silent.sample(-10));
    EXPECT_FALSE(silent.sample(-90));
}

}  // namespace
