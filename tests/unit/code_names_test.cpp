// Names of driver result codes and HCI status codes.
#include "diag/code_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// Every named code between 0 and 0xFFFF.
template <typename Namer>
std::vector<uint32_t> named_codes(Namer namer, const std::string& fallback) {
    std::vector<uint32_t> found;
    for (uint32_t code = 0; code <= 0xFFFF; ++code) {
        if (namer(code).find(fallback) == std::string::npos) found.push_back(code);
    }
    return found;
}

// Checks that `names` are the names of consecutive codes from `first`.
void expect_run(uint32_t first, const std::vector<std::string>& names) {
    char number[8];
    for (size_t i = 0; i < names.size(); ++i) {
        std::snprintf(number, sizeof number, "0x%04x", static_cast<unsigned>(first + i));
        EXPECT_EQ(error_code_name(first + static_cast<uint32_t>(i)),
                  std::string(number) + " " + names[i]);
    }
}

}  // namespace

TEST(CodeNames, ErrorCodesAreNamedWithLowerCaseHexAndUpperCaseNames) {
    EXPECT_EQ(error_code_name(0), "0x0000 NRF_SUCCESS");
    EXPECT_EQ(error_code_name(8), "0x0008 NRF_ERROR_INVALID_STATE");
    EXPECT_EQ(error_code_name(13), "0x000d NRF_ERROR_TIMEOUT");
    EXPECT_EQ(error_code_name(0x8029), "0x8029 NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE");
    EXPECT_EQ(error_code_name(0x803C), "0x803c NRF_ERROR_SD_RPC_SERIAL_PORT");
}

TEST(CodeNames, OnlyTheLow16BitsCount) {
    EXPECT_EQ(error_code_name(0x10008), "0x0008 NRF_ERROR_INVALID_STATE");
    EXPECT_EQ(error_code_name(0xFFFF8001u), "0x8001 NRF_ERROR_SD_RPC_ENCODE");
    EXPECT_EQ(hci_status_name(0x10013), "0x0013 BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION");
    EXPECT_EQ(error_code_name(0x10000), "0x0000 NRF_SUCCESS");
}

TEST(CodeNames, UnknownCodesGiveTheFallbackAfterTheirNumber) {
    EXPECT_EQ(error_code_name(0x1234), "0x1234 (error not decoded yet)");
    // Just outside each named range.
    for (uint32_t code : {0x0014u, 0x3000u, 0x3007u, 0x31FFu, 0x3206u, 0x3301u, 0x3402u, 0x8000u,
                          0x8007u, 0x8013u, 0x8019u, 0x8027u, 0x8033u, 0x803Bu, 0x8041u, 0xFFFFu}) {
        EXPECT_NE(error_code_name(code).find(" (error not decoded yet)"), std::string::npos)
            << std::hex << code;
    }
    EXPECT_EQ(hci_status_name(0x3F), "0x003f (hci status not decoded)");
    EXPECT_EQ(hci_status_name(0x03), "0x0003 (hci status not decoded)");
    EXPECT_EQ(hci_status_name(0x04), "0x0004 (hci status not decoded)");
    EXPECT_EQ(hci_status_name(0xFF), "0x00ff (hci status not decoded)");
}

