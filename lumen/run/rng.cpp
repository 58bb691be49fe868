#include "run/rng.h"

namespace lumen {

namespace {
inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
}  // namespace

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void Rng::reseed(uint64_t seed) {
    uint64_t state = seed;
    for (uint64_t& word : s_) word = splitmix64(state);
}

uint64_t Rng::next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

int64_t Rng::between(int64_t lo, int64_t hi) {
    const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);  // hi - lo
    if (span == UINT64_MAX) return static_cast<int64_t>(next());  // the whole Int range
    const uint64_t n = span + 1;
    // Outputs below 2^64 mod n are rejected: the rest is a whole number of runs of n values.
    const uint64_t threshold = (0 - n) % n;
    uint64_t x;
    do {
        x = next();
    } while (x < threshold);
    return static_cast<int64_t>(static_cast<uint64_t>(lo) + x % n);
}

double Rng::unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

}  // namespace lumen
