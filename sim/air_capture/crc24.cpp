#include "sim/air_capture/crc24.h"

namespace sim::air {
namespace {

// Feedback into positions 0, 1, 3, 4, 6, 9 and 10.
constexpr uint32_t feedback_taps = 0x00065B;

uint8_t reversed(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | (((b >> i) & 1U) << (7 - i)));
    return r;
}

}  // namespace

uint32_t crc24(uint32_t crc_init, const uint8_t* pdu, size_t size) {
    uint32_t state = crc_init & 0xFFFFFFU;
    for (size_t i = 0; i < size; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const uint32_t in = (pdu[i] >> bit) & 1U;
            const uint32_t feedback = ((state >> 23) & 1U) ^ in;
            state = (state << 1) & 0xFFFFFFU;
            if (feedback != 0) state ^= feedback_taps;
        }
    }
    return state;
}

std::array<uint8_t, 3> crc24_bytes(uint32_t crc) {
    return {reversed(static_cast<uint8_t>(crc >> 16)), reversed(static_cast<uint8_t>(crc >> 8)),
            reversed(static_cast<uint8_t>(crc))};
}

}  // namespace sim::air
