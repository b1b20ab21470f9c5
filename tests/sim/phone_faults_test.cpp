// A phone's scripted misbehaviour, owned by the phone: which request it strikes, on which
// connection, and what the phone then does; and the loader handing a scenario's GATT
// faults to the phone they name.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "driver/ble_gatt.h"
#include "sim/phone/phone_gatt.h"
#include "sim/scenario/scenario_loader.h"

namespace {

using sim::gatt_procedure;
using sim::gatt_reply;
using sim::gatt_request;
using sim::phone_fault;

// Standard profile handles (docs/scenario-gatt.md).
constexpr uint16_t feature_value = 0x000C;
constexpr uint16_t challenge_value = 0x000E;
constexpr uint16_t response_value = 0x0010;
constexpr uint16_t response_cccd = 0x0011;
constexpr uint16_t service_changed_cccd = 0x0009;

sim::phone_gatt standard_phone() {
    return sim::phone_gatt::standard_profile("a0a489971097bba1b343eddd8f50f6ac");
}

gatt_request read_of(uint16_t handle) {
    gatt_request r;
    r.procedure = gatt_procedure::read;
    r.handle = handle;
    return r;
}

gatt_request write_of(uint8_t op, uint16_t handle, std::vector<uint8_t> value, sim::sim_us sent) {
    gatt_request r;
    r.procedure = gatt_procedure::write;
    r.write_op = op;
    r.handle = handle;
    r.value = std::move(value);
    r.sent = sent;
    return r;
}

gatt_request notifications_on(uint16_t cccd, sim::sim_us sent = 0) {
    return write_of(BLE_GATT_OP_WRITE_REQ, cccd, {0x01, 0x00}, sent);
}

gatt_request challenge(sim::sim_us sent = 0) {
    return write_of(BLE_GATT_OP_WRITE_CMD, challenge_value, std::vector<uint8_t>(19, 3), sent);
}

phone_fault fault(phone_fault::kind what) {
    phone_fault f;
    f.what = what;
    return f;
}

bool answered(const gatt_reply& r) {
    return r.what == gatt_reply::kind::answer;
}

TEST(PhoneFaults, AFaultByCountStrikesOnlyOnItsConnectionAndCountsAfresh) {
    sim::phone_gatt phone = standard_phone();
    phone_fault silent = fault(phone_fault::kind::silent);
    silent.after_count = 2;
    silent.connection = 2;
    phone.add_fault(silent);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(answered(phone.respond(read_of(feature_value), 0)));

    phone.on_disconnect();  // the phone's second connection
    EXPECT_TRUE(answered(phone.respond(read_of(feature_value), 0)));
    EXPECT_TRUE(answered(phone.respond(read_of(feature_value), 0)));
    const gatt_reply third = phone.respond(read_of(feature_value), 0);
    EXPECT_EQ(third.what, gatt_reply::kind::silent);
    EXPECT_FALSE(third.stack_loses_request);
    // A write command counts as a request too, and gets no more than a read.
    EXPECT_EQ(phone.respond(challenge(), 0).what, gatt_reply::kind::silent);

    phone.on_disconnect();
    EXPECT_TRUE(answered(phone.respond(read_of(feature_value), 0)));
}

TEST(PhoneFaults, AFaultByTimeStrikesInItsWindowOnly) {
    sim::phone_gatt phone = standard_phone();
    phone_fault silent = fault(phone_fault::kind::silent);
    silent.from = 1000;
    silent.until = 2000;
    silent.stack_timeout = false;
    phone.add_fault(silent);
    EXPECT_TRUE(answered(phone.respond(read_of(feature_value), 999)));
    const gatt_reply lost = phone.respond(read_of(feature_value), 1000);
    EXPECT_EQ(lost.what, gatt_reply::kind::silent);
    EXPECT_TRUE(lost.stack_loses_request);
    EXPECT_EQ(phone.respond(read_of(feature_value), 1999).what, gatt_reply::kind::silent);
    EXPECT_TRUE(answered(phone.respond(read_of(feature_value), 2000)));
}

TEST(PhoneFaults, APhoneHangsUpOnTheOneRequestAfterTheCountAndNotAgain) {
    sim::phone_gatt phone = standard_phone();
    phone_fault hang_up = fault(phone_fault::kind::hang_up);
    hang_up.after_count = 1;
    hang_up.reason = 0x15;
    phone.add_fault(hang_up);
    // Hanging up comes before keeping quiet.
    phone.add_fault(fault(phone_fault::kind::silent));
    EXPECT_EQ(phone.respond(read_of(feature_value), 0).what, gatt_reply::kind::silent);
    const gatt_reply second = phone.respond(read_of(feature_value), 0);
    EXPECT_EQ(second.what, gatt_reply::kind::hang_up);
    EXPECT_EQ(second.reason, 0x15);
    EXPECT_EQ(phone.respond(read_of(feature_value), 0).what, gatt_reply::kind::silent);
}

TEST(PhoneFaults, RefusedCccdWritesLeaveTheCccdAsItWasAndCommandsAreDropped) {
    sim::phone_gatt phone = standard_phone();
    phone_fault refuse = fault(phone_fault::kind::cccd);
    refuse.mode = sim::cccd_mode::refuse;
    refuse.after_count = 1;
    phone.add_fault(refuse);
    ASSERT_TRUE(answered(phone.respond(notifications_on(response_cccd), 0)));
    EXPECT_EQ(phone.cccd_value(response_cccd), 1);

    const gatt_reply refused = phone.respond(notifications_on(service_changed_cccd), 0);
    ASSERT_TRUE(answered(refused));
    const auto* w = std::get_if<sim::write_response>(&refused.answer);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->status, BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED);
    EXPECT_EQ(w->error_handle, service_changed_cccd);
    EXPECT_EQ(w->handle, service_changed_cccd);
    EXPECT_TRUE(w->data.empty());
    EXPECT_EQ(phone.cccd_value(service_changed_cccd), 0);

