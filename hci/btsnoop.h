// btsnoop capture files of the H4 stream (datalink 1002), the form common Bluetooth
// protocol analysers open: a 16-byte file header, then one record per packet, all numbers
// big-endian.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "hci/bytes.h"

namespace hci {

enum class direction { sent, received };

// "btsnoop\0", version 1, datalink 1002.
std::vector<uint8_t> btsnoop_file_header();

// One record. `h4_packet` is the whole packet, indicator first: its first byte tells a
// command or event from data for the record's flags. Timestamps are microseconds since the
// Unix epoch; the file counts them from midnight, 1 January of year 0.
std::vector<uint8_t> btsnoop_record(bytes_view h4_packet, direction dir, int64_t unix_us,
                                    uint32_t cumulative_drops = 0);

// Writes the file header on construction, then one record per packet.
class btsnoop_writer {
  public:
    explicit btsnoop_writer(std::ostream& out);
    void write(bytes_view h4_packet, direction dir, int64_t unix_us);

  private:
    std::ostream& out_;
};

}  // namespace hci
