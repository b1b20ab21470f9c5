// The driver's dispatch: a port reaches the factory registered under the longest prefix
// of its name, and a port that no factory claims reaches the backend that explains it is
// not served, since the dispatch itself knows no backend.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver/backend.h"
#include "tests/support/scripted_backend.h"

namespace {

using testing_support::scripted_backend;

adapter_t* adapter_on(const std::string& port) {
    physical_layer_t* phy = sd_rpc_physical_layer_create_uart(
        port.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE, SD_RPC_PARITY_NONE);
    return sd_rpc_adapter_create(
        sd_rpc_transport_layer_create(sd_rpc_data_link_layer_create_bt_three_wire(phy, 250), 1500));
}

// A factory whose backends answer every scan stop with `marker`, so that a test can tell
// which factory made an adapter's backend, and which records the port it was given.
driver::backend_factory marking_factory(uint32_t marker, std::string* port_seen) {
    return [marker, port_seen](const driver::link_settings& settings) {
        *port_seen = settings.port;
        auto made = std::make_unique<scripted_backend>();
        made->set_default_result("gap_scan_stop", marker);
        return std::unique_ptr<driver::backend>(std::move(made));
    };
}

TEST(BackendDispatch, TheLongestRegisteredPrefixOfThePortWins) {
    std::string short_port;
    std::string long_port;
    driver::register_backend("dispatch-test", marking_factory(0x71, &short_port));
    driver::register_backend("dispatch-test:long", marking_factory(0x72, &long_port));

    EXPECT_EQ(sd_ble_gap_scan_stop(adapter_on("dispatch-test:long:file.json")), 0x72u);
    EXPECT_EQ(long_port, "dispatch-test:long:file.json");
    EXPECT_EQ(sd_ble_gap_scan_stop(adapter_on("dispatch-test:other")), 0x71u);
    EXPECT_EQ(short_port, "dispatch-test:other");

    // Without its factory, the longer prefix falls back to the shorter one.
    driver::unregister_backend("dispatch-test:long");
    EXPECT_EQ(sd_ble_gap_scan_stop(adapter_on("dispatch-test:long:file.json")), 0x71u);
    driver::unregister_backend("dispatch-test");
}

TEST(BackendDispatch, APortNoFactoryClaimsIsRefusedAtOpenWithOneLogLine) {
    adapter_t* adapter = adapter_on("dispatch-test-unclaimed");
    static std::string logged;
    logged.clear();
    EXPECT_EQ(sd_rpc_open(adapter, nullptr, nullptr,
                          [](adapter_t*, sd_rpc_log_severity_t, const char* text) {
                              logged += text;
                              logged += '\n';
                          }),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIAL_PORT));
    EXPECT_EQ(logged.find("serial port dispatch-test-unclaimed: "), 0u) << logged;
    EXPECT_EQ(logged.find('\n'), logged.size() - 1) << logged;
    EXPECT_EQ(sd_ble_enable(adapter, nullptr),
              static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE));
}

}  // namespace
