// What the stack answers to each call, before any radio work: the refusals a real stack
// gives for wrong states, handles and parameters.
#include <gtest/gtest.h>

#include "tests/sim/sim_session.h"

namespace {

using sim_testing::session;

constexpr uint32_t ok = NRF_SUCCESS;

class SimStack : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(s.open(), ok); }
    session s{sim_testing::one_phone_world()};
};

TEST_F(SimStack, EnablesOnceAndKeepsItsConfigurationFixedAfterwards) {
    EXPECT_EQ(s.start_scan(), static_cast<uint32_t>(BLE_ERROR_NOT_ENABLED));
    ble_cfg_t cfg{};
    cfg.gap_cfg.role_count_cfg.adv_set_count = 2;  // one set is all it has
    EXPECT_EQ(sd_ble_cfg_set(s.adapter(), BLE_GAP_CFG_ROLE_COUNT, &cfg, 0),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    cfg = ble_cfg_t{};
    cfg.conn_cfg.params.gatt_conn_cfg.att_mtu = 22;
    EXPECT_EQ(sd_ble_cfg_set(s.adapter(), BLE_CONN_CFG_GATT, &cfg, 0),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    EXPECT_EQ(sd_ble_cfg_set(s.adapter(), 0x99, &cfg, 0),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));

    ASSERT_EQ(s.enable(), ok);
    EXPECT_EQ(sd_ble_enable(s.adapter(), nullptr), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    cfg = ble_cfg_t{};
    cfg.gap_cfg.role_count_cfg.central_role_count = 1;
    EXPECT_EQ(sd_ble_cfg_set(s.adapter(), BLE_GAP_CFG_ROLE_COUNT, &cfg, 0),
              static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
}

TEST_F(SimStack, RefusesScanParametersARealStackRefuses) {
    ASSERT_EQ(s.enable(), ok);
    EXPECT_EQ(s.start_scan(160, 161),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));  // window > interval
    EXPECT_EQ(s.start_scan(3, 3), static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    ble_gap_scan_params_t extended = sim_testing::scan_params();
    extended.extended = 1;
    EXPECT_EQ(sd_ble_gap_scan_start(s.adapter(), &extended, &s.report_descriptor),
              static_cast<uint32_t>(NRF_ERROR_NOT_SUPPORTED));
    const ble_gap_scan_params_t p = sim_testing::scan_params();
    ble_data_t small{s.report_buffer, 20};
    EXPECT_EQ(sd_ble_gap_scan_start(s.adapter(), &p, &small),
              static_cast<uint32_t>(NRF_ERROR_INVALID_LENGTH));
    EXPECT_EQ(sd_ble_gap_scan_start(s.adapter(), &p, nullptr),
              static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));

    EXPECT_EQ(s.resume_scan(),
              static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));  // nothing to resume
    EXPECT_EQ(sd_ble_gap_scan_stop(s.adapter()), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    EXPECT_EQ(s.start_scan(), ok);
    EXPECT_EQ(s.start_scan(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));  // already scanning
    EXPECT_EQ(sd_ble_gap_scan_stop(s.adapter()), ok);
    EXPECT_EQ(s.start_scan(96, 48), ok);
}

TEST_F(SimStack, RefusesScanTimingAboveItsLongestInterval) {
    ASSERT_EQ(s.enable(), ok);
    const uint32_t invalid_param = NRF_ERROR_INVALID_PARAM;
    EXPECT_EQ(s.start_scan(16385, 16), invalid_param);
    EXPECT_EQ(s.start_scan(16385, 16385), invalid_param);
    const ble_gap_addr_t peer = sim_testing::address(sim_testing::phone_address);
    const ble_gap_scan_params_t too_long = sim_testing::scan_params(16385, 16);
    const ble_gap_conn_params_t conn{6, 6, 0, 400};
    EXPECT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &too_long, &conn, 1), invalid_param);
    EXPECT_EQ(s.start_scan(16384, 16384), ok);
}

