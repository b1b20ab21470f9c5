#include "driver/wire/ad_structures.h"

namespace wire {

ad_walker::ad_walker(const uint8_t* data, size_t length)
    : data_(data), length_(data == nullptr ? 0 : length) {}

bool ad_walker::next(ad_structure_view& out) {
    while (position_ < length_) {
        const size_t length = data_[position_];
        if (length == 0) {
            position_ += 1;
            continue;
        }
        if (position_ + 1 + length > length_) {
            cut_short_ = true;
            position_ = length_;
            return false;
        }
        out.type = data_[position_ + 1];
        out.value = data_ + position_ + 2;
        out.value_length = length - 1;
        position_ += length + 1;
        return true;
    }
    return false;
}

void append_ad_structure(std::vector<uint8_t>& out, uint8_t type,
                         const std::vector<uint8_t>& value) {
    out.push_back(static_cast<uint8_t>(value.size() + 1));
    out.push_back(type);
    out.insert(out.end(), value.begin(), value.end());
}

std::vector<uint8_t> ad_structure(uint8_t type, const std::vector<uint8_t>& value) {
    std::vector<uint8_t> out;
    append_ad_structure(out, type, value);
    return out;
}

}  // namespace wire
