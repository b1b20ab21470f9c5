#include "hci/h4_parser.h"

#include <cstdio>
#include <utility>

namespace hci {

namespace {

// Header bytes after the indicator; 0 for a byte that begins no packet.
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
        case 0x05:
            return 4;  // handle and flags (2), data length (14 bits) and flags (2)
        default:
            return 0;
    }
}

// `header` holds header_length(indicator) bytes, no more.
size_t payload_length(uint8_t indicator, const uint8_t* header) {
    switch (indicator) {
        case 0x02:
            return static_cast<size_t>(header[2] | (header[3] << 8));
        case 0x05:
            return static_cast<size_t>(header[2] | (header[3] << 8)) & h4_parser::max_iso_length;
        case 0x04:
            return header[1];
        default:
            return header[2];
    }
}

// The packets the stream is won back on, a wildcard as -1: the Command Complete for HCI
// Reset (any credits, any status), and the Reset itself.
constexpr int reset_answer[] = {0x04, 0x0E, 0x04, -1, 0x03, 0x0C, -1};
constexpr int reset_command[] = {0x01, 0x03, 0x0C, 0x00};

}  // namespace

int h4_parser::reset_packet_at(size_t at, size_t& length) const {
    int result = 0;
    auto try_pattern = [&](const int* pattern, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (at + i >= pending_.size()) {
                result = -1;
                return;
            }
            if (pattern[i] >= 0 && pending_[at + i] != pattern[i]) return;
        }
        length = n;
        result = 1;
    };
    try_pattern(reset_answer, sizeof reset_answer / sizeof reset_answer[0]);
    if (result != 1) try_pattern(reset_command, sizeof reset_command / sizeof reset_command[0]);
    return result;
}

void h4_parser::lose_framing(std::string what, size_t packets_so_far) {
    if (!feed_lost_) packets_before_loss_ = packets_so_far - feed_first_;
    feed_lost_ = true;
    in_step_ = false;
    ++framing_losses_;
    last_loss_ = std::move(what);
}

void h4_parser::feed(bytes_view chunk, std::vector<h4_packet>& out) {
    put_bytes(pending_, chunk);
    feed_first_ = out.size();
    feed_lost_ = false;
    size_t at = 0;
    while (at < pending_.size()) {
        if (!in_step_) {
            size_t length = 0;
            const int found = reset_packet_at(at, length);
            if (found < 0) break;
            if (found == 0) {
                ++skipped_bytes_;
                ++at;
                continue;
            }
            in_step_ = true;  // and the Reset or its answer is framed below
        }
        const uint8_t indicator = pending_[at];
        const size_t header = header_length(indicator);
        if (header == 0) {
            char text[64];
            std::snprintf(text, sizeof text, "byte 0x%02X where a packet must begin",
                          static_cast<unsigned>(indicator));
            lose_framing(text, out.size());
            continue;
        }
        const size_t available = pending_.size() - at;
        if (available < 1 + header) break;
        const size_t payload = payload_length(indicator, &pending_[at + 1]);
        if (indicator == 0x02 && payload > max_acl_length_) {
            lose_framing("an ACL header announcing " + std::to_string(payload) +
                             " bytes, more than " + std::to_string(max_acl_length_),
                         out.size());
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
    if (!feed_lost_) packets_before_loss_ = out.size() - feed_first_;
}

}  // namespace hci
