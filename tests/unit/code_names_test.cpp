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
    // The first and last code of every run of consecutive codes.
    const std::vector<std::pair<uint32_t, std::string>> bounds = {
        {0x0000, "NRF_SUCCESS"},
        {0x0013, "NRF_ERROR_RESOURCES"},
        {0x3001, "BLE_ERROR_NOT_ENABLED"},
        {0x3006, "BLE_ERROR_BLOCKED_BY_OTHER_LINKS"},
        {0x3200, "BLE_ERROR_GAP_UUID_LIST_MISMATCH"},
        {0x3205, "BLE_ERROR_GAP_DEVICE_IDENTITIES_DUPLICATE"},
        {0x3300, "BLE_ERROR_GATTC_PROC_NOT_PERMITTED"},
        {0x3400, "BLE_ERROR_GATTS_INVALID_ATTR_TYPE"},
        {0x3401, "BLE_ERROR_GATTS_SYS_ATTR_MISSING"},
        {0x8001, "NRF_ERROR_SD_RPC_ENCODE"},
        {0x8006, "NRF_ERROR_SD_RPC_INVALID_STATE"},
        {0x8014, "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT"},
        {0x8018, "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED"},
        {0x8028, "NRF_ERROR_SD_RPC_H5_TRANSPORT"},
        {0x8032, "NRF_ERROR_SD_RPC_H5_TRANSPORT_INTERNAL_ERROR"},
        {0x803C, "NRF_ERROR_SD_RPC_SERIAL_PORT"},
        {0x8040, "NRF_ERROR_SD_RPC_SERIAL_PORT_INTERNAL_ERROR"},
    };
    for (const auto& [code, name] : bounds) {
        EXPECT_EQ(error_code_name(code).substr(7), name) << std::hex << code;
    }
    // Every code inside the runs is named and nothing outside them: 62 in all.
    const std::vector<uint32_t> named = named_codes(error_code_name, "(error not decoded yet)");
    EXPECT_EQ(named.size(), 62u);
    std::set<std::string> names;
    for (uint32_t code : named) names.insert(error_code_name(code).substr(7));
    EXPECT_EQ(names.size(), named.size());
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
