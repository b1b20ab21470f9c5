// Link-layer PDUs as they go on the LE air: the advertising channel PDUs (header and
// payload) and the data channel PDUs of a connection, LL control PDUs included.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim::air {

constexpr uint32_t advertising_access_address = 0x8E89BED6;
constexpr uint32_t advertising_crc_init = 0x555555;

using device_address = std::array<uint8_t, 6>;  // least significant byte first, as on air

namespace adv_pdu_type {
constexpr uint8_t adv_ind = 0x0;
constexpr uint8_t adv_direct_ind = 0x1;
constexpr uint8_t adv_nonconn_ind = 0x2;
constexpr uint8_t adv_scan_ind = 0x6;
constexpr uint8_t connect_ind = 0x5;
}  // namespace adv_pdu_type

// An advertising channel PDU: header (type, TxAdd, RxAdd, length) and payload. A payload
// over 255 bytes is cut to 255, the most the length field tells.
std::vector<uint8_t> advertising_pdu(uint8_t type, bool tx_random, bool rx_random,
                                     const std::vector<uint8_t>& payload);

// AdvA followed by the advertising data (ADV_IND, ADV_NONCONN_IND, ADV_SCAN_IND).
std::vector<uint8_t> advertisement_payload(const device_address& advertiser,
                                           const std::vector<uint8_t>& data);

struct connect_request {
    device_address initiator{};
    device_address advertiser{};
    uint32_t access_address = 0;
    uint32_t crc_init = 0;
    uint8_t win_size = 1;     // 1.25 ms units
    uint16_t win_offset = 0;  // 1.25 ms units
    uint16_t interval = 0;    // 1.25 ms units
    uint16_t latency = 0;
    uint16_t timeout = 0;                    // 10 ms units
    uint64_t channel_map = 0x1FFFFFFFFFULL;  // 37 bits
    uint8_t hop = 5;                         // 5..16
    uint8_t sca = 0;                         // 0..7
};
std::vector<uint8_t> connect_ind_payload(const connect_request& request);

namespace llid {
constexpr uint8_t continuation = 0x1;  // or an empty PDU
constexpr uint8_t start = 0x2;         // the start of an L2CAP frame
constexpr uint8_t control = 0x3;
}  // namespace llid

struct data_header {
    uint8_t llid = llid::continuation;
    bool nesn = false;
    bool sn = false;
    bool md = false;
};
// A data channel PDU: header and payload (at most 255 bytes; longer is cut).
std::vector<uint8_t> data_pdu(const data_header& header, const std::vector<uint8_t>& payload);

// LL control PDUs (opcode and control data), sent with LLID control.
struct connection_update {
    uint8_t win_size = 1;
    uint16_t win_offset = 0;
    uint16_t interval = 0;
    uint16_t latency = 0;
    uint16_t timeout = 0;
    uint16_t instant = 0;
};
std::vector<uint8_t> ll_connection_update_ind(const connection_update& update);
std::vector<uint8_t> ll_terminate_ind(uint8_t reason);

}  // namespace sim::air
