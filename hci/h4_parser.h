// H4 framing: each HCI packet on a UART-like
// byte stream is preceded by one packet indicator byte. The stream from a controller can
// start mid-packet or carry line noise, so the parser resynchronises byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hci/bytes.h"

namespace hci {

enum class packet_type : uint8_t {
    command = 0x01,
    acl_data = 0x02,
    synchronous_data = 0x03,
    event = 0x04,
};

// One whole packet: its type and its bytes after the indicator (header and parameters).
struct h4_packet {
    packet_type type = packet_type::event;
    std::vector<uint8_t> bytes;
};

class h4_parser {
  public:
    // No LE controller we drive buffers ACL data anywhere near this; a longer length is
    // taken for garbage rather than waited for, so that a corrupt header costs at most a
    // few bytes instead of stalling the stream for 64 KB.
    static constexpr size_t default_max_acl_length = 1024;

    explicit h4_parser(size_t max_acl_length = default_max_acl_length)
        : max_acl_length_(max_acl_length) {}

    // Appends every packet that `chunk` completes to `out`, in stream order. Chunks may
    // split packets anywhere.
    void feed(bytes_view chunk, std::vector<h4_packet>& out);

    // Bytes dropped while looking for a packet indicator, since construction.
    uint64_t skipped_bytes() const { return skipped_bytes_; }
    // Bytes held back as the start of a packet not yet complete.
    size_t pending_bytes() const { return pending_.size(); }

  private:
    std::vector<uint8_t> pending_;
    size_t max_acl_length_;
    uint64_t skipped_bytes_ = 0;
};

// Feeds `chunk` to `parser` in pieces that each end where a packet does (the last piece
// holds whatever follows the last whole packet) and calls `piece(bytes, packets)` with each
// piece and the packets it completes; a false return stops. For models of a controller: a
// host reads a chunk's packets in turn and may answer between two of them, so what it learns
// from a packet must be noted just before that packet's piece reaches it, not a chunk ahead.
template <typename Piece>
void feed_by_packet(h4_parser& parser, bytes_view chunk, Piece piece) {
    std::vector<h4_packet> packets;
    size_t from = 0;
    for (size_t at = 0; at < chunk.size; ++at) {
        parser.feed({chunk.data + at, 1}, packets);
        if (packets.empty() && at + 1 < chunk.size) continue;
        if (!piece(bytes_view{chunk.data + from, at + 1 - from}, packets)) return;
        packets.clear();
        from = at + 1;
    }
}

}  // namespace hci
