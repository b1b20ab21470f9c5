// HCI ACL data packets: the fragments
// one L2CAP PDU travels in between host and controller, and their reassembly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "hci/bytes.h"

namespace hci {

namespace packet_boundary {
constexpr uint8_t first_non_flushable = 0x0;  // what a host sends first on LE
constexpr uint8_t continuing = 0x1;
constexpr uint8_t first_flushable = 0x2;  // what a controller sends first
}  // namespace packet_boundary

struct acl_packet {
    uint16_t connection_handle = 0;
    uint8_t packet_boundary = 0;
    uint8_t broadcast = 0;
    bytes_view data;  // inside the packet
};
// One ACL packet as the H4 parser yields it (header and data, no indicator); nullopt if
// the length field disagrees with the bytes present.
std::optional<acl_packet> parse_acl_packet(bytes_view packet);

// The H4 packets (indicator 0x02 first) that carry `pdu` to the controller in pieces of at
// most `buffer_size` data bytes, as its LE Read Buffer Size reported. Empty for a buffer
// size of 0.
std::vector<std::vector<uint8_t>> acl_fragments(uint16_t connection_handle, bytes_view pdu,
                                                size_t buffer_size);

// A whole L2CAP PDU (basic header included) put together from a connection's fragments.
struct reassembled_pdu {
    uint16_t connection_handle = 0;
    std::vector<uint8_t> bytes;
};

// Puts L2CAP PDUs back together, one in progress per connection handle. Whatever the
// controller sends, memory stays bounded: a PDU longer than the limit is dropped as soon as
// its header announces it, a continuation without a start is dropped, a new start discards
// an unfinished PDU, and fragments past the announced length discard it too.
class acl_reassembler {
  public:
    // The default fits the largest ATT MTU (517) with room to spare.
    static constexpr size_t default_max_pdu_length = 4 + 1024;

    explicit acl_reassembler(size_t max_pdu_length = default_max_pdu_length)
        : max_pdu_length_(max_pdu_length) {}

    // Takes one ACL packet (header and data, no indicator); returns the PDU it completes.
    std::optional<reassembled_pdu> add(bytes_view packet);
    // Drops what is held for a connection that has gone.
    void forget(uint16_t connection_handle) { pending_.erase(connection_handle); }

    // Packets or partial PDUs thrown away, for the trace.
    uint64_t dropped() const { return dropped_; }

  private:
    std::optional<reassembled_pdu> complete_if_whole(uint16_t handle);

    std::map<uint16_t, std::vector<uint8_t>> pending_;
    size_t max_pdu_length_;
    uint64_t dropped_ = 0;
};

}  // namespace hci
