#include "sim/air_capture/pcap_file.h"

namespace sim::air {
namespace {

constexpr size_t flush_at = size_t{64} * 1024;
constexpr uint32_t pcap_magic_us = 0xA1B2C3D4;
constexpr uint32_t snap_length = 65535;

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

}  // namespace

bool pcap_file::open(const std::string& path, uint32_t link_type, std::string& error) {
    out_.open(path, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out_) {
        error = "file " + path + " cannot be written";
        return false;
    }
    buffer_.reserve(flush_at + 1024);
    put32(buffer_, pcap_magic_us);
    put16(buffer_, 2);  // version 2.4
    put16(buffer_, 4);
    put32(buffer_, 0);  // time zone offset
    put32(buffer_, 0);  // timestamp accuracy
    put32(buffer_, snap_length);
    put32(buffer_, link_type);
    flush();
    return true;
}

void pcap_file::write(int64_t time_us, const std::vector<uint8_t>& record) {
    if (!out_.is_open()) return;
    const int64_t t = time_us < 0 ? 0 : time_us;
    put32(buffer_, static_cast<uint32_t>(t / 1000000));
    put32(buffer_, static_cast<uint32_t>(t % 1000000));
    put32(buffer_, static_cast<uint32_t>(record.size()));
    put32(buffer_, static_cast<uint32_t>(record.size()));
    buffer_.insert(buffer_.end(), record.begin(), record.end());
    if (buffer_.size() >= flush_at) flush();
}

void pcap_file::flush() {
    if (buffer_.empty()) return;
    out_.write(reinterpret_cast<const char*>(buffer_.data()),
               static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
}

void pcap_file::close() {
    if (!out_.is_open()) return;
    flush();
    out_.close();
}

}  // namespace sim::air
