#include "hci/btsnoop.h"

namespace hci {

namespace {

constexpr uint32_t datalink_h4 = 1002;
constexpr int64_t year_0_to_unix_epoch_us = 0x00DCDDB30F2F8000;

void put_be(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void write_all(std::ostream& out, const std::vector<uint8_t>& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

std::vector<uint8_t> btsnoop_file_header() {
    std::vector<uint8_t> out{'b', 't', 's', 'n', 'o', 'o', 'p', '\0'};
    put_be(out, 1, 4);
    put_be(out, datalink_h4, 4);
    return out;
}

std::vector<uint8_t> btsnoop_record(bytes_view h4_packet, direction dir, int64_t unix_us,
                                    uint32_t cumulative_drops) {
    const bool command_or_event =
        h4_packet.size > 0 && (h4_packet.data[0] == 0x01 || h4_packet.data[0] == 0x04);
    const uint32_t flags =
        (dir == direction::received ? 0x1U : 0x0U) | (command_or_event ? 0x2U : 0x0U);
    std::vector<uint8_t> out;
    out.reserve(24 + h4_packet.size);
    put_be(out, h4_packet.size, 4);  // original length
    put_be(out, h4_packet.size, 4);  // included length: never truncated here
    put_be(out, flags, 4);
    put_be(out, cumulative_drops, 4);
    put_be(out, static_cast<uint64_t>(unix_us + year_0_to_unix_epoch_us), 8);
    put_bytes(out, h4_packet);
    return out;
}

btsnoop_writer::btsnoop_writer(std::ostream& out) : out_(out) {
    write_all(out_, btsnoop_file_header());
}

void btsnoop_writer::write(bytes_view h4_packet, direction dir, int64_t unix_us) {
    write_all(out_, btsnoop_record(h4_packet, dir, unix_us));
    // A capture is wanted most after a crash: every record reaches the file at once.
    out_.flush();
}

}  // namespace hci
