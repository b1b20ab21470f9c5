// The set-up's search for the 'response' CCCD after the UUID reads: the usual layout keeps
// its road, another layout is searched, and what was found (or not) steers the challenge.
#include "gatt/cccd_search.h"
#include "gatt/challenge.h"
#include "gatt/characteristic_discovery.h"
#include "gatt/uuid_reads.h"
#include "tests/unit/gatt_fixture.h"

namespace testing_support {
namespace {

const std::string phone_uuid = "a0a489971097bba1b343eddd8f50f6ac";
const std::string challenge_lower = "7198c97a914a432db8280eea0e2b65fc";
const std::string response_lower = "0b9db0e5c5b34043829444d8112adc54";
constexpr uint16_t conn = 4;
constexpr uint16_t user_description = 0x2901;
constexpr uint16_t cccd = 0x2902;

class cccd_search_test : public gatt_fixture {
  protected:
    void SetUp() override {
        gatt_fixture::SetUp();
        phone = phone_in_setup(phone_uuid, conn);
    }

    // The phone's own service 0x0010..`service_end`, read to the end: 'challenge' at
    // 0x0011/0x0012, 'response' at 0x0013/0x0014, and a last characteristic declared at
    // `next_decl` when it is not 0.
    void database(uint16_t service_end, uint16_t next_decl = 0) {
        phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0010, service_end, phone_uuid)};
        auto& chars = phone->services[0].characteristics;
        chars = {characteristic(0x0011, 0x0012, challenge_lower, true),
                 characteristic(0x0013, 0x0014, response_lower, true)};
        if (next_decl != 0) {
            chars.push_back(characteristic(next_decl, next_decl + 1, "", true));
        }
    }

    const gatt_characteristic& response() const { return phone->services[0].characteristics[1]; }

    std::vector<recorded_call> searches() const {
        return backend->calls_named("gattc_descriptors_discover");
    }

    void answer(uint16_t status, const std::vector<descriptor_entry>& descs, uint16_t from = conn) {
        wire::event_buffer rsp = make_desc_disc_rsp(from, status, descs);
        on_gattc_evt_desc_disc_rsp(rsp.gattc());
    }

    phone_record* phone = nullptr;
};

TEST_F(cccd_search_test, the_usual_layout_ends_the_setup_without_a_search) {
    database(0x0015);
    capture();
    characteristic_metadata_discovery_start();
    const std::string out = finish_capture();
    EXPECT_TRUE(searches().empty());
    EXPECT_EQ(out,
              "entirely done getting metadata from phone\n"
              "sd_ble_gap_rssi_start succeeded\n"
              "service discovery ended, available for new connection\n");
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    EXPECT_EQ(0, response().cccd_handle);
    EXPECT_FALSE(response().cccd_missing);
}

TEST_F(cccd_search_test, a_descriptor_before_the_cccd_is_searched_up_to_the_next_declaration) {
    database(0x0020, 0x0017);
    capture();
    characteristic_metadata_discovery_start();
    ASSERT_EQ(1u, searches().size());
    EXPECT_EQ((std::vector<int64_t>{conn, 0x0015, 0x0016}), searches()[0].args);
    EXPECT_EQ(phone, test_context.phone_in_setup.load());

    answer(0, {{0x0015, user_description}, {0x0016, cccd}});
    const std::string out = finish_capture();
    EXPECT_EQ(0x0016, response().cccd_handle);
    EXPECT_FALSE(response().cccd_missing);
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
    // The descriptor lines print as they always did, before the search's own.
    EXPECT_TRUE(contains(out,
                         "Descriptor handle: 0x0015, UUID: 0x2901\n"
                         "Descriptor handle: 0x0016, UUID: 0x2902\n"
                         "Press enter to toggle notifications on the HRM characteristic\n"
                         "'response' characteristic value 0x0014 has its Client Characteristic "
                         "Configuration descriptor at handle 0x0016, conn_handle = 4\n"));
    EXPECT_TRUE(has_line(out, "service discovery ended, available for new connection"));
}

