#include "hci/h4_parser.h"

#include <utility>

namespace hci {

namespace {

// Header bytes after the indicator; 0 for an unknown indicator.
// ISO data (0x05) is deliberately unknown: the backend neither sends nor expects it.
size_t header_length(uint8_t indicator) {
    switch (indicator) {
        case 0x01:
            return 3;  // opcode (2), parameter length (1)
        case 0x02:
            return 4;  // handle and flags (2), data length (2)
        case 0x03:
            return 3;  // handle and flags (2), data length (1)
        case 0x04:
            return 2;  // event code (1), parameter length (1)
        default:
            return 0;
    }
}

size_t payload_length(uint8_t indicator, const uint8_t* header) {
    if (indicator == 0x02) return static_cast<size_t>(header[2] | (header[3] << 8));
    return indicator == 0x04 ? header[1] : header[2];
}

}  // namespace

void h4_parser::feed(bytes_view chunk, std::vector<h4_packet>& out) {
    put_bytes(pending_, chunk);
    size_t at = 0;
    while (at < pending_.size()) {
        const uint8_t indicator = pending_[at];
        const size_t header = header_length(indicator);
        if (header == 0) {
            ++skipped_bytes_;
            ++at;
            continue;
        }
        const size_t available = pending_.size() - at;
        if (available < 1 + header) break;
        const size_t payload = payload_length(indicator, &pending_[at + 1]);
        if (indicator == 0x02 && payload > max_acl_length_) {
            // Not a header after all: the next byte may be the real indicator.
            ++skipped_bytes_;
            ++at;
            continue;
        }
        const size_t total = 1 + header + payload;
        if (available < total) break;
        h4_packet packet;
        packet.type = static_cast<packet_type>(indicator);
        packet.bytes.assign(pending_.begin() + static_cast<std::ptrdiff_t>(at + 1),
                            pending_.begin() + static_cast<std::ptrdiff_t>(at + total));
        out.push_back(std::move(packet));
        at += total;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace hci