TEST(CodeNames, ErrorTableHoldsExactlyTheNamedRuns) {
    expect_run(0x0000, {"NRF_SUCCESS",
                        "NRF_ERROR_SVC_HANDLER_MISSING",
                        "NRF_ERROR_SOFTDEVICE_NOT_ENABLED",
                        "NRF_ERROR_INTERNAL",
                        "NRF_ERROR_NO_MEM",
                        "NRF_ERROR_NOT_FOUND",
                        "NRF_ERROR_NOT_SUPPORTED",
                        "NRF_ERROR_INVALID_PARAM",
                        "NRF_ERROR_INVALID_STATE",
                        "NRF_ERROR_INVALID_LENGTH",
                        "NRF_ERROR_INVALID_FLAGS",
                        "NRF_ERROR_INVALID_DATA",
                        "NRF_ERROR_DATA_SIZE",
                        "NRF_ERROR_TIMEOUT",
                        "NRF_ERROR_NULL",
                        "NRF_ERROR_FORBIDDEN",
                        "NRF_ERROR_INVALID_ADDR",
                        "NRF_ERROR_BUSY",
                        "NRF_ERROR_CONN_COUNT",
                        "NRF_ERROR_RESOURCES"});
    expect_run(0x3001, {"BLE_ERROR_NOT_ENABLED", "BLE_ERROR_INVALID_CONN_HANDLE",
                        "BLE_ERROR_INVALID_ATTR_HANDLE", "BLE_ERROR_INVALID_ADV_HANDLE",
                        "BLE_ERROR_INVALID_ROLE", "BLE_ERROR_BLOCKED_BY_OTHER_LINKS"});
    expect_run(
        0x3200,
        {"BLE_ERROR_GAP_UUID_LIST_MISMATCH", "BLE_ERROR_GAP_DISCOVERABLE_WITH_WHITELIST",
         "BLE_ERROR_GAP_INVALID_BLE_ADDR", "BLE_ERROR_GAP_WHITELIST_IN_USE",
         "BLE_ERROR_GAP_DEVICE_IDENTITIES_IN_USE", "BLE_ERROR_GAP_DEVICE_IDENTITIES_DUPLICATE"});
    expect_run(0x3300, {"BLE_ERROR_GATTC_PROC_NOT_PERMITTED"});
    expect_run(0x3400, {"BLE_ERROR_GATTS_INVALID_ATTR_TYPE", "BLE_ERROR_GATTS_SYS_ATTR_MISSING"});
    expect_run(0x8001, {"NRF_ERROR_SD_RPC_ENCODE", "NRF_ERROR_SD_RPC_DECODE",
                        "NRF_ERROR_SD_RPC_SEND", "NRF_ERROR_SD_RPC_INVALID_ARGUMENT",
                        "NRF_ERROR_SD_RPC_NO_RESPONSE", "NRF_ERROR_SD_RPC_INVALID_STATE"});
    expect_run(0x8014, {"NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT",
                        "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE",
                        "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE",
                        "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_OPEN",
                        "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED"});
    expect_run(0x8028, {"NRF_ERROR_SD_RPC_H5_TRANSPORT", "NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_NO_RESPONSE",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_SLIP_PAYLOAD_SIZE",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_SLIP_CALCULATED_PAYLOAD_SIZE",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_SLIP_DECODING",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_HEADER_CHECKSUM",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_PACKET_CHECKSUM",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_ALREADY_OPEN",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_ALREADY_CLOSED",
                        "NRF_ERROR_SD_RPC_H5_TRANSPORT_INTERNAL_ERROR"});
    expect_run(0x803C, {"NRF_ERROR_SD_RPC_SERIAL_PORT", "NRF_ERROR_SD_RPC_SERIAL_PORT_STATE",
                        "NRF_ERROR_SD_RPC_SERIAL_PORT_ALREADY_OPEN",
                        "NRF_ERROR_SD_RPC_SERIAL_PORT_ALREADY_CLOSED",
                        "NRF_ERROR_SD_RPC_SERIAL_PORT_INTERNAL_ERROR"});

    // Nothing else is named: the runs above are the whole table.
    EXPECT_EQ(named_codes(error_code_name, "(error not decoded yet)").size(), 62u);
}

TEST(CodeNames, HciTableNamesExactlyItsTwentyEightCodes) {
    const std::vector<uint32_t> expected = {
        0x00, 0x01, 0x02, 0x05, 0x06, 0x07, 0x08, 0x0C, 0x12, 0x13, 0x14, 0x15, 0x16, 0x1A,
        0x1E, 0x1F, 0x22, 0x23, 0x24, 0x28, 0x29, 0x2A, 0x30, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E};
    EXPECT_EQ(named_codes(hci_status_name, "(hci status not decoded)"), expected);
    EXPECT_EQ(hci_status_name(0x0C), "0x000c BLE_HCI_STATUS_CODE_COMMAND_DISALLOWED");
    EXPECT_EQ(hci_status_name(0x3E), "0x003e BLE_HCI_CONN_FAILED_TO_BE_ESTABLISHED");
    EXPECT_EQ(hci_status_name(0x08), "0x0008 BLE_HCI_CONNECTION_TIMEOUT");
    EXPECT_EQ(hci_status_name(0x16), "0x0016 BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION");
    // Every name is distinct, so no value was entered twice under two names.
    std::set<std::string> names;
    for (uint32_t code : expected) names.insert(hci_status_name(code).substr(7));
    EXPECT_EQ(names.size(), expected.size());
}
