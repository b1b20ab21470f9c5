// The challenge/response exchange: the three writes, their order and the answer time.
#include "gatt/challenge.h"

#include "diag/code_names.h"
#include "tests/unit/gatt_fixture.h"

namespace testing_support {
namespace {

const std::string phone_uuid = "a0a489971097bba1b343eddd8f50f6ac";
const std::string challenge_lower = "7198c97a914a432db8280eea0e2b65fc";
const std::string response_lower = "0b9db0e5c5b34043829444d8112adc54";

class challenge_test : public gatt_fixture {
  protected:
    void SetUp() override {
        gatt_fixture::SetUp();
        platform::set_time_scale(500);
    }

    // A connected phone with 'challenge' at 0x0012 and 'response' at 0x0015 in its own service.
    phone_record* connected_phone(const std::string& uuid = phone_uuid, uint16_t conn_handle = 6) {
        phone_record* phone = add_phones({uuid}).front();
        phone->conn_handle = conn_handle;
        phone->services = {service(BLE_UUID_TYPE_UNKNOWN, 0x0010, 0x0020, uuid)};
        phone->services[0].characteristics = {characteristic(0x0011, 0x0012, challenge_lower),
                                              characteristic(0x0014, 0x0015, response_lower)};
        return phone;
    }

    std::vector<recorded_call> writes() const { return backend->calls_named("gattc_write"); }
};

TEST_F(challenge_test, exchange_is_notify_on_challenge_then_notify_off_after_three_seconds) {
    connected_phone();
    test_context.log_level = 4;
    call_watcher confirm(backend, "gattc_write", [this](size_t n) {
        if (writes()[n - 1].args[1] == BLE_GATT_OP_WRITE_REQ)
            platform::set_event(test_context.write_rsp_event.load());
    });
    capture();
    const uint64_t started = platform::tick_count();
    challenge_response_all();
    const uint64_t took = platform::tick_count() - started;
    const std::string out = finish_capture();

    const auto w = writes();
    ASSERT_EQ(3u, w.size());
    EXPECT_EQ((std::vector<int64_t>{6, BLE_GATT_OP_WRITE_REQ, 0, 0x0016, 0, 2}), w[0].args);
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x00}), w[0].data);
    EXPECT_EQ((std::vector<int64_t>{6, BLE_GATT_OP_WRITE_CMD, 0, 0x0012, 0, 19}), w[1].args);
    EXPECT_EQ(std::vector<uint8_t>(19, 0x00), w[1].data);
    EXPECT_EQ((std::vector<int64_t>{6, BLE_GATT_OP_WRITE_REQ, 0, 0x0016, 0, 2}), w[2].args);
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x00}), w[2].data);
    EXPECT_GE(took, challenge_answer_time_ms);

    EXPECT_TRUE(has_line(out, "authentication service " + phone_uuid +
                                  " 'challenge' characteristic value 0x0012 handle"));
    EXPECT_TRUE(has_line(out, "authentication service " + phone_uuid +
                                  " 'response' characteristic value 0x0015 handle"));
    EXPECT_TRUE(
        contains(out, ": enable notify for " + phone_uuid + " conn 6 response handle 0x0015"));
    EXPECT_TRUE(contains(out, ": success setting challenge for phone " + phone_uuid +
                                  " conn_handle = 6 challenge char 0x0012"));
    EXPECT_TRUE(
        contains(out, ": disable notify for " + phone_uuid + " conn 6 response handle 0x0015"));
}

TEST_F(challenge_test, successful_exchange_is_silent_below_level_4) {
    connected_phone();
    test_context.log_level = 3;
    call_watcher confirm(backend, "gattc_write", [this](size_t n) {
        if (writes()[n - 1].args[1] == BLE_GATT_OP_WRITE_REQ)
            platform::set_event(test_context.write_rsp_event.load());
    });
    capture();
    challenge_response_all();
    EXPECT_EQ("", finish_capture());
    EXPECT_EQ(3u, writes().size());
}

