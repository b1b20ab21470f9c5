// Declaration reads that complete a phone's database, and read responses outside a set-up.
#include "diag/code_names.h"
#include "gatt/uuid_reads.h"
#include "tests/unit/gatt_fixture.h"

namespace testing_support {
namespace {

const char* const challenge_text = "7198C97A914A432DB8280EEA0E2B65FC";

class uuid_reads_test : public gatt_fixture {
  protected:
    void SetUp() override {
        gatt_fixture::SetUp();
        phone = phone_in_setup("a0a489971097bba1b343eddd8f50f6ac", 2);
    }

    void answer(uint16_t handle, const std::vector<uint8_t>& data, uint16_t status = 0,
                uint16_t conn = 2) {
        wire::event_buffer rsp = make_read_rsp(conn, status, handle, data);
        on_gattc_evt_read_response(rsp.gattc());
    }

    std::vector<int64_t> read_handles() const {
        std::vector<int64_t> handles;
        for (const auto& call : backend->calls_named("gattc_read")) handles.push_back(call.args[1]);
        return handles;
    }

    phone_record* phone = nullptr;
};

std::vector<uint8_t> counting_bytes() {
    std::vector<uint8_t> bytes;
    for (uint8_t i = 0; i < 16; ++i) bytes.push_back(i);
    return bytes;
}

TEST_F(uuid_reads_test, service_answer_stores_the_uuid_most_significant_first) {
    phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0008, 0x0010)};
    characteristic_metadata_discovery_start();
    ASSERT_EQ(std::vector<int64_t>{8}, read_handles());

