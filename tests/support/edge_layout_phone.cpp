#include "tests/support/edge_layout_phone.h"

#include "tests/support/e2e_scenario.h"

namespace testing_support {

std::string edge_layout_phone(const std::string& name, const std::string& uuid) {
    // Handles: Generic Access 0x0001-0x0003; the phone's own service 0x0004-0x000C with
    // 'feature' 0x0005/0x0006, 'challenge' 0x0007/0x0008, 'response' 0x0009/0x000A, its User
    // Description 0x000B and CCCD 0x000C; Battery 0x000D-0xFFFF with its level 0x000E/0x000F.
    return R"({ "name": ")" + name + R"(", "uuid": ")" + uuid + R"(", "adv_interval_ms": 50,
      "gatt": { "services": [
        { "uuid": "1800", "characteristics": [ { "uuid": "2A00", "value": "41" } ] },
        { "uuid": "phone", "characteristics": [
          { "uuid": "feature", "value": "01" },
          { "uuid": "challenge", "properties": ["write_without_response"] },
          { "uuid": "response", "properties": ["notify"],
            "descriptors": [ { "uuid": "2901", "value": "52" }, { "uuid": "2902" } ] } ] },
        { "uuid": "180F", "end": "0xFFFF",
          "characteristics": [ { "uuid": "2A19", "value": "64" } ] } ] } })";
}

std::vector<std::string> edge_layout_setup_lines(const std::string& uuid) {
    return {
        "Discovering primary services conn_handle = 0",
        "sd_ble_gattc_primary_services_discover success for start_handle = 0x0001",
        "service type 16-bit, UUID = 0x1800, handle_range start = 0x0001 end = 0x0003 conn_handle "
        "= 0",
        "sd_ble_gattc_primary_services_discover success for handle 0x0004",
        "service type 128-bit UUID: handle_range start = 0x0004 end = 0x000C conn_handle = 0",
        "sd_ble_gattc_primary_services_discover success for handle 0x000D",
        "service type 16-bit, UUID = 0x180F, handle_range start = 0x000D end = 0xFFFF conn_handle "
        "= 0",
        // The continuation from handle 0, answered Invalid Handle: the services are complete.
        "sd_ble_gattc_primary_services_discover success for handle 0x10000",
        "finished finding services, conn_handle = 0",
        "Discovering characteristics conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0001",
        "Service 0x0001 Characteristic desc 0x0002, value 0x0003 UUID type 1, short UUID: 0x2A00, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0003",
        "Service 0x0004 Characteristic desc 0x0005, value 0x0006 UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0006",
        "Service 0x0004 Characteristic desc 0x0007, value 0x0008 UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0008",
        "Service 0x0004 Characteristic desc 0x0009, value 0x000A UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x000A",
        "Service 0x000D Characteristic desc 0x000E, value 0x000F UUID type 1, short UUID: 0x2A19, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x000F",
        "Characteristic discovery done conn_handle = 0",
        "sd_ble_gattc_read success to find 128-bit UUID of service 0x0004, conn_handle = 0",
        "found service 0x0004 UUID = " + uuid,
        "sd_ble_gattc_read started for characteristic description handle 0x0002, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0002 #bytes = 5 offset "
        "= 0 data = 02 03 00 00 2a ",
        "sd_ble_gattc_read started for characteristic description handle 0x0005, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0005 #bytes = 19 "
        "offset = 0 data = 02 06 00 79 0c 42 7b 99 30 55 a2 e0 4c 0f 5b 60 29 86 57 ",
        "FOUND characteristic handle 0x0006 UUID = 578629605b0f4ce0a25530997b420c79",
        "sd_ble_gattc_read started for characteristic description handle 0x0007, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0007 #bytes = 19 "
        "offset = 0 data = 04 08 00 fc 65 2b 0e ea 0e 28 b8 2d 43 4a 91 7a c9 98 71 ",
        "FOUND characteristic handle 0x0008 UUID = 7198c97a914a432db8280eea0e2b65fc",
        "sd_ble_gattc_read started for characteristic description handle 0x0009, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0009 #bytes = 19 "
        "offset = 0 data = 10 0a 00 54 dc 2a 11 d8 44 94 82 43 40 b3 c5 e5 b0 9d 0b ",
        "FOUND characteristic handle 0x000A UUID = 0b9db0e5c5b34043829444d8112adc54",
        "sd_ble_gattc_read started for characteristic description handle 0x000E, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x000E #bytes = 5 offset "
        "= 0 data = 02 0f 00 19 2a ",
        "entirely done getting metadata from phone",
        // Two handles after 'response': its descriptors are asked for.
        "Discovering descriptors of 'response' characteristic value 0x000A in handles 0x000B to "
        "0x000C, conn_handle = 0",
        "sd_ble_gattc_descriptors_discover success for start_handle 0x000B",
        "Descriptor handle: 0x000B, UUID: 0x2901",
        "Descriptor handle: 0x000C, UUID: 0x2902",
        "Press enter to toggle notifications on the HRM characteristic",
        "'response' characteristic value 0x000A has its Client Characteristic Configuration "
        "descriptor at handle 0x000C, conn_handle = 0",
        "sd_ble_gap_rssi_start succeeded",
        "service discovery ended, available for new connection",
    };
}

::testing::AssertionResult edge_layout_set_up(const std::vector<std::string>& lines,
                                              const std::string& uuid) {
    constexpr size_t npos = std::string::npos;
    std::vector<std::string> got;
    const size_t begin = line_index(lines, "Discovering primary services conn_handle = 0");
    const size_t end = begin == npos ? npos
                                     : line_index(lines,
                                                  "service discovery ended, available for new "
                                                  "connection",
                                                  begin);
    for (size_t i = begin; end != npos && i <= end; ++i) {
        if (lines[i].rfind("TS: ", 0) != 0) got.push_back(lines[i]);
    }
    const std::vector<std::string> expected = edge_layout_setup_lines(uuid);
    auto part = [](const std::vector<std::string>& all, bool calls) {
        std::vector<std::string> out;
        for (const std::string& line : all) {
            if ((line.rfind("sd_ble_gattc_", 0) == 0) == calls) out.push_back(line);
        }
        return out;
    };
    for (const bool calls : {true, false}) {
        if (part(got, calls) != part(expected, calls)) {
            ::testing::AssertionResult failure = ::testing::AssertionFailure();
            failure << (calls ? "the calls' lines" : "the events' lines") << " differ; got:\n";
            for (const std::string& line : got) failure << "  " << line << "\n";
            return failure;
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testing_support
