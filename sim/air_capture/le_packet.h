// One packet of a capture with link type 256 (LE link layer with a pseudo-header): the
// pseudo-header, then the packet as on the air: access address, PDU and CRC.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace sim::air {

constexpr uint32_t le_ll_with_phdr_link_type = 256;

enum class pdu_direction { advertising, central_to_peripheral, peripheral_to_central };

namespace phdr_flag {
constexpr uint16_t dewhitened = 0x0001;
constexpr uint16_t signal_valid = 0x0002;
constexpr uint16_t noise_valid = 0x0004;
constexpr uint16_t reference_access_address_valid = 0x0010;
constexpr int pdu_type_shift = 7;  // bits 7-9
constexpr uint16_t crc_checked = 0x0400;
constexpr uint16_t crc_valid = 0x0800;
}  // namespace phdr_flag

struct le_packet {
    uint8_t rf_channel = 0;        // RF channel 0..39, not the link layer's number
    std::optional<int8_t> signal;  // dBm, when the receiver measured it
    uint32_t access_address = 0;
    uint32_t crc_init = 0;
    pdu_direction direction = pdu_direction::advertising;
    std::vector<uint8_t> pdu;  // header and payload
    bool crc_checked = true;   // tell the reader the CRC was checked (and is valid)
};

// The record's bytes: pseudo-header, access address, PDU, CRC from `crc_init`.
std::vector<uint8_t> le_packet_bytes(const le_packet& packet);

// Microseconds the packet takes on the 1M PHY: preamble, access address, PDU and CRC.
int64_t le_air_time_us(size_t pdu_size);

}  // namespace sim::air
