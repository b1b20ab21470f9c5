// When a link's RSSI is worth an event: the first sample is the reference; a sample that
// differs from the last reported value by the threshold or more counts, and once such a
// change has held for `skip_count` further samples it is reported and becomes the new
// reference. A sample within the threshold starts the count again. A threshold of 0xFF
// measures without ever reporting.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>

namespace driver::stack {

class rssi_filter {
  public:
    rssi_filter(uint8_t threshold_dbm, uint8_t skip_count)
        : threshold_(threshold_dbm), skip_(skip_count) {}

    // The value to report for this sample, if any.
    std::optional<int8_t> sample(int8_t rssi) {
        if (threshold_ == 0xFF) return std::nullopt;
        if (!reported_) {
            reported_ = rssi;
            return std::nullopt;
        }
        if (std::abs(rssi - *reported_) < threshold_) {
            changed_samples_ = 0;
            return std::nullopt;
        }
        if (++changed_samples_ <= skip_) return std::nullopt;
        reported_ = rssi;
        changed_samples_ = 0;
        return rssi;
    }

    bool reports() const { return threshold_ != 0xFF; }

  private:
    uint8_t threshold_;
    uint8_t skip_;
    std::optional<int8_t> reported_;
    uint32_t changed_samples_ = 0;
};

}  // namespace driver::stack
