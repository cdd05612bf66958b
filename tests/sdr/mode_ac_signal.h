#pragma once
// Power samples (I^2 + Q^2, as the dongle and the I/Q files give them) of pulses on a carrier,
// for the Mode A/C tests. The envelope of each sample is the pulse amplitude times the share
// of the sample's interval the pulse covers; squaring it is what skews a phase estimated from
// the samples themselves. Noise is integer I/Q noise from mt19937's raw output, so that the
// same seed gives the same samples everywhere.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

class PowerSignal {
 public:
  PowerSignal(uint32_t factor, size_t samples) : factor(factor), envelope(samples, 0.0) {}

  double samplesPerUs() const { return 2.0 * factor; }
  size_t size() const { return envelope.size(); }

  void pulse(double startUs, double lengthUs, double amplitude) {
    const double a = startUs * samplesPerUs(), b = (startUs + lengthUs) * samplesPerUs();
    const auto last = std::min(envelope.size(), static_cast<size_t>(std::ceil(b)));
    for (size_t i = static_cast<size_t>(std::max(0.0, std::floor(a))); i < last; ++i) {
      const double lo = std::max(a, static_cast<double>(i)), hi = std::min(b, static_cast<double>(i + 1));
      if (hi > lo) envelope[i] += amplitude * (hi - lo);
    }
  }

  // A reply given as its 16-bit value (A in bits 14-12, B 10-8, C 6-4, D 2-0, SPI bit 7):
  // F1, the code pulses 1.45 us apart, F2 at 20.3 us, SPI at 24.65 us, 0.45 us wide.
  void modeAC(double f1Us, uint32_t value, double amplitude) {
    static const uint32_t slotBits[14] = {0, 0x10, 0x1000, 0x20, 0x2000, 0x40, 0x4000, 0, 0x100, 0x1, 0x200, 0x2, 0x400, 0x4};
    pulse(f1Us, 0.45, amplitude);
    for (int slot = 1; slot <= 13; ++slot)
      if (value & slotBits[slot]) pulse(f1Us + 1.45 * slot, 0.45, amplitude);
    pulse(f1Us + 20.3, 0.45, amplitude);
    if (value & 0x80) pulse(f1Us + 24.65, 0.45, amplitude);
  }

  // Preamble pulses at 0, 1.0, 3.5 and 4.5 us, then one 0.5 us pulse per bit from 8 us.
  void modeS(double startUs, const std::vector<uint8_t>& bytes, double amplitude) {
    for (double at : {0.0, 1.0, 3.5, 4.5}) pulse(startUs + at, 0.5, amplitude);
    for (size_t i = 0; i < bytes.size() * 8; ++i) {
      const bool one = (bytes[i / 8] >> (7 - i % 8)) & 1;
      pulse(startUs + 8 + static_cast<double>(i) + (one ? 0 : 0.5), 0.5, amplitude);
    }
  }

  // noiseSpread 0: the squared envelope alone. Otherwise I and Q each get a sum of four
  // uniform values in [-spread, spread], about spread * 1.15 standard deviation.
  std::vector<uint32_t> power(uint32_t noiseSpread = 0, uint32_t seed = 1) const {
    std::vector<uint32_t> out(envelope.size());
    std::mt19937 random(seed);
    const auto noise = [&]() -> int64_t {
      if (noiseSpread == 0) return 0;
      int64_t sum = 0;
      for (int k = 0; k < 4; ++k) sum += static_cast<int64_t>(random() % (2 * noiseSpread + 1)) - noiseSpread;
      return sum / 2;
    };
    for (size_t i = 0; i < envelope.size(); ++i) {
      const int64_t x = std::llround(envelope[i]) + noise(), y = noise();
      out[i] = static_cast<uint32_t>(std::min<int64_t>(x * x + y * y, UINT32_MAX));
    }
    return out;
  }

  uint32_t factor;
  std::vector<double> envelope;
};

// The two reply bytes the demodulator hands on for a reply value.
inline std::vector<uint8_t> modeACBytes(uint32_t value) {
  return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
}

// The value of an octal ABCD code.
inline uint32_t modeACValue(uint32_t code, bool spi) {
  const uint32_t a = (code >> 9) & 7, b = (code >> 6) & 7, c = (code >> 3) & 7, d = code & 7;
  return a << 12 | b << 8 | c << 4 | d | (spi ? 0x80 : 0);
}
