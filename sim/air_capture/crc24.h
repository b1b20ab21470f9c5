// The 24-bit CRC that ends every packet on the LE air (polynomial
// x^24 + x^10 + x^9 + x^6 + x^4 + x^3 + x + 1), over the PDU header and payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sim::air {

// The shift register after the PDU's bits, least significant bit of each byte first, from
// `crc_init` (bit 0 of the value in register position 0).
uint32_t crc24(uint32_t crc_init, const uint8_t* pdu, size_t size);

// The register as its three bytes follow the PDU: position 23 goes first on the air, and
// each byte is sent least significant bit first.
std::array<uint8_t, 3> crc24_bytes(uint32_t crc);

}  // namespace sim::air