    capture();
    answer(0x0008, counting_bytes());
    const std::string out = finish_capture();
    EXPECT_EQ("0f0e0d0c0b0a09080706050403020100", phone->services[0].uuid128);
    EXPECT_TRUE(has_line(out, "found service 0x0008 UUID = 0f0e0d0c0b0a09080706050403020100"));
    EXPECT_TRUE(has_line(out, "entirely done getting metadata from phone"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(uuid_reads_test, characteristic_declaration_with_its_own_value_handle_gives_the_uuid) {
    phone->services = {service(BLE_UUID_TYPE_BLE, 0x0001, 0x0020)};
    phone->services[0].characteristics = {characteristic(0x000F, 0x0010)};
    const std::vector<uint8_t> value = declaration_value(0x0010, challenge_text);
    ASSERT_EQ(19u, value.size());

    capture();
    answer(0x000F, value);
    const std::string out = finish_capture();
    const gatt_characteristic& c = phone->services[0].characteristics[0];
    EXPECT_TRUE(c.metadata_read);
    EXPECT_EQ("7198c97a914a432db8280eea0e2b65fc", c.uuid128);
    EXPECT_TRUE(has_line(
        out,
        "MATCHED on_gattc_evt_read_response conn_handle = 2 read handle = 0x000F #bytes = 19 "
        "offset = 0 data = 0a 10 00 fc 65 2b 0e ea 0e 28 b8 2d 43 4a 91 7a c9 98 71 "));
    EXPECT_TRUE(has_line(
        out, "FOUND characteristic handle 0x0010 UUID = 7198c97a914a432db8280eea0e2b65fc"));
}

TEST_F(uuid_reads_test, declaration_naming_another_value_handle_is_read_but_not_trusted) {
    phone->services = {service(BLE_UUID_TYPE_BLE, 0x0001, 0x0020)};
    phone->services[0].characteristics = {characteristic(0x000F, 0x0011),
                                          characteristic(0x0012, 0x0013)};
    capture();
    answer(0x000F, declaration_value(0x0010, challenge_text));
    const std::string out = finish_capture();
    EXPECT_TRUE(has_line(
        out, "TS: UNEXPECTED received value handle 0x0010 != expected value handle 0x0011"));
    EXPECT_TRUE(phone->services[0].characteristics[0].metadata_read);
    EXPECT_TRUE(phone->services[0].characteristics[0].uuid128.empty());
    EXPECT_EQ(std::vector<int64_t>{0x0012}, read_handles());
}

TEST_F(uuid_reads_test, short_uuid_declaration_is_marked_read_and_the_chain_goes_on) {
    phone->services = {service(BLE_UUID_TYPE_BLE, 0x0001, 0x0020)};
    phone->services[0].characteristics = {characteristic(0x0002, 0x0003),
                                          characteristic(0x0004, 0x0005)};
    answer(0x0002, {0x02, 0x03, 0x00, 0x00, 0x2A});
    EXPECT_TRUE(phone->services[0].characteristics[0].metadata_read);
    EXPECT_TRUE(phone->services[0].characteristics[0].uuid128.empty());
    EXPECT_EQ(std::vector<int64_t>{0x0004}, read_handles());
}

TEST_F(uuid_reads_test, services_are_read_first_then_characteristics_in_order) {
    phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0001, 0x0006),
                       service(BLE_UUID_TYPE_BLE, 0x0007, 0x0009),
                       service(BLE_UUID_TYPE_UNKNOWN, 0x000A, 0x0010)};
    phone->services[0].characteristics = {characteristic(0x0002, 0x0003),
                                          characteristic(0x0004, 0x0005)};
    phone->services[1].characteristics = {characteristic(0x0008, 0x0009)};
    phone->services[2].characteristics = {characteristic(0x000B, 0x000C)};

    characteristic_metadata_discovery_start();
    answer(0x0001, counting_bytes());
    answer(0x000A, counting_bytes());
    for (uint16_t decl : {0x0002, 0x0004, 0x0008, 0x000B}) {
        answer(decl, declaration_value(static_cast<uint16_t>(decl + 1), challenge_text));
    }
    EXPECT_EQ((std::vector<int64_t>{0x0001, 0x000A, 0x0002, 0x0004, 0x0008, 0x000B}),
              read_handles());
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_EQ(1u, backend->calls_named("gap_rssi_start").size());
}

TEST_F(uuid_reads_test, lost_connection_ends_the_setup_quietly) {
    phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0001, 0x0006)};
    phone->conn_handle = BLE_CONN_HANDLE_INVALID;
    capture();
    characteristic_metadata_discovery_start();
    const std::string out = finish_capture();
    EXPECT_FALSE(contains(out, "entirely done"));
    EXPECT_TRUE(has_line(out, "service discovery ended, available for new connection"));
    EXPECT_TRUE(read_handles().empty());
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(uuid_reads_test, refused_read_ends_the_setup) {
    phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0001, 0x0006)};
    backend->push_result("gattc_read", NRF_ERROR_BUSY);
    capture();
    characteristic_metadata_discovery_start();
    const std::string out = finish_capture();
    EXPECT_TRUE(has_line(
        out, "TS: sd_ble_gattc_read failed during characteristic_metadata_discovery_start error " +
                 error_code_name(NRF_ERROR_BUSY) + ", conn_handle = 2"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(uuid_reads_test, error_status_during_setup_ends_it) {
    phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0001, 0x0006)};
    capture();
    answer(0x0001, {}, BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED);
    const std::string out = finish_capture();
    EXPECT_TRUE(has_line(out, "TS: on_gattc_evt_read_response conn_handle = 2 error 0x0102"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

// The wrong-length answer was the one the chain waited for; nothing else will come.
TEST_F(uuid_reads_test, service_answer_of_the_wrong_length_ends_the_setup) {
    phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0001, 0x0006)};
    capture();
    answer(0x0001, std::vector<uint8_t>(15, 0xAA));
    const std::string out = finish_capture();
    EXPECT_TRUE(
        has_line(out, "TS: on_gattc_evt_read_response conn_handle = 2 has unexpected length"));
    EXPECT_TRUE(
        has_line(out,
                 "TS: on_gattc_evt_read_response conn_handle = 2 read handle = 0x0001 #bytes = 15 "
                 "offset = 0 was not for any characteristic we are discovering"));
    EXPECT_TRUE(phone->services[0].uuid128.empty());
    EXPECT_TRUE(read_handles().empty());
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(uuid_reads_test, answer_that_matches_nothing_waits_for_the_real_one) {
    phone->services = {service(BLE_UUID_TYPE_BLE, 0x0001, 0x0006)};
    phone->services[0].characteristics = {characteristic(0x0002, 0x0003)};
    capture();
    answer(0x0030, {1, 2});
    const std::string out = finish_capture();
    EXPECT_TRUE(
        contains(out, "read handle = 0x0030 #bytes = 2 offset = 0 was not for any characteristic"));
    EXPECT_EQ(phone, test_context.phone_in_setup.load());
    EXPECT_FALSE(phone->services[0].characteristics[0].metadata_read);
    EXPECT_TRUE(read_handles().empty());
}

// A keep-alive answer of another phone must neither fill this phone's records nor start
// a second read beside the one the chain has outstanding.
TEST_F(uuid_reads_test, answer_from_another_connection_during_setup_is_a_keepalive_answer) {
    test_context.log_level = 5;
    phone->services = {service(BLE_UUID_TYPE_BLE, 0x0001, 0x0006)};
    phone->services[0].characteristics = {characteristic(0x0002, 0x0003)};
    capture();
    answer(0x0002, declaration_value(0x0003, challenge_text), 0, 7);
    answer(0x0002, {}, BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED, 7);
    const std::string out = finish_capture();
    EXPECT_EQ(
        "TS: keepalive conn_handle = 7 characteristic handle 0x0002 #bytes = 19 value  \n"
        "TS: keepalive conn_handle = 7 characteristic handle 0x0002 #bytes = 0 value  \n",
        out);
    EXPECT_FALSE(phone->services[0].characteristics[0].metadata_read);
    EXPECT_TRUE(read_handles().empty());
    EXPECT_EQ(phone, test_context.phone_in_setup.load());
}

// Overlapping services record a characteristic twice. Matching the first record on every
// answer would leave the second unread and read it again and again.
TEST_F(uuid_reads_test, characteristic_recorded_twice_is_read_twice_and_the_chain_ends) {
    phone->services = {service(BLE_UUID_TYPE_BLE, 0x0001, 0x0020),
                       service(BLE_UUID_TYPE_BLE, 0x0004, 0x0008)};
    phone->services[0].characteristics = {characteristic(0x0005, 0x0006)};
    phone->services[1].characteristics = {characteristic(0x0005, 0x0006)};
    characteristic_metadata_discovery_start();
    for (int i = 0; i < 3 && test_context.phone_in_setup.load() != nullptr; ++i) {
        answer(0x0005, declaration_value(0x0006, challenge_text));
    }
    EXPECT_EQ((std::vector<int64_t>{5, 5}), read_handles());
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_EQ("7198c97a914a432db8280eea0e2b65fc", phone->services[1].characteristics[0].uuid128);
}

// A keep-alive read waiting on `conn_handle`, as gattc_request_sync leaves it.
void pend_read(uint16_t conn_handle) {
    test_context.pending_gattc_event = test_context.read_rsp_event.load();
    test_context.pending_gattc_conn_handle = conn_handle;
}

TEST_F(uuid_reads_test, outside_a_setup_an_answer_only_signals_and_prints) {
    test_context.phone_in_setup = nullptr;
    phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0001, 0x0006)};
    test_context.log_level = 5;
    pend_read(2);
    capture();
    answer(0x0001, {1});
    answer(0x0001, {1, 2});
    answer(0x0001, {9}, BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED);
    const std::string out = finish_capture();
    EXPECT_EQ(
        "TS: keepalive conn_handle = 2 characteristic handle 0x0001 #bytes = 1 value 1\n"
        "TS: keepalive conn_handle = 2 characteristic handle 0x0001 #bytes = 2 value  \n"
        "TS: keepalive conn_handle = 2 characteristic handle 0x0001 #bytes = 1 value 9\n",
        out);
    EXPECT_TRUE(phone->services[0].uuid128.empty());
    EXPECT_TRUE(backend->calls().empty());
    EXPECT_EQ(platform::wait_object_0, platform::wait_for_event(test_context.read_rsp_event, 0));

    test_context.log_level = 4;
    capture();
    answer(0x0001, {1});
    EXPECT_EQ("", finish_capture());
}

