#include "sim/air_capture/le_packet.h"

#include "sim/air_capture/crc24.h"

namespace sim::air {
namespace {

void put_le(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint16_t pdu_type_bits(pdu_direction d) {
    switch (d) {
        case pdu_direction::advertising:
            return 0;
        case pdu_direction::central_to_peripheral:
            return 2;
        case pdu_direction::peripheral_to_central:
            return 3;
    }
    return 0;
}

}  // namespace

std::vector<uint8_t> le_packet_bytes(const le_packet& p) {
    uint16_t flags = phdr_flag::dewhitened | phdr_flag::reference_access_address_valid;
    if (p.signal) flags |= phdr_flag::signal_valid;
    flags =
        static_cast<uint16_t>(flags | (pdu_type_bits(p.direction) << phdr_flag::pdu_type_shift));
    if (p.crc_checked) flags |= phdr_flag::crc_checked | phdr_flag::crc_valid;

    std::vector<uint8_t> out;
    out.reserve(10 + 4 + p.pdu.size() + 3);
    out.push_back(p.rf_channel);
    out.push_back(static_cast<uint8_t>(p.signal.value_or(0)));
    out.push_back(0);                  // noise: not measured
    out.push_back(0);                  // access address offenses
    put_le(out, p.access_address, 4);  // the reference access address
    put_le(out, flags, 2);
    put_le(out, p.access_address, 4);
    out.insert(out.end(), p.pdu.begin(), p.pdu.end());
    const auto crc = crc24_bytes(crc24(p.crc_init, p.pdu.data(), p.pdu.size()));
    out.insert(out.end(), crc.begin(), crc.end());
    return out;
}

int64_t le_air_time_us(size_t pdu_size) {
    return static_cast<int64_t>(1 + 4 + pdu_size + 3) * 8;
}

}  // namespace sim::air
