// A classic pcap file (microsecond timestamps, little-endian) written through a buffer:
// records collect in memory and reach the file a block at a time, and at the end.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace sim::air {

class pcap_file {
  public:
    // Truncates `path` and writes the file header. False (and `error` says why) when the
    // file cannot be written.
    bool open(const std::string& path, uint32_t link_type, std::string& error);
    // `time_us`: microseconds since 1970-01-01 UTC.
    void write(int64_t time_us, const std::vector<uint8_t>& record);
    void close();
    bool is_open() const { return out_.is_open(); }

  private:
    void flush();

    std::ofstream out_;
    std::vector<uint8_t> buffer_;
};

}  // namespace sim::air
