#include "sim/scenario/ad_data.h"

#include "driver/wire/ad_structures.h"

namespace sim {

std::vector<uint8_t> build_ad(const ad_fields& fields) {
    std::vector<uint8_t> out;
    if (fields.flags) wire::append_ad_structure(out, wire::ad_type::flags, {*fields.flags});
    if (!fields.uuid16.empty()) {
        std::vector<uint8_t> payload;
        for (uint16_t u : fields.uuid16) {
            payload.push_back(static_cast<uint8_t>(u & 0xFF));
            payload.push_back(static_cast<uint8_t>(u >> 8));
        }
        wire::append_ad_structure(out, wire::ad_type::complete_uuid16_list, payload);
    }
    auto list128 = [&](uint8_t type, const std::vector<uuid128_bytes>& list) {
        if (list.empty()) return;
        std::vector<uint8_t> payload;
        for (const auto& u : list) payload.insert(payload.end(), u.begin(), u.end());
        wire::append_ad_structure(out, type, payload);
    };
    list128(wire::ad_type::incomplete_uuid128_list, fields.uuid128_incomplete);
    list128(wire::ad_type::complete_uuid128_list, fields.uuid128);
    if (fields.tx_power) {
        wire::append_ad_structure(out, wire::ad_type::tx_power_level,
                                  {static_cast<uint8_t>(*fields.tx_power)});
    }
    if (!fields.name.empty()) {
        wire::append_ad_structure(out, wire::ad_type::complete_local_name,
                                  std::vector<uint8_t>(fields.name.begin(), fields.name.end()));
    }
    if (!fields.manufacturer.empty()) {
        wire::append_ad_structure(out, wire::ad_type::manufacturer_data, fields.manufacturer);
    }
    return out;
}

}  // namespace sim
