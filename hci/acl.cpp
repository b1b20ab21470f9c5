#include "hci/acl.h"

#include <algorithm>
#include <utility>

namespace hci {

namespace {

constexpr size_t l2cap_header_length = 4;

}  // namespace

std::optional<acl_packet> parse_acl_packet(bytes_view packet) {
    byte_reader in(packet);
    const uint16_t field = in.u16();
    const uint16_t length = in.u16();
    acl_packet out;
    out.connection_handle = field & 0x0FFF;
    out.packet_boundary = static_cast<uint8_t>((field >> 12) & 0x3);
    out.broadcast = static_cast<uint8_t>((field >> 14) & 0x3);
    out.data = in.view(length);
    if (!in.done()) return std::nullopt;
    return out;
}

std::vector<std::vector<uint8_t>> acl_fragments(uint16_t connection_handle, bytes_view pdu,
                                                size_t buffer_size) {
    std::vector<std::vector<uint8_t>> out;
    if (buffer_size == 0) return out;
    size_t offset = 0;
    do {
        const size_t piece = std::min(buffer_size, pdu.size - offset);
        const uint8_t boundary =
            offset == 0 ? packet_boundary::first_non_flushable : packet_boundary::continuing;
        std::vector<uint8_t> packet;
        packet.reserve(5 + piece);
        put_u8(packet, 0x02);
        put_u16(packet, static_cast<uint16_t>((connection_handle & 0x0FFF) | (boundary << 12)));
        put_u16(packet, static_cast<uint16_t>(piece));
        put_bytes(packet, {pdu.data + offset, piece});
        out.push_back(std::move(packet));
        offset += piece;
    } while (offset < pdu.size);
    return out;
}

std::optional<reassembled_pdu> acl_reassembler::add(bytes_view packet) {
    const auto acl = parse_acl_packet(packet);
    if (!acl) {
        ++dropped_;
        return std::nullopt;
    }
    const uint16_t handle = acl->connection_handle;
    const uint8_t boundary = acl->packet_boundary;
    if (boundary == packet_boundary::first_flushable ||
        boundary == packet_boundary::first_non_flushable) {
        auto [it, inserted] = pending_.try_emplace(handle);
        if (!inserted) ++dropped_;  // the unfinished PDU before this start
        it->second.assign(acl->data.data, acl->data.data + acl->data.size);
    } else if (boundary == packet_boundary::continuing) {
        const auto it = pending_.find(handle);
        if (it == pending_.end()) {
            ++dropped_;
            return std::nullopt;
        }
        put_bytes(it->second, acl->data);
    } else {
        // A complete automatically-flushable PDU belongs to BR/EDR only.
        ++dropped_;
        return std::nullopt;
    }
    return complete_if_whole(handle);
}

std::optional<reassembled_pdu> acl_reassembler::complete_if_whole(uint16_t handle) {
    const auto it = pending_.find(handle);
    std::vector<uint8_t>& bytes = it->second;
    if (bytes.size() < l2cap_header_length) {
        // Fragments this small are allowed; the header is known once more arrive.
        if (bytes.size() <= max_pdu_length_) return std::nullopt;
    } else {
        const size_t total = l2cap_header_length + static_cast<size_t>(bytes[0] | (bytes[1] << 8));
        if (total <= max_pdu_length_) {
            if (bytes.size() < total) return std::nullopt;
            if (bytes.size() == total) {
                reassembled_pdu out{handle, std::move(bytes)};
                pending_.erase(it);
                return out;
            }
        }
    }
    // Too long to ever keep, or longer than its header said.
    ++dropped_;
    pending_.erase(it);
    return std::nullopt;
}

}  // namespace hci
