// Characteristic discovery over the recorded services, and descriptor responses.
#include "diag/code_names.h"
#include "gatt/characteristic_discovery.h"
#include "tests/unit/gatt_fixture.h"

namespace testing_support {
namespace {

class characteristic_discovery_test : public gatt_fixture {
  protected:
    void SetUp() override {
        gatt_fixture::SetUp();
        phone = phone_in_setup("a0a489971097bba1b343eddd8f50f6ac", 3);
        phone->services = {service(BLE_UUID_TYPE_BLE, 0x0001, 0x0007),
                           service(BLE_UUID_TYPE_BLE, 0x0008, 0x000B),
                           service(BLE_UUID_TYPE_BLE, 0x000C, 0x0020)};
    }

    void respond(uint16_t status, const std::vector<characteristic_entry>& chars) {
        wire::event_buffer rsp = make_char_disc_rsp(3, status, chars);
        on_gattc_evt_char_disc_rsp(rsp.gattc());
    }

    std::vector<recorded_call> requests() const {
        return backend->calls_named("gattc_characteristics_discover");
    }

    phone_record* phone = nullptr;
};

TEST_F(characteristic_discovery_test, first_request_covers_from_the_first_service_to_the_end) {
    capture();
    EXPECT_EQ(NRF_SUCCESS, characteristics_discovery_start(3));
    EXPECT_EQ(
        "Discovering characteristics conn_handle = 3\n"
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0001\n",
        finish_capture());
    ASSERT_EQ(1u, requests().size());
    EXPECT_EQ((std::vector<int64_t>{3, 0x0001, 0xFFFF}), requests()[0].args);
}

TEST_F(characteristic_discovery_test, files_each_characteristic_under_its_service_and_continues) {
    characteristics_discovery_start(3);
    capture();
    respond(0, {{0x0002, 0x0003, BLE_UUID_TYPE_BLE, 0x2A00}, {0x0004, 0x0005}, {0x000D, 0x000E}});
    const std::string out = finish_capture();

    ASSERT_EQ(2u, phone->services[0].characteristics.size());
    EXPECT_EQ(0x0002, phone->services[0].characteristics[0].decl_handle);
    EXPECT_EQ(0x0003, phone->services[0].characteristics[0].value_handle);
    EXPECT_FALSE(phone->services[0].characteristics[0].metadata_read);
    EXPECT_EQ(0x0004, phone->services[0].characteristics[1].decl_handle);
    EXPECT_TRUE(phone->services[1].characteristics.empty());
    ASSERT_EQ(1u, phone->services[2].characteristics.size());
    EXPECT_EQ(0x000E, phone->services[2].characteristics[0].value_handle);

    ASSERT_EQ(2u, requests().size());
    EXPECT_EQ((std::vector<int64_t>{3, 0x000E, 0xFFFF}), requests()[1].args);
    EXPECT_TRUE(has_line(out,
                         "Service 0x0001 Characteristic desc 0x0002, value 0x0003 UUID type 1, "
                         "short UUID: 0x2A00, conn_handle = 3"));
    EXPECT_TRUE(
        has_line(out, "sd_ble_gattc_characteristics_discover success for start_handle 0x000E"));
}

TEST_F(characteristic_discovery_test, characteristic_across_two_services_is_unfound) {
    capture();
    respond(0, {{0x0007, 0x0008, BLE_UUID_TYPE_UNKNOWN, 0}});
    const std::string out = finish_capture();
    EXPECT_TRUE(
        has_line(out,
                 "TS: UNFOUND Characteristic desc handle 0x0007, value handle 0x0008 UUID type 0, "
                 "short UUID: 0x0000, conn_handle = 3"));
    for (const auto& s : phone->services) EXPECT_TRUE(s.characteristics.empty());
}

TEST_F(characteristic_discovery_test, characteristic_inside_overlapping_services_is_filed_in_both) {
    phone->services = {service(BLE_UUID_TYPE_BLE, 1, 0x20), service(BLE_UUID_TYPE_BLE, 4, 8)};
    respond(0, {{5, 6}});
    EXPECT_EQ(1u, phone->services[0].characteristics.size());
    EXPECT_EQ(1u, phone->services[1].characteristics.size());
}

TEST_F(characteristic_discovery_test, last_declaration_at_ffff_continues_from_zero) {
    phone->services = {service(BLE_UUID_TYPE_BLE, 0xFFF0, 0xFFFF)};
    characteristics_discovery_start(3);
    respond(0, {{0xFFFE, 0xFFFF}, {0xFFFF, 0xFFFF}});
    ASSERT_EQ(2u, requests().size());
    EXPECT_EQ((std::vector<int64_t>{3, 0x0000, 0xFFFF}), requests()[1].args);
}

TEST_F(characteristic_discovery_test, completion_and_faulty_answers_all_go_on_to_uuid_reads) {
    phone->services[1].uuid_type = BLE_UUID_TYPE_UNKNOWN;  // so that a read follows
    struct {
        uint16_t status;
        std::string line;
    } cases[] = {
        {BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND,
         "Characteristic discovery done conn_handle = 3"},
        {BLE_GATT_STATUS_ATTERR_INVALID_HANDLE,
         "TS: Characteristic discovery failed. Error code 0x101, conn_handle = 3"},
        {0, "TS: Characteristic discovery has 0 characteristics (unexpected!), conn_handle = 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        backend->clear_calls();
        capture();
        respond(c.status, {});
        const std::string out = finish_capture();
        EXPECT_TRUE(has_line(out, c.line));
        const auto reads = backend->calls_named("gattc_read");
        ASSERT_EQ(1u, reads.size());
        EXPECT_EQ((std::vector<int64_t>{3, 0x0008, 0}), reads[0].args);
    }
}

// A refused first request leaves nothing outstanding: without an end the phone would
// block every other set-up until it disconnected.
TEST_F(characteristic_discovery_test, refused_first_request_ends_the_setup) {
    backend->push_result("gattc_characteristics_discover", NRF_ERROR_BUSY);
    capture();
    EXPECT_EQ(uint32_t{NRF_ERROR_BUSY}, characteristics_discovery_start(3));
    const std::string out = finish_capture();
    EXPECT_TRUE(has_line(out, "TS: sd_ble_gattc_characteristics_discover error " +
                                  error_code_name(NRF_ERROR_BUSY) +
                                  ", conn_handle = 3 start_handle = 1"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(characteristic_discovery_test, no_recorded_service_ends_the_setup_without_a_request) {
    phone->services.clear();
    characteristics_discovery_start(3);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(characteristic_discovery_test, refused_continuation_ends_the_setup_without_reads) {
    backend->push_result("gattc_characteristics_discover", BLE_ERROR_INVALID_CONN_HANDLE);
    capture();
    respond(0, {{0x0002, 0x0003}});
    const std::string out = finish_capture();
    EXPECT_TRUE(has_line(out, "TS: sd_ble_gattc_characteristics_discover error " +
                                  error_code_name(BLE_ERROR_INVALID_CONN_HANDLE) +
                                  ", conn_handle = 3 for start_handle = 3"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_TRUE(backend->calls_named("gattc_read").empty());
    EXPECT_EQ(1u, phone->services[0].characteristics.size());
}

TEST_F(characteristic_discovery_test, a_peer_that_goes_backwards_gets_its_uuid_reads) {
    characteristics_discovery_start(3);
    respond(0, {{0x0004, 0x0005}});
    capture();
    respond(0, {{0x0002, 0x0003}});
    const std::string out = finish_capture();
    EXPECT_EQ(2u, requests().size());
    EXPECT_TRUE(
        contains(out, "Characteristic discovery does not advance past start handle 0x0005"));
    const auto reads = backend->calls_named("gattc_read");
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ(0x0004, reads[0].args[1]);  // recorded order: 0x0004 came first
}

TEST_F(characteristic_discovery_test, late_or_foreign_responses_change_nothing) {
    wire::event_buffer foreign = make_char_disc_rsp(4, 0, {{0x0002, 0x0003}});
    on_gattc_evt_char_disc_rsp(foreign.gattc());
    test_context.phone_in_setup = nullptr;
    respond(0, {{0x0002, 0x0003}});
    respond(BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND, {});
    for (const auto& s : phone->services) EXPECT_TRUE(s.characteristics.empty());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(characteristic_discovery_test, descriptor_response_is_printed_whatever_the_level) {
    test_context.log_level = 0;
    capture();
    wire::event_buffer rsp = make_desc_disc_rsp(3, 0, {{0x0010, 0x2902}, {0x0011, 0x2901}});
    on_gattc_evt_desc_disc_rsp(rsp.gattc());
    wire::event_buffer failed = make_desc_disc_rsp(3, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE, {});
    on_gattc_evt_desc_disc_rsp(failed.gattc());
    EXPECT_EQ(
        "TS: Received descriptor discovery response, descriptor count: 2\n"
        "Descriptor handle: 0x0010, UUID: 0x2902\n"
        "Press enter to toggle notifications on the HRM characteristic\n"
        "Descriptor handle: 0x0011, UUID: 0x2901\n"
        "TS: Descriptor discovery failed. Error code 0x101\n",
        finish_capture());
}

}  // namespace
}  // namespace testing_support
