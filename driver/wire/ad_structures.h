// Advertising data as it travels on the air: a run of structures, each a length byte
// (counting the type byte and the value), a type byte and the value. The program reads it
// from phones it has never met, so the walk trusts no length byte; the simulated dongle
// writes it for its phones and bystanders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wire {

namespace ad_type {
constexpr uint8_t flags = 0x01;
constexpr uint8_t complete_uuid16_list = 0x03;
constexpr uint8_t incomplete_uuid128_list = 0x06;
constexpr uint8_t complete_uuid128_list = 0x07;
constexpr uint8_t complete_local_name = 0x09;
constexpr uint8_t tx_power_level = 0x0A;
constexpr uint8_t manufacturer_data = 0xFF;
}  // namespace ad_type

// One structure found by ad_walker: its value lies inside the walked data.
struct ad_structure_view {
    uint8_t type = 0;
    const uint8_t* value = nullptr;
    size_t value_length = 0;
};

// Walks the structures in [data, data + length) in order, reading nothing outside it. A
// length byte of 0 is an empty structure with no type byte of its own: it is skipped and
// the next byte is a length again. A structure that runs past the end ends the walk; its
// type byte is not read, and cut_short() tells the caller. Null data is no data.
class ad_walker {
  public:
    ad_walker(const uint8_t* data, size_t length);

    // The next structure; false once the walk is over.
    bool next(ad_structure_view& out);
    // True when the walk ended at a structure the end of the data cut short.
    bool cut_short() const { return cut_short_; }

  private:
    const uint8_t* data_;
    size_t length_;
    size_t position_ = 0;
    bool cut_short_ = false;
};

// Appends one structure. A value longer than 254 bytes does not fit a length byte: the byte
// then wraps and no reader finds the structure as written, which is what a hand-made
// malformed advertisement may want.
void append_ad_structure(std::vector<uint8_t>& out, uint8_t type,
                         const std::vector<uint8_t>& value);
std::vector<uint8_t> ad_structure(uint8_t type, const std::vector<uint8_t>& value);

}  // namespace wire
