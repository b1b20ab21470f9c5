// The simulation's one source of chance. Every decision the world makes (advertising
// delays, RSSI noise, connection timing, response latency) is drawn from a stream made
// here from the scenario's seed, so one seed gives one run on every machine and with
// every standard library: the arithmetic is our own, integer-only where it matters.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

class random_stream {
  public:
    random_stream() : random_stream(0) {}
    explicit random_stream(uint64_t seed);
    // A stream for one purpose (e.g. "phone 2 advertising"), independent of every other
    // purpose drawn from the same seed: draws for one entity never shift another's.
    static random_stream for_purpose(uint64_t seed, const std::string& purpose);

    uint64_t next();
    // Uniform integer in [low, high] (inclusive); low when high < low.
    int64_t uniform(int64_t low, int64_t high);
    // True with probability numerator / denominator.
    bool chance(uint64_t numerator, uint64_t denominator);
    // Roughly normal noise in [-spread, spread], centred on 0 (sum of four uniforms).
    int32_t noise(int32_t spread);

  private:
    uint64_t state_[4];
};

// 64-bit FNV-1a of a text, to name streams.
uint64_t hash_text(const std::string& text);

}  // namespace sim
