// Primary service discovery and the end of a phone's set-up.
#include "diag/code_names.h"
#include "gatt/discovery_chain.h"
#include "gatt/service_discovery.h"
#include "tests/unit/gatt_fixture.h"

namespace testing_support {
namespace {

const std::string phone_uuid = "a0a489971097bba1b343eddd8f50f6ac";

class service_discovery_test : public gatt_fixture {
  protected:
    void SetUp() override {
        gatt_fixture::SetUp();
        phone = phone_in_setup(phone_uuid, 5);
    }

    void respond(uint16_t status, const std::vector<service_entry>& services,
                 uint16_t error_handle = 0) {
        wire::event_buffer rsp = make_prim_srvc_disc_rsp(5, status, services, error_handle);
        on_gattc_evt_prim_srvc_disc_rsp(rsp.gattc());
    }

    std::vector<recorded_call> service_requests() const {
        return backend->calls_named("gattc_primary_services_discover");
    }

    phone_record* phone = nullptr;
};

TEST_F(service_discovery_test, start_asks_for_every_service_from_handle_one) {
    capture();
    EXPECT_EQ(NRF_SUCCESS, service_discovery_start(5));
    const std::string out = finish_capture();

    const auto requests = service_requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ((std::vector<int64_t>{5, 1, 0}), requests[0].args);
    EXPECT_EQ(
        "Discovering primary services conn_handle = 5\n"
        "sd_ble_gattc_primary_services_discover success for start_handle = 0x0001\n",
        out);
    EXPECT_EQ(phone, test_context.phone_in_setup.load());
}

TEST_F(service_discovery_test, refused_start_ends_the_setup) {
    backend->push_result("gattc_primary_services_discover", NRF_ERROR_BUSY);
    capture();
    EXPECT_EQ(uint32_t{NRF_ERROR_BUSY}, service_discovery_start(5));
    const std::string out = finish_capture();

    EXPECT_TRUE(has_line(out,
                         "TS: Failed to initiate or continue a GATT Primary Service Discovery "
                         "procedure. Error " +
                             error_code_name(NRF_ERROR_BUSY)));
    EXPECT_TRUE(has_line(out, "service discovery ended, available for new connection"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_TRUE(phone->services.empty());
}

TEST_F(service_discovery_test, records_services_in_order_and_continues_after_the_last) {
    capture();
    respond(0, {{BLE_UUID_TYPE_BLE, 0x1800, 0x0001, 0x0007},
                {BLE_UUID_TYPE_UNKNOWN, 0, 0x0008, 0x000B},
                {BLE_UUID_TYPE_BLE, 0x180F, 0x000C, 0x0015}});
    const std::string out = finish_capture();

    ASSERT_EQ(3u, phone->services.size());
    EXPECT_EQ(BLE_UUID_TYPE_BLE, phone->services[0].uuid_type);
    EXPECT_EQ(0x1800, phone->services[0].uuid16);
    EXPECT_EQ(BLE_UUID_TYPE_UNKNOWN, phone->services[1].uuid_type);
    EXPECT_EQ(0x0008, phone->services[1].start_handle);
    EXPECT_EQ(0x000B, phone->services[1].end_handle);
    EXPECT_TRUE(phone->services[1].uuid128.empty());
    EXPECT_EQ(0x0015, phone->services[2].end_handle);

    const auto requests = service_requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ((std::vector<int64_t>{5, 0x16, 0}), requests[0].args);
    EXPECT_EQ(
        "service type 16-bit, UUID = 0x1800, handle_range start = 0x0001 end = 0x0007 conn_handle "
        "= 5\n"
        "service type 128-bit UUID: handle_range start = 0x0008 end = 0x000B conn_handle = 5\n"
        "service type 16-bit, UUID = 0x180F, handle_range start = 0x000C end = 0x0015 conn_handle "
        "= 5\n"
        "sd_ble_gattc_primary_services_discover success for handle 0x0016\n",
        out);
}

TEST_F(service_discovery_test, vendor_service_is_skipped_but_moves_the_next_start) {
    test_context.log_level = 1;
    capture();
    respond(0, {{BLE_UUID_TYPE_BLE, 0x1800, 0x0001, 0x0007},
                {BLE_UUID_TYPE_VENDOR_BEGIN, 0x1234, 0x0008, 0x0030}});
    const std::string out = finish_capture();

    EXPECT_EQ(1u, phone->services.size());
    EXPECT_EQ(
        "TS: service type 128-bit, octets 12-13 = 0x1234 (not handled by test program), "
        "handle_range start = 0x0008 end = 0x0030 conn_handle = 5\n",
        out);
    ASSERT_EQ(1u, service_requests().size());
    EXPECT_EQ(0x31, service_requests()[0].args[1]);
}

TEST_F(service_discovery_test, last_handle_wraps_to_zero_once_then_ends_normally) {
    capture();
    respond(0, {{BLE_UUID_TYPE_UNKNOWN, 0, 0x0001, 0xFFFF}});
    respond(BLE_GATT_STATUS_ATTERR_INVALID_HANDLE, {});
    const std::string out = finish_capture();

    ASSERT_EQ(1u, service_requests().size());
    EXPECT_EQ(0x0000, service_requests()[0].args[1]);
    EXPECT_TRUE(has_line(out, "sd_ble_gattc_primary_services_discover success for handle 0x10000"));
    EXPECT_TRUE(has_line(out, "finished finding services, conn_handle = 5"));
    const auto chars = backend->calls_named("gattc_characteristics_discover");
    ASSERT_EQ(1u, chars.size());
    EXPECT_EQ((std::vector<int64_t>{5, 0x0001, 0xFFFF}), chars[0].args);
}

TEST_F(service_discovery_test, every_end_status_leads_to_characteristic_discovery) {
    for (uint16_t status :
         {BLE_GATT_STATUS_ATTERR_INVALID_HANDLE, BLE_GATT_STATUS_ATTERR_INVALID_PDU,
          BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND}) {
        SCOPED_TRACE(status);
        phone->services = {service(BLE_UUID_TYPE_BLE, 1, 7)};
        backend->clear_calls();
        capture();
        respond(status, {});
        const std::string out = finish_capture();
        EXPECT_FALSE(contains(out, "failed"));
        EXPECT_EQ(1u, backend->calls_named("gattc_characteristics_discover").size());
        EXPECT_EQ(phone, test_context.phone_in_setup.load());
    }
}

TEST_F(service_discovery_test, other_error_status_ends_the_setup_keeping_what_was_found) {
    phone->services = {service(BLE_UUID_TYPE_BLE, 1, 7)};
    capture();
    respond(BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED, {}, 0x0005);
    const std::string out = finish_capture();

    EXPECT_TRUE(
        has_line(out, "TS: Service discovery failed. Error code 0x102  error handle 0x0005"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_EQ(1u, phone->services.size());
    EXPECT_TRUE(backend->calls_named("gattc_characteristics_discover").empty());
}

TEST_F(service_discovery_test, zero_count_ends_the_setup) {
    capture();
    respond(0, {});
    const std::string out = finish_capture();
    EXPECT_TRUE(has_line(out, "TS: Service discovery has zero count"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

// Nothing is outstanding after an unknown type, so waiting would hold every other phone
// until this one disconnects.
TEST_F(service_discovery_test, unknown_type_keeps_earlier_services_and_ends_the_setup) {
    capture();
    respond(0, {{BLE_UUID_TYPE_BLE, 0x1800, 1, 7},
                {7, 0x1111, 8, 9},
                {BLE_UUID_TYPE_BLE, 0x1801, 10, 11},
                {BLE_UUID_TYPE_UNKNOWN, 0, 12, 20}});
    const std::string out = finish_capture();

    EXPECT_TRUE(has_line(out, "TS: Unknown service type discovered: 0x0007 conn_handle = 5"));
    ASSERT_EQ(1u, phone->services.size());
    EXPECT_EQ(0x1800, phone->services[0].uuid16);
    EXPECT_TRUE(service_requests().empty());
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(service_discovery_test, a_peer_that_repeats_itself_cannot_hold_the_setup) {
    respond(0, {{BLE_UUID_TYPE_BLE, 0x1800, 0x0001, 0x0007}});
    ASSERT_EQ(1u, service_requests().size());
    capture();
    respond(0, {{BLE_UUID_TYPE_BLE, 0x1800, 0x0001, 0x0007}});
    const std::string out = finish_capture();

    EXPECT_EQ(1u, service_requests().size());
    EXPECT_TRUE(contains(out, "Service discovery does not advance past start handle 0x0008"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(service_discovery_test, services_after_the_wrap_end_the_setup) {
    respond(0, {{BLE_UUID_TYPE_UNKNOWN, 0, 0x0001, 0xFFFF}});
    respond(0, {{BLE_UUID_TYPE_UNKNOWN, 0, 0x0001, 0xFFFF}});
    EXPECT_EQ(1u, service_requests().size());
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(service_discovery_test, refused_continuation_ends_the_setup) {
    backend->push_result("gattc_primary_services_discover", BLE_ERROR_INVALID_CONN_HANDLE);
    capture();
    respond(0, {{BLE_UUID_TYPE_BLE, 0x1800, 1, 7}});
    const std::string out = finish_capture();
    EXPECT_TRUE(
        has_line(out, "TS: Failed to continue a GATT Primary Service Discovery procedure. Error " +
                          error_code_name(BLE_ERROR_INVALID_CONN_HANDLE)));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_EQ(1u, phone->services.size());
}

TEST_F(service_discovery_test, responses_that_are_not_for_the_setup_change_nothing) {
    capture();
    wire::event_buffer other = make_prim_srvc_disc_rsp(9, 0, {{BLE_UUID_TYPE_BLE, 0x1800, 1, 7}});
    on_gattc_evt_prim_srvc_disc_rsp(other.gattc());
    test_context.phone_in_setup = nullptr;
    respond(0, {{BLE_UUID_TYPE_BLE, 0x1800, 1, 7}});
    respond(BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND, {});
    const std::string out = finish_capture();

    EXPECT_TRUE(phone->services.empty());
    EXPECT_TRUE(backend->calls().empty());
    EXPECT_EQ(3u, split_lines(out).size());
}

TEST_F(service_discovery_test, end_starts_rssi_reports_only_for_a_connected_phone) {
    capture();
    service_discovery_end();
    EXPECT_EQ(
        "sd_ble_gap_rssi_start succeeded\n"
        "service discovery ended, available for new connection\n",
        finish_capture());
    const auto rssi = backend->calls_named("gap_rssi_start");
    ASSERT_EQ(1u, rssi.size());
    EXPECT_EQ((std::vector<int64_t>{5, 10, 0}), rssi[0].args);
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());

    backend->clear_calls();
    phone->conn_handle = BLE_CONN_HANDLE_INVALID;
    test_context.phone_in_setup = phone;
    capture();
    service_discovery_end();
    service_discovery_end();  // nobody in setup
    EXPECT_EQ(
        "service discovery ended, available for new connection\n"
        "service discovery ended, available for new connection\n",
        finish_capture());
    EXPECT_TRUE(backend->calls_named("gap_rssi_start").empty());
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(service_discovery_test, refused_rssi_start_still_ends_the_setup) {
    backend->push_result("gap_rssi_start", NRF_ERROR_INVALID_STATE);
    capture();
    service_discovery_end();
    const std::string out = finish_capture();
    EXPECT_TRUE(has_line(
        out, "TS: sd_ble_gap_rssi_start failed error " + error_code_name(NRF_ERROR_INVALID_STATE)));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

// A chain that finishes late must not end the set-up another phone has begun since.
TEST_F(service_discovery_test, late_end_leaves_a_newer_setup_alone) {
    phone_record* newer = add_phones({"ffeeddccbbaa99887766554433221100"}).front();
    test_context.phone_in_setup = newer;
    capture();
    service_discovery_end_for(phone);
    EXPECT_EQ("", finish_capture());
    EXPECT_EQ(newer, test_context.phone_in_setup.load());
    EXPECT_TRUE(backend->calls().empty());
}

}  // namespace
}  // namespace testing_support