TEST_F(SimStack, AdvertisingSetFollowsItsStates) {
    ASSERT_EQ(s.enable(), ok);
    uint8_t data[31] = {0x02, 0x01, 0x06, 0x1A, 0xFF};
    for (int i = 5; i < 30; ++i) data[i] = static_cast<uint8_t>(i);
    data[3] = 26;
    ble_gap_adv_data_t adv{{data, 30}, {nullptr, 0}};
    ble_gap_adv_params_t params{};
    params.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
    params.interval = 160;

    EXPECT_EQ(sd_ble_gap_adv_stop(s.adapter(), BLE_GAP_ADV_SET_HANDLE_NOT_SET),
              static_cast<uint32_t>(BLE_ERROR_INVALID_ADV_HANDLE));
    uint8_t handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
    uint8_t too_long[32] = {0x1F, 0xFF};
    ble_gap_adv_data_t long_data{{too_long, 32}, {nullptr, 0}};
    EXPECT_EQ(sd_ble_gap_adv_set_configure(s.adapter(), &handle, &long_data, &params),
              static_cast<uint32_t>(NRF_ERROR_INVALID_LENGTH));
    EXPECT_EQ(handle, BLE_GAP_ADV_SET_HANDLE_NOT_SET);
    ASSERT_EQ(sd_ble_gap_adv_set_configure(s.adapter(), &handle, &adv, &params), ok);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(sd_ble_gap_adv_stop(s.adapter(), handle),
              static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    EXPECT_EQ(sd_ble_gap_adv_start(s.adapter(), handle, 1), ok);
    EXPECT_EQ(sd_ble_gap_adv_start(s.adapter(), handle, 1),
              static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    EXPECT_EQ(sd_ble_gap_adv_set_configure(s.adapter(), &handle, &adv, &params),
              static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    EXPECT_EQ(sd_ble_gap_adv_set_configure(s.adapter(), &handle, &adv, nullptr), ok);  // data only
    uint8_t another = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
    EXPECT_EQ(sd_ble_gap_adv_set_configure(s.adapter(), &another, &adv, &params),
              static_cast<uint32_t>(NRF_ERROR_NO_MEM));
    EXPECT_EQ(sd_ble_gap_adv_stop(s.adapter(), handle), ok);
    // The stack never writes into the program's advertising data.
    EXPECT_EQ(data[0], 0x02);
    EXPECT_EQ(data[3], 0x1A);
}

TEST_F(SimStack, RefusesUnknownHandlesAndWrongStates) {
    ASSERT_EQ(s.enable(), ok);
    const uint32_t invalid_handle = BLE_ERROR_INVALID_CONN_HANDLE;
    EXPECT_EQ(sd_ble_gap_disconnect(s.adapter(), 0, 0x13), invalid_handle);
    EXPECT_EQ(sd_ble_gattc_read(s.adapter(), 0xFFFF, 0x0C, 0), invalid_handle);
    EXPECT_EQ(sd_ble_gap_rssi_start(s.adapter(), 2, 10, 0), invalid_handle);
    EXPECT_EQ(sd_ble_gattc_primary_services_discover(s.adapter(), 4, 1, nullptr), invalid_handle);
    const ble_gap_conn_params_t params{6, 6, 0, 400};
    EXPECT_EQ(sd_ble_gap_conn_param_update(s.adapter(), 1, &params), invalid_handle);

    EXPECT_EQ(sd_ble_gap_connect_cancel(s.adapter()),
              static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    const ble_gap_addr_t peer = sim_testing::address(sim_testing::phone_address);
    const ble_gap_scan_params_t scan = sim_testing::scan_params();
    const ble_gap_conn_params_t too_short{6, 40, 0, 10};  // time-out below 2 * interval
    EXPECT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &scan, &too_short, 1),
              static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
    EXPECT_EQ(sd_ble_gap_connect(s.adapter(), &peer, &scan, &params, 9),
              static_cast<uint32_t>(NRF_ERROR_NOT_FOUND));
    ble_gap_addr_t not_static = peer;
    not_static.addr[5] = 0x11;
    EXPECT_EQ(sd_ble_gap_connect(s.adapter(), &not_static, &scan, &params, 1),
              static_cast<uint32_t>(BLE_ERROR_GAP_INVALID_BLE_ADDR));
    // Nobody answers at this address, so the attempt stays under way.
    const ble_gap_addr_t nobody = sim_testing::address("C0:AB:CD:EF:01:23");
    EXPECT_EQ(s.connect(nobody), ok);
    EXPECT_EQ(s.connect(peer), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
    EXPECT_EQ(s.start_scan(),
              static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));  // the radio is initiating
    EXPECT_EQ(sd_ble_gap_connect_cancel(s.adapter()), ok);
    EXPECT_EQ(s.start_scan(), ok);
}

TEST_F(SimStack, AClosedAdapterRefusesEverything) {
    EXPECT_EQ(s.open(),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_OPEN));
    ASSERT_EQ(s.close(), ok);
    EXPECT_EQ(sd_rpc_close(s.adapter()),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED));
    EXPECT_EQ(sd_ble_enable(s.adapter(), nullptr),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE));
    // Opened again, it is a fresh dongle.
    ASSERT_EQ(s.open(), ok);
    EXPECT_EQ(s.enable(), ok);
}

}  // namespace
