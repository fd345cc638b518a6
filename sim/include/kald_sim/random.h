// The simulated camera's random numbers: sensor noise and packet faults. A
// fixed 64-bit mixing generator written out here, not a library engine or
// distribution, so every build and every standard library draws the same
// numbers from the same seed.
#pragma once

#include <cstdint>

namespace kald::sim {

class SimRandom {
  public:
    explicit SimRandom(uint64_t seed = 0) : state_(seed) {}

    // The next 64 random bits (the SplitMix64 sequence).
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A number in 0 .. n - 1 (n > 0), from the top 32 bits of the next draw.
    uint32_t Below(uint32_t n) { return uint32_t(((Next() >> 32) * uint64_t(n)) >> 32); }

  private:
    uint64_t state_;
};

// Two independent generators from one seed, so that switching packet faults
// on or off leaves the sensor noise of every frame as it was.
inline SimRandom NoiseRandom(uint64_t seed)
{
    return SimRandom(seed);
}
inline SimRandom FaultRandom(uint64_t seed)
{
    return SimRandom(seed ^ 0x5DEECE66DA3B4C1Full);
}

} // namespace kald::sim
