// Channel numbers on the LE air. The link layer counts data channels 0..36 and advertising
// channels 37..39; the radio (and a capture's header) counts RF channels 0..39 by
// frequency, so the advertising channels sit at 0, 12 and 39 among the data channels.
#pragma once

#include <cstdint>

namespace sim::air {

constexpr uint8_t data_channels = 37;

// The RF channel of link-layer channel `index` (0..39).
constexpr uint8_t rf_channel(uint8_t index) {
    if (index == 37) return 0;
    if (index == 38) return 12;
    if (index == 39) return 39;
    return static_cast<uint8_t>(index <= 10 ? index + 1 : index + 2);
}

// The data channel of connection event `event_counter` with channel selection algorithm #1
// and every data channel in use: the hop added once per event, from channel 0 before the
// first one.
constexpr uint8_t hopped_channel(int64_t event_counter, uint8_t hop) {
    return static_cast<uint8_t>(((event_counter + 1) % data_channels) * hop % data_channels);
}

}  // namespace sim::air
