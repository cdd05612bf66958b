#pragma once
// Helpers for the synthesiser tests: run a scenario in memory and read its samples back the
// way the I/Q file reader turns them into magnitudes.

#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/synth/iq_format.h"
#include "tools/synth/scenario.h"
#include "tools/synth/synth_session.h"

struct SynthRun {
  SynthIqType type = SynthIqType::Rtl;
  std::vector<uint8_t> bytes;
  SynthFileResult result;
  uint32_t factor() const { return synthOversamplingFactor(type); }
  size_t pairs() const { return bytes.size() / synthBytesPerPair(type); }

  // rtl: (2I - 255)^2 + (2Q - 255)^2; 16-bit types: I^2 + Q^2 of the unsigned words.
  uint32_t magnitude(size_t k) const {
    if (type == SynthIqType::Rtl) {
      const int i = 2 * bytes[2 * k] - 255, q = 2 * bytes[2 * k + 1] - 255;
      return static_cast<uint32_t>(i * i + q * q);
    }
    const uint32_t i = bytes[4 * k] | (bytes[4 * k + 1] << 8), q = bytes[4 * k + 2] | (bytes[4 * k + 3] << 8);
    return i * i + q * q;
  }

  // Complex sample in the file's units (rtl centred on 127.5; 16-bit read as signed).
  std::complex<double> sample(size_t k) const {
    if (type == SynthIqType::Rtl) return {bytes[2 * k] - 127.5, bytes[2 * k + 1] - 127.5};
    const int16_t i = static_cast<int16_t>(bytes[4 * k] | (bytes[4 * k + 1] << 8));
    const int16_t q = static_cast<int16_t>(bytes[4 * k + 2] | (bytes[4 * k + 3] << 8));
    return {static_cast<double>(i), static_cast<double>(q)};
  }

  // Power of one 0.5 us chip (the sum of its factor samples) of the frame starting at `sample`.
  uint64_t chip(uint64_t start, int k) const {
    uint64_t sum = 0;
    for (uint32_t j = 0; j < factor(); ++j) sum += magnitude(start + k * factor() + j);
    return sum;
  }
};

inline SynthRun runScenario(const std::string& text, SynthIqType type,
                            SynthAirspyCoding coding = SynthAirspyCoding::Absolute) {
  SynthRun run;
  run.type = type;
  const SynthScenario scenario = parseSynthScenarioText(text);
  run.result = synthesiseToMemory(scenario, type, coding, run.bytes);
  return run;
}

inline bool frameBit(const std::vector<uint8_t>& bytes, int bit) { return (bytes[bit >> 3] >> (7 - (bit & 7))) & 1; }
