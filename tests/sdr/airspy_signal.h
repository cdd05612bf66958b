#pragma once
// Synthetic Airspy sample streams for the demodulator tests: real 12-bit samples of a carrier
// at a quarter of the sample rate, keyed by the frame's pulses, and a collector for the frames
// the demodulator hands on.

#include "sdr/airspy_demodulator.h"
#include "sdr/crc.h"
#include "sdr/demod_signal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace airspy_test {

using Bytes = std::vector<uint8_t>;

// withParity (from demod_signal.h) makes the last three bytes so that the syndrome is the
// overlay: 0 for DF 11/17/18/19, the address for the address/parity formats, the interrogator
// code in the low 7 bits for DF 11.
using ::withParity;

// A frame of this DF (length 7 below DF 16, else 14) with the address in bytes 1-3 and
// payload bytes from `seed`; parity with the given overlay.
inline Bytes frameOf(uint32_t df, uint32_t address, uint32_t overlay, uint32_t seed = 1) {
  Bytes frame(df >= 16 ? 14 : 7, 0);
  std::mt19937 random(seed);
  frame[0] = static_cast<uint8_t>(df << 3 | (random() & 7));
  frame[1] = static_cast<uint8_t>(address >> 16);
  frame[2] = static_cast<uint8_t>(address >> 8);
  frame[3] = static_cast<uint8_t>(address);
  for (size_t i = 4; i + 3 < frame.size(); ++i) frame[i] = static_cast<uint8_t>(random());
  return withParity(frame, overlay);
}

// Clean extended squitter from an address.
inline Bytes df17(uint32_t address, uint32_t seed = 1) { return frameOf(17, address, 0, seed); }
// Address/parity reply (DF 0, 4, 5, 16, 20, 21, 24): the syndrome is the address.
// Bytes 1-3 hold other fields there.
inline Bytes addressParity(uint32_t df, uint32_t address, uint32_t seed = 1) {
  return frameOf(df, (seed * 2654435761u) & 0xFFFFFF, address, seed);
}

inline Bytes flipped(Bytes frame, std::initializer_list<int> bits) {
  for (int bit : bits) frame[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
  return frame;
}

inline uint32_t magnitudeOf(uint32_t raw) { return raw >= 2048 ? raw - 2048 : 2048 - raw; }

// A frame on the air: its first preamble pulse starts at sample `start`; `amplitude` is the
// magnitude of every sample inside a pulse.
struct Placed {
  Bytes bytes;
  uint64_t start;
  uint32_t amplitude = 1000;
};

// The window of a frame that starts at `start` ends after 240 bins: the demodulator reports it
// at that sample count (when no samples were dropped).
inline uint64_t endOfWindow(uint64_t start, uint32_t p) { return start + 240ull * p; }

// Samples of `length`: silence is 2048, a pulse is the carrier +a, +a, -a, -a (fs/4), plus
// Gaussian noise of deviation `noise`, clamped to 12 bits.
inline std::vector<uint16_t> synthesize(size_t length, uint32_t p, const std::vector<Placed>& frames,
                                        double noise = 0, uint32_t seed = 1) {
  std::vector<double> level(length, 0.0);
  for (const Placed& frame : frames) {
    std::vector<uint32_t> chips = {0, 2, 7, 9};
    for (size_t k = 0; k < frame.bytes.size() * 8; ++k) {
      const bool one = (frame.bytes[k / 8] >> (7 - k % 8)) & 1;
      chips.push_back(static_cast<uint32_t>(16 + 2 * k + (one ? 0 : 1)));
    }
    for (uint32_t chip : chips) {
      for (uint32_t i = 0; i < p; ++i) {
        const uint64_t at = frame.start + uint64_t{chip} * p + i;
        if (at < length) level[at] = frame.amplitude;
      }
    }
  }
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, noise > 0 ? noise : 1.0);
  std::vector<uint16_t> samples(length);
  for (size_t n = 0; n < length; ++n) {
    double value = 2048.0 + (n % 4 < 2 ? level[n] : -level[n]);
    if (noise > 0) value += gauss(random);
    samples[n] = static_cast<uint16_t>(std::clamp(std::lround(value), 0l, 4095l));
  }
  return samples;
}

// Eight 12-bit samples in three host-order words, most significant bits first.
inline std::vector<uint32_t> pack(const std::vector<uint16_t>& samples) {
  std::vector<uint32_t> words(samples.size() / 8 * 3);
  for (size_t g = 0; g < samples.size() / 8; ++g) {
    const uint16_t* s = &samples[g * 8];
    uint32_t* w = &words[g * 3];
    w[0] = uint32_t{s[0]} << 20 | uint32_t{s[1]} << 8 | s[2] >> 4;
    w[1] = uint32_t(s[2] & 0xF) << 28 | uint32_t{s[3]} << 16 | uint32_t{s[4]} << 4 | s[5] >> 8;
    w[2] = uint32_t(s[5] & 0xFF) << 24 | uint32_t{s[6]} << 12 | s[7];
  }
  return words;
}

struct Output {
  Bytes bytes;
  uint16_t level;
  uint64_t time;
  bool clean;
  uint64_t contrast = 0;  // the reference model's merge key; not compared
  bool operator==(const Output& o) const {
    return bytes == o.bytes && level == o.level && time == o.time && clean == o.clean;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Output& o) {
  for (uint8_t b : o.bytes) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    out << hex;
  }
  return out << " @" << o.time << " level " << o.level << (o.clean ? " clean" : " repaired/cached");
}

inline void collect(const uint8_t* bytes, uint32_t length, uint16_t level, uint64_t time, bool clean, void* user) {
  static_cast<std::vector<Output>*>(user)->push_back({Bytes(bytes, bytes + length), level, time, clean});
}

// A demodulator whose frames are collected; blocks are copied first (unpacked blocks are
// overwritten) or packed when the settings say so.
class Harness {
 public:
  explicit Harness(const AirspyDemodSettings& settings) : packing(settings.packing), demod(settings, collect, &frames) {}

  std::vector<Output> feed(const std::vector<uint16_t>& samples, size_t from = 0, size_t to = SIZE_MAX) {
    to = std::min(to, samples.size());
    const size_t before = frames.size();
    std::vector<uint16_t> part(samples.begin() + from, samples.begin() + to);
    if (packing) {
      std::vector<uint32_t> words = pack(part);
      demod.processBlock(words.data(), static_cast<uint32_t>(part.size() / 8 * 8));
    } else {
      demod.processBlock(part.data(), static_cast<uint32_t>(part.size()));
    }
    return std::vector<Output>(frames.begin() + before, frames.end());
  }

  // The frame held back at the end of the stream, if any.
  std::vector<Output> finish() {
    const size_t before = frames.size();
    demod.flush();
    return std::vector<Output>(frames.begin() + before, frames.end());
  }

  std::vector<Output> frames;
  bool packing;
  AirspyDemodulator demod;
};

inline AirspyDemodSettings settingsFor(uint32_t p, uint32_t workers = 0, uint32_t fecBits = 1) {
  AirspyDemodSettings settings;
  settings.phaseCount = p;
  settings.workerCount = workers;
  settings.fecBits = fecBits;
  return settings;
}

}  // namespace airspy_test
