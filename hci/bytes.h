// Little-endian bytes in and out, bounded: everything the controller and the peer send is
// read through byte_reader, which never reads past the bytes it was given and remembers a
// read that would have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hci {

// Bytes owned by someone else; valid only while they are.
struct bytes_view {
    const uint8_t* data = nullptr;
    size_t size = 0;

    bytes_view() = default;
    bytes_view(const uint8_t* d, size_t n) : data(d), size(n) {}
    // Implicit on purpose: a vector is the usual source.
    // NOLINTNEXTLINE(google-explicit-constructor)
    // cppcheck-suppress noExplicitConstructor
    bytes_view(const std::vector<uint8_t>& v) : data(v.data()), size(v.size()) {}

    std::vector<uint8_t> to_vector() const {
        return size == 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(data, data + size);
    }
};

class byte_reader {
  public:
    explicit byte_reader(bytes_view bytes) : bytes_(bytes) {}

    uint8_t u8() { return take(1) ? bytes_.data[position_ - 1] : 0; }
    uint16_t u16() {
        if (!take(2)) return 0;
        const uint8_t* p = bytes_.data + position_ - 2;
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    // The next `count` bytes as a view, or an empty view (and failure) if fewer are left.
    bytes_view view(size_t count) {
        if (!take(count)) return {};
        return {bytes_.data + position_ - count, count};
    }
    // Copies the next out.size() bytes; leaves `out` alone if fewer are left.
    template <typename Array>
    void copy_into(Array& out) {
        const bytes_view v = view(out.size());
        for (size_t i = 0; i < v.size; ++i) out[i] = v.data[i];
    }
    bytes_view rest() { return view(remaining()); }

    size_t remaining() const { return failed_ ? 0 : bytes_.size - position_; }
    // False once any read asked for more than was left; every later read fails too.
    bool ok() const { return !failed_; }
    // Everything read and nothing asked for beyond it.
    bool done() const { return ok() && position_ == bytes_.size; }

  private:
    bool take(size_t count) {
        if (failed_ || count > bytes_.size - position_) {
            failed_ = true;
            return false;
        }
        position_ += count;
        return true;
    }

    bytes_view bytes_;
    size_t position_ = 0;
    bool failed_ = false;
};

inline void put_u8(std::vector<uint8_t>& out, uint8_t value) {
    out.push_back(value);
}
inline void put_u16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
inline void put_bytes(std::vector<uint8_t>& out, bytes_view bytes) {
    if (bytes.size != 0) out.insert(out.end(), bytes.data, bytes.data + bytes.size);
}

}  // namespace hci