TEST_F(challenge_test, no_connected_phone_means_no_write) {
    add_phones({phone_uuid});
    test_context.log_level = 4;
    capture();
    challenge_response_all();
    EXPECT_EQ("no devices are connected, cannot test challenge/response\n", finish_capture());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(challenge_test, nothing_happens_while_a_phone_is_in_setup) {
    phone_record* phone = connected_phone();
    test_context.phone_in_setup = phone;
    test_context.log_level = 7;
    capture();
    challenge_response_all();
    EXPECT_EQ("", finish_capture());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(challenge_test, phone_lacking_a_characteristic_is_reported_and_left_out) {
    phone_record* without_response = connected_phone();
    without_response->services[0].characteristics.pop_back();
    phone_record* foreign_service = connected_phone("feedfeadfeadfeadfeadfeadfeadfead", 7);
    foreign_service->services[0].uuid128 = phone_uuid;  // not its own UUID
    capture();
    challenge_response_all();
    EXPECT_EQ(
        "phone " + phone_uuid +
            " connection_handle = 6 could not find 'challenge' and 'respnose' characteristics\n"
            "phone feedfeadfeadfeadfeadfeadfeadfead connection_handle = 7 could not find "
            "'challenge' and "
            "'respnose' characteristics\n",
        finish_capture());
    EXPECT_TRUE(writes().empty());
}

TEST_F(challenge_test, refused_switch_ends_the_exchange_before_the_challenge) {
    connected_phone();
    backend->push_result("gattc_write", NRF_ERROR_BUSY);
    capture();
    challenge_response_all();
    const std::string out = finish_capture();
    EXPECT_EQ("TS: ERROR requesting enable for phone " + phone_uuid + " conn_handle = 6, error " +
                  error_code_name(NRF_ERROR_BUSY) + "\n",
              out);
    EXPECT_EQ(1u, writes().size());
}

TEST_F(challenge_test, refused_challenge_leaves_notification_on) {
    connected_phone();
    backend->push_result("gattc_write", NRF_SUCCESS);
    backend->push_result("gattc_write", NRF_ERROR_RESOURCES);
    call_watcher confirm(backend, "gattc_write", [](size_t n) {
        if (n == 1) platform::set_event(test_context.write_rsp_event.load());
    });
    capture();
    challenge_response_all();
    const std::string out = finish_capture();
    EXPECT_EQ("TS: ERROR setting challenge for phone " + phone_uuid + " conn_handle = 6, error " +
                  error_code_name(NRF_ERROR_RESOURCES) + "\n",
              out);
    EXPECT_EQ(2u, writes().size());
}

TEST_F(challenge_test, switch_is_skipped_while_another_request_waits) {
    phone_record* phone = connected_phone();
    test_context.pending_gattc_event = test_context.read_rsp_event.load();
    capture();
    EXPECT_FALSE(set_response_notification(phone_uuid, *phone, 0x0015, true));
    EXPECT_EQ(
        "TS: WARNING skip sd_ble_gattc_write when there is already a GATTC operation in progress - "
        "this "
        "should not happen\n",
        finish_capture());
    EXPECT_TRUE(writes().empty());
}

TEST_F(challenge_test, switch_for_a_disconnected_phone_does_nothing) {
    phone_record* phone = connected_phone();
    phone->conn_handle = BLE_CONN_HANDLE_INVALID;
    capture();
    EXPECT_FALSE(set_response_notification(phone_uuid, *phone, 0x0015, true));
    EXPECT_EQ("", finish_capture());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(challenge_test, phones_take_their_turn_in_registry_order) {
    connected_phone("feedfeadfeadfeadfeadfeadfeadfead", 7);
    connected_phone(phone_uuid, 6);
    call_watcher confirm(backend, "gattc_write", [this](size_t n) {
        if (writes()[n - 1].args[1] == BLE_GATT_OP_WRITE_REQ)
            platform::set_event(test_context.write_rsp_event.load());
    });
    challenge_response_all();
    const auto w = writes();
    ASSERT_EQ(6u, w.size());
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(6, w[i].args[0]);
    for (size_t i = 3; i < 6; ++i) EXPECT_EQ(7, w[i].args[0]);
}

// The clock runs at a fifth of real speed here: the answer time and the switch's wait last
// far longer than the test waits, so only the quit can end them this soon.
class challenge_quit_test : public challenge_test {
  protected:
    // Runs the exchange; true when it returned within a short real time.
    bool exchange_returns_soon() {
        platform::set_time_scale(0.2);
        const auto started = std::chrono::steady_clock::now();
        challenge_response_all();
        return std::chrono::steady_clock::now() - started < std::chrono::seconds(5);
    }
};

TEST_F(challenge_quit_test, QuitDuringTheAnswerTimeEndsItWithoutSwitchingNotificationOff) {
    connected_phone();
    test_context.log_level = 4;
    call_watcher phone_side(backend, "gattc_write", [this](size_t n) {
        if (writes()[n - 1].args[1] == BLE_GATT_OP_WRITE_REQ) {
            platform::set_event(test_context.write_rsp_event.load());
        } else {
            raise_quit();  // typed while the phone has its time to answer
        }
    });
    capture();
    EXPECT_TRUE(exchange_returns_soon());
    const std::string out = finish_capture();
    ASSERT_EQ(2u, writes().size());
    EXPECT_EQ(BLE_GATT_OP_WRITE_CMD, writes()[1].args[1]);
    EXPECT_FALSE(contains(out, "disable notify")) << out;
}

}  // namespace
}  // namespace testing_support
