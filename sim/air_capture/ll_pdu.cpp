#include "sim/air_capture/ll_pdu.h"

#include <algorithm>

namespace sim::air {
namespace {

constexpr size_t max_payload = 255;
constexpr uint8_t ll_connection_update_ind_opcode = 0x00;
constexpr uint8_t ll_terminate_ind_opcode = 0x02;

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_le(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> with_header(uint8_t first, const std::vector<uint8_t>& payload) {
    const size_t length = std::min(payload.size(), max_payload);
    std::vector<uint8_t> pdu;
    pdu.reserve(2 + length);
    pdu.push_back(first);
    pdu.push_back(static_cast<uint8_t>(length));
    pdu.insert(pdu.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(length));
    return pdu;
}

}  // namespace

std::vector<uint8_t> advertising_pdu(uint8_t type, bool tx_random, bool rx_random,
                                     const std::vector<uint8_t>& payload) {
    const uint8_t first =
        static_cast<uint8_t>((type & 0x0F) | (tx_random ? 0x40 : 0) | (rx_random ? 0x80 : 0));
    return with_header(first, payload);
}

std::vector<uint8_t> advertisement_payload(const device_address& advertiser,
                                           const std::vector<uint8_t>& data) {
    std::vector<uint8_t> payload(advertiser.begin(), advertiser.end());
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

std::vector<uint8_t> connect_ind_payload(const connect_request& r) {
    std::vector<uint8_t> p(r.initiator.begin(), r.initiator.end());
    p.insert(p.end(), r.advertiser.begin(), r.advertiser.end());
    put_le(p, r.access_address, 4);
    put_le(p, r.crc_init, 3);
    p.push_back(r.win_size);
    put16(p, r.win_offset);
    put16(p, r.interval);
    put16(p, r.latency);
    put16(p, r.timeout);
    put_le(p, r.channel_map, 5);
    p.push_back(static_cast<uint8_t>((r.hop & 0x1F) | ((r.sca & 0x07) << 5)));
    return p;
}

std::vector<uint8_t> data_pdu(const data_header& h, const std::vector<uint8_t>& payload) {
    const uint8_t first = static_cast<uint8_t>((h.llid & 0x03) | (h.nesn ? 0x04 : 0) |
                                               (h.sn ? 0x08 : 0) | (h.md ? 0x10 : 0));
    return with_header(first, payload);
}

std::vector<uint8_t> ll_connection_update_ind(const connection_update& u) {
    std::vector<uint8_t> p{ll_connection_update_ind_opcode, u.win_size};
    put16(p, u.win_offset);
    put16(p, u.interval);
    put16(p, u.latency);
    put16(p, u.timeout);
    put16(p, u.instant);
    return p;
}

std::vector<uint8_t> ll_terminate_ind(uint8_t reason) {
    return {ll_terminate_ind_opcode, reason};
}

}  // namespace sim::air