TEST_F(uuid_reads_test, only_answers_the_chain_does_not_take_wake_a_waiting_read) {
    // The chain's own answers on the set-up's link: a read waiting on another phone must
    // not take them for its answer.
    phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0001, 0x0006),
                       service(BLE_UUID_TYPE_UNKNOWN, 0x0007, 0x0009)};
    phone->services[0].characteristics = {characteristic(0x0002, 0x0003)};
    answer(0x0001, counting_bytes());
    answer(0x0002, {0x02, 0x03, 0x00, 0x00, 0x2a});
    EXPECT_EQ(platform::wait_timeout, platform::wait_for_event(test_context.read_rsp_event, 0));

    // An answer from another connection, or one on the set-up's link that matches nothing,
    // may be what a read waiting on that link expects.
    pend_read(3);
    answer(0x000C, {1}, 0, 3);
    EXPECT_EQ(platform::wait_object_0, platform::wait_for_event(test_context.read_rsp_event, 0));
    pend_read(2);
    capture();
    answer(0x000C, {1});
    finish_capture();
    EXPECT_EQ(platform::wait_object_0, platform::wait_for_event(test_context.read_rsp_event, 0));
    EXPECT_EQ(platform::wait_timeout, platform::wait_for_event(test_context.read_rsp_event, 0));

    // An error on the set-up's link ends the set-up; it is the chain's answer too.
    capture();
    answer(0x0007, {}, BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED);
    finish_capture();
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_EQ(platform::wait_timeout, platform::wait_for_event(test_context.read_rsp_event, 0));
}

}  // namespace
}  // namespace testing_support
