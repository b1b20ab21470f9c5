// H4 framing: each HCI packet on a UART-like byte stream is preceded by one packet indicator
// byte, and nothing else marks where a packet begins. Once a byte where a packet must begin
// cannot begin one, every later packet boundary is a guess: a length field read from the
// middle of a phone's data would frame that data as controller events. So the parser does
// not hunt for another packet there; it declares the framing lost and takes nothing more
// until the one packet a host can look for on purpose, the answer to the HCI Reset it sends
// to win the stream back (or, read from the host's side, that Reset itself).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hci/bytes.h"

namespace hci {

enum class packet_type : uint8_t {
    command = 0x01,
    acl_data = 0x02,
    synchronous_data = 0x03,
    event = 0x04,
    iso_data = 0x05,
};

// One whole packet: its type and its bytes after the indicator (header and parameters).
struct h4_packet {
    packet_type type = packet_type::event;
    std::vector<uint8_t> bytes;
};

class h4_parser {
  public:
    // No LE controller we drive buffers ACL data anywhere near this; a longer length means
    // the framing is lost, rather than a 64 KB wait on a corrupt header.
    static constexpr size_t default_max_acl_length = 1024;
    // An ISO data length is 14 bits; the two above it are reserved.
    static constexpr size_t max_iso_length = 0x3FFF;

    // Where the parser starts: in step with the stream, or looking for the answer to HCI
    // Reset, as a host does whose controller may have talked before anyone listened.
    enum class start { in_step, at_reset_answer };

    explicit h4_parser(size_t max_acl_length = default_max_acl_length, start from = start::in_step)
        : max_acl_length_(max_acl_length), in_step_(from == start::in_step) {}

    // Appends every packet that `chunk` completes to `out`, in stream order. Chunks may
    // split packets anywhere.
    void feed(bytes_view chunk, std::vector<h4_packet>& out);

    // Whether packet boundaries are known; false from a framing loss until a Reset's answer.
    bool in_step() const { return in_step_; }
    // Times the framing was lost, since construction.
    uint64_t framing_losses() const { return framing_losses_; }
    // What the last loss met, for a log line.
    const std::string& last_loss() const { return last_loss_; }
    // Bytes dropped while out of step, since construction.
    uint64_t skipped_bytes() const { return skipped_bytes_; }
    // Bytes held back as the start of a packet not yet complete.
    size_t pending_bytes() const { return pending_.size(); }
    // Of the packets the last feed appended, how many came before the first framing loss it
    // met (all of them if it met none): what came after was framed only once back in step.
    size_t packets_before_loss() const { return packets_before_loss_; }

  private:
    // Looks for a Reset or its answer at `at`: 1 found (`length` set), 0 not there, -1 not
    // enough bytes to tell.
    int reset_packet_at(size_t at, size_t& length) const;
    void lose_framing(std::string what, size_t packets_so_far);

    std::vector<uint8_t> pending_;
    size_t max_acl_length_;
    bool in_step_;
    uint64_t framing_losses_ = 0;
    std::string last_loss_;
    uint64_t skipped_bytes_ = 0;
    size_t packets_before_loss_ = 0;
    // Where the packets of the feed under way begin in its `out`, and whether it met a loss.
    size_t feed_first_ = 0;
    bool feed_lost_ = false;
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
