// What the modulator puts on air, read back through the file reader's magnitude formulas.

#include <gtest/gtest.h>

#include <cmath>

#include "tests/tools/synth_fixture.h"

namespace {

const SynthIqType allTypes[] = {SynthIqType::Rtl, SynthIqType::Airspy6, SynthIqType::Airspy10};

const char* cleanAligned =
    "duration 3\nseed 5\nnoise off -32\ntiming aligned\nrise 0\nflip 2 40 41\n"
    "aircraft 4840D6 callsign=KLM1023 lat=52.1 lon=4.5 track=90 gs=420 alt=31000 level=20 replies=2\n";

TEST(Modulation, CleanFramesOnSampleBoundariesShowPreambleAndBits) {
  for (SynthIqType type : allTypes) {
    SCOPED_TRACE(synthIqTypeName(type));
    const SynthRun run = runScenario(cleanAligned, type);
    ASSERT_GT(run.result.frames.size(), 10u);
    const double fullScale = type == SynthIqType::Rtl ? 2 * synthRtlFullScale : synthAirspyFullScale;
    const double amplitude = fullScale * std::pow(10.0, (-32 + 20) / 20.0);
    const double pulse = amplitude * amplitude * run.factor();
    for (const auto& f : run.result.frames) {
      ASSERT_EQ(f.offset, 0.0);
      const uint64_t s = f.sample;
      for (int k = 0; k < 16; ++k) {
        const bool high = k == 0 || k == 2 || k == 7 || k == 9;
        if (high) EXPECT_NEAR(static_cast<double>(run.chip(s, k)), pulse, pulse * 0.08) << "chip " << k;
        else EXPECT_LE(run.chip(s, k), 2u * run.factor()) << "chip " << k;
      }
      std::vector<uint8_t> onAir = f.bytes;
      for (int bit : f.flips) onAir[bit >> 3] ^= static_cast<uint8_t>(0x80 >> (bit & 7));
      for (uint32_t i = 0; i < f.length * 8; ++i) {
        const uint64_t a = run.chip(s, 16 + 2 * i), b = run.chip(s, 17 + 2 * i);
        ASSERT_NE(a > b, b > a) << "bit " << i;
        ASSERT_EQ(a > b, frameBit(onAir, i)) << "bit " << i << " of " << f.kind;
      }
    }
    // The chosen frame went out with its two bits inverted.
    EXPECT_EQ(run.result.frames[2].flips, (std::vector<int>{40, 41}));
  }
}

TEST(Modulation, PulseStraddlingTwoSamplesSplitsItsAmplitude) {
  // At 2 MS/s a leading pulse starting a fraction d into a sample leaves (1 - d) of its
  // amplitude there and d in the next sample (chip 1 is empty).
  const SynthRun run = runScenario(
      "duration 2\nnoise off -32\nrise 0\naircraft 4840D6 lat=52 lon=4 gs=300 alt=30000 level=25 replies=3\n",
      SynthIqType::Rtl);
  const double amplitude = 2 * synthRtlFullScale * std::pow(10.0, (-32 + 25) / 20.0);
  int straddling = 0;
  for (const auto& f : run.result.frames) {
    EXPECT_NEAR(std::sqrt(run.magnitude(f.sample)), amplitude * (1 - f.offset), 2.5) << f.offset;
    EXPECT_NEAR(std::sqrt(run.magnitude(f.sample + 1)), amplitude * f.offset, 2.5) << f.offset;
    if (f.offset > 0.3 && f.offset < 0.7) ++straddling;
  }
  EXPECT_GT(straddling, 5);
}

TEST(Modulation, CarrierPhaseTurnsWithTheFrequencyOffsetAndDiffersPerFrame) {
  const double hz = 20000;
  for (SynthIqType type : {SynthIqType::Rtl, SynthIqType::Airspy10}) {
    SCOPED_TRACE(synthIqTypeName(type));
    const SynthRun run = runScenario(
        "duration 3\nnoise off -32\ntiming aligned\nrise 0\n"
        "aircraft 4840D6 lat=52 lon=4 gs=300 alt=30000 level=25 freq=20000 replies=3\n",
        type, SynthAirspyCoding::Signed);
    const double rate = static_cast<double>(synthSampleRate(type));
    std::vector<double> startPhases;
    for (const auto& f : run.result.frames) {
      const double first = std::arg(run.sample(f.sample));
      startPhases.push_back(first);
      // The 1.0, 3.5 and 4.5 us preamble pulses and the first data bit's pulse.
      const int firstBitChip = frameBit(f.bytes, 0) ? 16 : 17;
      for (int chip : {2, 7, 9, firstBitChip}) {
        const uint64_t n = f.sample + static_cast<uint64_t>(chip) * run.factor();
        const double expected = first + 2 * M_PI * hz * static_cast<double>(n - f.sample) / rate;
        EXPECT_NEAR(std::remainder(std::arg(run.sample(n)) - expected, 2 * M_PI), 0, 0.05) << "chip " << chip;
      }
    }
    ASSERT_GT(startPhases.size(), 5u);
    const auto [low, high] = std::minmax_element(startPhases.begin(), startPhases.end());
    EXPECT_GT(*high - *low, 2.0);
  }
}

TEST(Modulation, NoiseFloorMatchesItsSetting) {
  for (SynthIqType type : allTypes) {
    SCOPED_TRACE(synthIqTypeName(type));
    const SynthRun run = runScenario("duration 0.05\nseed 9\nnoise -30\n", type);
    const double fullScale = type == SynthIqType::Rtl ? 2 * synthRtlFullScale : synthAirspyFullScale;
    double sum = 0;
    for (size_t k = 0; k < run.pairs(); ++k) sum += run.magnitude(k);
    const double expected = fullScale * fullScale * 1e-3 + (type == SynthIqType::Rtl ? 0.67 : 0.17);
    EXPECT_NEAR(sum / static_cast<double>(run.pairs()), expected, expected * 0.03);
  }
}

TEST(Modulation, FileSizesFollowTheTypeAndDuration) {
  const struct {
    SynthIqType type;
    size_t bytes;
  } cases[] = {{SynthIqType::Rtl, 200000}, {SynthIqType::Airspy6, 1200000}, {SynthIqType::Airspy10, 2000000}};
  for (const auto& c : cases) {
    const SynthRun run = runScenario("duration 0.05\n", c.type);
    EXPECT_EQ(run.bytes.size(), c.bytes) << synthIqTypeName(c.type);
    EXPECT_EQ(run.result.samples * synthBytesPerPair(c.type), c.bytes);
  }
}

}  // namespace
