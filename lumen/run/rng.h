// Lumen's random numbers: xoshiro256** seeded through splitmix64, the same stream on every
// platform for the same seed.
#pragma once

#include <cstdint>

namespace lumen {

// One step of splitmix64: advances `state` and returns the next output.
uint64_t splitmix64(uint64_t& state);

class Rng {
public:
    explicit Rng(uint64_t seed = 1) { reseed(seed); }
    // Fills the four state words from splitmix64 started at `seed`.
    void reseed(uint64_t seed);
    // The next 64 random bits.
    uint64_t next();
    // Uniform over lo..hi inclusive, without bias; requires lo <= hi.
    int64_t between(int64_t lo, int64_t hi);
    // Uniform over [0, 1) in steps of 2^-53.
    double unit();

private:
    uint64_t s_[4];
};

}  // namespace lumen
