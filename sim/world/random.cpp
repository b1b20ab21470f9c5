#include "sim/world/random.h"

namespace sim {
namespace {

uint64_t splitmix64(uint64_t& x) {
    x += 0x9E3779B97F4A7C15ULL;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

}  // namespace

uint64_t hash_text(const std::string& text) {
    uint64_t h = 0xCBF29CE484222325ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001B3ULL;
    }
    return h;
}

random_stream::random_stream(uint64_t seed) {
    uint64_t x = seed;
    for (auto& word : state_) word = splitmix64(x);
}

random_stream random_stream::for_purpose(uint64_t seed, const std::string& purpose) {
    uint64_t mixed = seed;
    const uint64_t first = splitmix64(mixed);
    return random_stream(first ^ hash_text(purpose));
}

uint64_t random_stream::next() {
    // xoshiro256**
    const uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
}

int64_t random_stream::uniform(int64_t low, int64_t high) {
    if (high <= low) return low;
    const uint64_t span = static_cast<uint64_t>(high - low) + 1;
    if (span == 0) return static_cast<int64_t>(next());  // the whole 64-bit range
    // Rejection keeps every value equally likely.
    const uint64_t limit = UINT64_MAX - UINT64_MAX % span;
    uint64_t r = next();
    while (r >= limit) r = next();
    return low + static_cast<int64_t>(r % span);
}

bool random_stream::chance(uint64_t numerator, uint64_t denominator) {
    if (denominator == 0) return false;
    if (numerator >= denominator) return true;
    return static_cast<uint64_t>(uniform(0, static_cast<int64_t>(denominator) - 1)) < numerator;
}

int32_t random_stream::noise(int32_t spread) {
    if (spread <= 0) return 0;
    // Four uniforms in [-spread, spread] summed and divided by 4: a bell shape with
    // integer arithmetic only.
    int64_t sum = 0;
    for (int i = 0; i < 4; ++i) sum += uniform(-spread, spread);
    return static_cast<int32_t>(sum / 4);
}

}  // namespace sim
