#pragma once
// Deterministic random numbers: xoshiro256** seeded through splitmix64, so one scenario seed
// gives the same samples on every machine and with every standard library.

#include <cmath>
#include <cstdint>

inline uint64_t synthSplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class SynthRandom {
 public:
  explicit SynthRandom(uint64_t seed) {
    for (auto& word : state) word = synthSplitMix(seed);
  }

  uint64_t next() {
    const uint64_t result = rotate(state[1] * 5, 7) * 9;
    const uint64_t t = state[1] << 17;
    state[2] ^= state[0];
    state[3] ^= state[1];
    state[1] ^= state[2];
    state[0] ^= state[3];
    state[2] ^= t;
    state[3] = rotate(state[3], 45);
    return result;
  }

  // [0, 1)
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double uniform(double low, double high) { return low + (high - low) * uniform(); }
  // 0 .. count - 1
  uint32_t below(uint32_t count) { return static_cast<uint32_t>((next() >> 32) * count >> 32); }
  double exponential(double mean) { return -mean * std::log1p(-uniform()); }

 private:
  static uint64_t rotate(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t state[4];
};
