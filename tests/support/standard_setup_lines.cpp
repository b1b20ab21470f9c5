#include "tests/support/standard_setup_lines.h"

namespace testing_support {

std::vector<std::string> standard_profile_setup_lines(const std::string& uuid) {
    return {
        "Discovering primary services conn_handle = 0",
        "sd_ble_gattc_primary_services_discover success for start_handle = 0x0001",
        "service type 16-bit, UUID = 0x1800, handle_range start = 0x0001 end = 0x0005 conn_handle "
        "= 0",
        "service type 16-bit, UUID = 0x1801, handle_range start = 0x0006 end = 0x0009 conn_handle "
        "= 0",
        "sd_ble_gattc_primary_services_discover success for handle 0x000A",
        "service type 128-bit UUID: handle_range start = 0x000A end = 0x0011 conn_handle = 0",
        "sd_ble_gattc_primary_services_discover success for handle 0x0012",
        "finished finding services, conn_handle = 0",
        "Discovering characteristics conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0001",
        "Service 0x0001 Characteristic desc 0x0002, value 0x0003 UUID type 1, short UUID: 0x2A00, "
        "conn_handle = 0",
        "Service 0x0001 Characteristic desc 0x0004, value 0x0005 UUID type 1, short UUID: 0x2A01, "
        "conn_handle = 0",
        "Service 0x0006 Characteristic desc 0x0007, value 0x0008 UUID type 1, short UUID: 0x2A05, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0008",
        "Service 0x000A Characteristic desc 0x000B, value 0x000C UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x000C",
        "Service 0x000A Characteristic desc 0x000D, value 0x000E UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x000E",
        "Service 0x000A Characteristic desc 0x000F, value 0x0010 UUID type 0, short UUID: 0x0000, "
        "conn_handle = 0",
        "sd_ble_gattc_characteristics_discover success for start_handle 0x0010",
        "Characteristic discovery done conn_handle = 0",
        "sd_ble_gattc_read success to find 128-bit UUID of service 0x000A, conn_handle = 0",
        "found service 0x000A UUID = " + uuid,
        "sd_ble_gattc_read started for characteristic description handle 0x0002, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0002 #bytes = 5 offset "
        "= 0 data = 02 03 00 00 2a ",
        "sd_ble_gattc_read started for characteristic description handle 0x0004, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0004 #bytes = 5 offset "
        "= 0 data = 02 05 00 01 2a ",
        "sd_ble_gattc_read started for characteristic description handle 0x0007, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x0007 #bytes = 5 offset "
        "= 0 data = 20 08 00 05 2a ",
        "sd_ble_gattc_read started for characteristic description handle 0x000B, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x000B #bytes = 19 "
        "offset = 0 data = 02 0c 00 79 0c 42 7b 99 30 55 a2 e0 4c 0f 5b 60 29 86 57 ",
        "FOUND characteristic handle 0x000C UUID = 578629605b0f4ce0a25530997b420c79",
        "sd_ble_gattc_read started for characteristic description handle 0x000D, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x000D #bytes = 19 "
        "offset = 0 data = 04 0e 00 fc 65 2b 0e ea 0e 28 b8 2d 43 4a 91 7a c9 98 71 ",
        "FOUND characteristic handle 0x000E UUID = 7198c97a914a432db8280eea0e2b65fc",
        "sd_ble_gattc_read started for characteristic description handle 0x000F, conn_handle = 0",
        "MATCHED on_gattc_evt_read_response conn_handle = 0 read handle = 0x000F #bytes = 19 "
        "offset = 0 data = 10 10 00 54 dc 2a 11 d8 44 94 82 43 40 b3 c5 e5 b0 9d 0b ",
        "FOUND characteristic handle 0x0010 UUID = 0b9db0e5c5b34043829444d8112adc54",
        "entirely done getting metadata from phone",
        "sd_ble_gap_rssi_start succeeded",
    };
}

}  // namespace testing_support