    // A command cannot be refused: it is dropped.
    EXPECT_EQ(phone.respond(write_of(BLE_GATT_OP_WRITE_CMD, response_cccd, {0, 0}, 0), 0).what,
              gatt_reply::kind::silent);
    EXPECT_EQ(phone.cccd_value(response_cccd), 1);
    // Writes elsewhere are not CCCD writes.
    EXPECT_TRUE(answered(phone.respond(challenge(), 0)));
}

TEST(PhoneFaults, MutedChallengesTakeEffectButAreNotAnsweredAndTheWindowIsTheSendingTime) {
    sim::phone_gatt phone = standard_phone();
    phone_fault mute = fault(phone_fault::kind::challenge_silent);
    mute.from = 5000;
    phone.add_fault(mute);
    ASSERT_TRUE(answered(phone.respond(notifications_on(response_cccd), 0)));
    const gatt_reply before = phone.respond(challenge(4999), 9000);
    ASSERT_EQ(before.notifications.size(), 1u);
    EXPECT_EQ(before.notifications[0].handle, response_value);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(before.answer));  // a command

    const gatt_reply muted = phone.respond(challenge(5000), 5000);
    EXPECT_TRUE(answered(muted));
    EXPECT_TRUE(muted.notifications.empty());
    // As a request it is still answered, only the notification stays away.
    const gatt_reply as_request = phone.respond(
        write_of(BLE_GATT_OP_WRITE_REQ, challenge_value, std::vector<uint8_t>(19, 3), 6000), 6000);
    EXPECT_TRUE(std::holds_alternative<sim::write_response>(as_request.answer));
    EXPECT_TRUE(as_request.notifications.empty());
}

TEST(PhoneFaults, DiscoveryByServiceUuidWalksTheDatabaseUntilItFindsOne) {
    sim::phone_gatt phone = standard_phone();
    gatt_request by_uuid;
    by_uuid.procedure = gatt_procedure::services;
    by_uuid.handle = 1;
    by_uuid.service_uuid = 0x1801;
    const gatt_reply found = phone.respond(by_uuid, 0);
    const auto* s = std::get_if<sim::services_response>(&found.answer);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->status, BLE_GATT_STATUS_SUCCESS);
    ASSERT_EQ(s->services.size(), 1u);
    EXPECT_EQ(s->services[0].handle_range.start_handle, 0x0006);

    by_uuid.handle = 7;
    by_uuid.service_uuid = 0x1800;
    const gatt_reply missing = phone.respond(by_uuid, 0);
    s = std::get_if<sim::services_response>(&missing.answer);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->status, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(s->error_handle, 7);
    EXPECT_TRUE(s->services.empty());
}

TEST(PhoneFaults, TheLoaderHandsAPhonesGattFaultsToThatPhone) {
    sim::scenario loaded;
    std::string error;
    ASSERT_TRUE(sim::load_scenario_text(
        R"({"phones": [{"name": "a", "uuid": "a0a489971097bba1b343eddd8f50f6ac"},
                       {"name": "b", "uuid": "feedfeadfeadfeadfeadfeadfeadfead"}],
            "faults": [{"type": "gatt_silent", "phone": "b", "after_requests": 1},
                       {"type": "disconnect", "phone": "a", "after_requests": 0, "reason": 8},
                       {"type": "disconnect", "phone": "a", "at_ms": 100},
                       {"type": "connect_never", "phone": "b"}]})",
        "test.json", loaded, error))
        << error;
    // What happens to a request is the phones' business; the rest stays with the world.
    ASSERT_EQ(loaded.faults.size(), 2u);
    EXPECT_EQ(loaded.faults[0].where, "faults[2]");
    EXPECT_EQ(loaded.faults[1].where, "faults[3]");

    sim::phone_gatt a = loaded.devices[0].gatt;
    const gatt_reply first = a.respond(read_of(feature_value), 0);
    EXPECT_EQ(first.what, gatt_reply::kind::hang_up);
    EXPECT_EQ(first.reason, 8);
    sim::phone_gatt b = loaded.devices[1].gatt;
    EXPECT_TRUE(answered(b.respond(read_of(feature_value), 0)));
    EXPECT_EQ(b.respond(read_of(feature_value), 0).what, gatt_reply::kind::silent);
}

}  // namespace