TEST_F(cccd_search_test, an_answer_without_the_cccd_asks_again_from_past_its_last_handle) {
    database(0x0020);
    characteristic_metadata_discovery_start();
    answer(0, {{0x0015, user_description}, {0x0016, 0x2904}});
    ASSERT_EQ(2u, searches().size());
    EXPECT_EQ((std::vector<int64_t>{conn, 0x0017, 0x0020}), searches()[1].args);
    answer(0, {{0x0018, cccd}});
    EXPECT_EQ(0x0018, response().cccd_handle);
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(cccd_search_test, no_cccd_in_the_range_marks_the_response_unnotifiable) {
    database(0x0016, 0);
    characteristic_metadata_discovery_start();
    capture();
    // The whole range answered without a CCCD: nothing is left to ask.
    answer(0, {{0x0015, user_description}, {0x0016, 0x2904}});
    const std::string out = finish_capture();
    EXPECT_EQ(1u, searches().size());
    EXPECT_TRUE(response().cccd_missing);
    EXPECT_TRUE(has_line(out, "TS: phone " + phone_uuid +
                                  " conn_handle = 4 has no Client Characteristic Configuration "
                                  "descriptor for its 'response' characteristic value 0x0014, it "
                                  "cannot be notified"));
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(cccd_search_test, an_error_status_or_a_refused_call_leaves_the_cccd_unknown) {
    database(0x0020);
    characteristic_metadata_discovery_start();
    answer(BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND, {});
    EXPECT_TRUE(response().cccd_missing);
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());

    phone->services.clear();
    test_context.phone_in_setup = phone;
    database(0x0020);
    backend->push_result("gattc_descriptors_discover", NRF_ERROR_BUSY);
    capture();
    characteristic_metadata_discovery_start();
    const std::string out = finish_capture();
    EXPECT_TRUE(has_line(out,
                         "TS: sd_ble_gattc_descriptors_discover error 0x0011 NRF_ERROR_BUSY, "
                         "conn_handle = 4 start_handle = 21"));
    EXPECT_TRUE(response().cccd_missing);
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(cccd_search_test, a_last_characteristic_is_searched_to_its_services_end_if_it_has_room) {
    database(0xFFFF);
    characteristic_metadata_discovery_start();
    ASSERT_EQ(1u, searches().size());
    EXPECT_EQ((std::vector<int64_t>{conn, 0x0015, 0xFFFF}), searches()[0].args);

    // A value at the end of its service leaves no handle for a CCCD.
    backend->clear_calls();
    test_context.phone_in_setup = phone;
    discovery_chain::reset();
    database(0x0014);
    characteristic_metadata_discovery_start();
    EXPECT_TRUE(searches().empty());
    EXPECT_TRUE(response().cccd_missing);
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(cccd_search_test, a_phone_that_repeats_itself_does_not_hold_the_setup) {
    database(0x0020);
    characteristic_metadata_discovery_start();
    // Handles before the range asked for do not move the search on, nor count as its CCCD.
    answer(0, {{0x0012, cccd}});
    EXPECT_EQ(1u, searches().size());
    EXPECT_TRUE(response().cccd_missing);
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());
}

TEST_F(cccd_search_test,
       a_disconnection_during_the_search_ends_the_setup_and_its_answer_is_ignored) {
    database(0x0020);
    characteristic_metadata_discovery_start();
    ASSERT_EQ(1u, searches().size());
    // Another link's answer is not the search's.
    answer(0, {{0x0016, cccd}}, conn + 1);
    EXPECT_EQ(0, response().cccd_handle);
    EXPECT_EQ(phone, test_context.phone_in_setup.load());
    // What the disconnection handling does with a phone in setup.
    phone->conn_handle = BLE_CONN_HANDLE_INVALID;
    phone->services.clear();
    service_discovery_end();
    EXPECT_EQ(nullptr, test_context.phone_in_setup.load());

    // The same phone back on the same handle, being set up afresh.
    phone->conn_handle = conn;
    test_context.phone_in_setup = phone;
    discovery_chain::reset();
    answer(0, {{0x0016, cccd}});
    EXPECT_EQ(phone, test_context.phone_in_setup.load());
    EXPECT_EQ(1u, searches().size());
}

class cccd_challenge_test : public gatt_fixture {
  protected:
    void SetUp() override {
        gatt_fixture::SetUp();
        platform::set_time_scale(500);
        phone = add_phones({phone_uuid}).front();
        phone->conn_handle = conn;
        phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0010, 0x0020, phone_uuid)};
        phone->services[0].characteristics = {characteristic(0x0011, 0x0012, challenge_lower),
                                              characteristic(0x0013, 0x0014, response_lower)};
    }

    gatt_characteristic& response() { return phone->services[0].characteristics[1]; }
    std::vector<recorded_call> writes() const { return backend->calls_named("gattc_write"); }

    phone_record* phone = nullptr;
};

TEST_F(cccd_challenge_test, the_switch_goes_to_the_cccd_the_setup_found) {
    response().cccd_handle = 0x0016;
    test_context.log_level = 4;
    call_watcher confirm(backend, "gattc_write", [this](size_t n) {
        if (writes()[n - 1].args[1] == BLE_GATT_OP_WRITE_REQ)
            platform::set_event(test_context.write_rsp_event.load());
    });
    capture();
    challenge_response_all();
    const std::string out = finish_capture();
    const auto w = writes();
    ASSERT_EQ(3u, w.size());
    EXPECT_EQ(0x0016, w[0].args[3]);
    EXPECT_EQ(0x0012, w[1].args[3]);
    EXPECT_EQ(0x0016, w[2].args[3]);
    // The issued line names the value handle, as it always has.
    EXPECT_TRUE(
        contains(out, "enable notify for " + phone_uuid + " conn 4 response handle 0x0014"));
}

TEST_F(cccd_challenge_test, a_response_without_a_cccd_leaves_the_phone_out) {
    response().cccd_missing = true;
    capture();
    challenge_response_all();
    const std::string out = finish_capture();
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(out,
              "phone " + phone_uuid +
                  " connection_handle = 4 has no Client Characteristic Configuration descriptor "
                  "for its 'response' characteristic, left out of the challenge\n");
}

}  // namespace
}  // namespace testing_support
