// The real-sample types: packing, where the carrier sits, what a level means, clipping, and
// a stream that does not depend on how a receiver cuts it into blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <stdexcept>

#include "tests/tools/synth_fixture.h"
#include "tools/synth/raw_samples.h"

namespace {

struct RawRun {
  SynthIqType type = SynthIqType::Raw10;
  std::vector<uint16_t> samples;
  SynthFileResult result;
  uint32_t factor() const { return synthOversamplingFactor(type); }
  double rate() const { return static_cast<double>(synthSampleRate(type)); }
  double at(size_t n) const { return samples[n] - 2048.0; }
  // Two samples a quarter carrier period apart: the squared amplitude inside a pulse.
  double pairPower(size_t n) const { return at(n) * at(n) + at(n + 1) * at(n + 1); }
};

RawRun runRaw(const std::string& text, SynthIqType type) {
  RawRun run;
  run.type = type;
  run.result = synthesiseRawToMemory(parseSynthScenarioText(text), type, run.samples);
  return run;
}

std::complex<double> dft(const RawRun& run, size_t from, size_t count, double hz) {
  std::complex<double> sum;
  const double w = -2 * M_PI * hz / run.rate();
  for (size_t n = 0; n < count; ++n) sum += run.at(from + n) * std::polar(1.0, w * static_cast<double>(n));
  return sum;
}

double db(double ratio) { return 10 * std::log10(ratio); }

const SynthIqType rawTypes[] = {SynthIqType::Raw10, SynthIqType::Raw12, SynthIqType::Raw20};

TEST(RawPacking, FollowsTheLayoutPadsTheLastGroupAndRoundTrips) {
  const uint16_t samples[8] = {0xABC, 0x123, 0x456, 0x789, 0xDEF, 0x9A1, 0x345, 0x678};
  uint32_t words[3] = {};
  EXPECT_EQ(packRawSamples(samples, 8, words), 3u);
  EXPECT_EQ(words[0], 0xABC12345u);
  EXPECT_EQ(words[1], 0x6789DEF9u);
  EXPECT_EQ(words[2], 0xA1345678u);

  // Read as one 96-bit word, most significant bit first, sample k is bits 12k .. 12k + 11.
  for (size_t k = 0; k < 8; ++k) {
    uint16_t one[8] = {};
    one[k] = 0xFFF;
    packRawSamples(one, 8, words);
    for (size_t bit = 0; bit < 96; ++bit) {
      const bool set = (words[bit / 32] >> (31 - bit % 32)) & 1;
      ASSERT_EQ(set, bit >= 12 * k && bit < 12 * k + 12) << "sample " << k << " bit " << bit;
    }
  }

  // 11 samples: two groups, the second filled with zero signal.
  std::vector<uint16_t> eleven = {0, 4095, 1, 4094, 2048, 7, 3000, 100, 4095, 0, 5};
  std::vector<uint32_t> packed(synthPackedWords(eleven.size()));
  ASSERT_EQ(packed.size(), 6u);
  EXPECT_EQ(packRawSamples(eleven.data(), eleven.size(), packed.data()), 6u);
  std::vector<uint16_t> back(16);
  EXPECT_EQ(unpackRawSamples(packed.data(), packed.size(), back.data()), 16u);
  std::vector<uint16_t> expected = eleven;
  expected.resize(16, 2048);
  EXPECT_EQ(back, expected);

  std::vector<uint16_t> many(8000);
  uint32_t state = 12345;
  for (auto& s : many) s = static_cast<uint16_t>((state = state * 1103515245u + 12345u) >> 20);
  packed.assign(synthPackedWords(many.size()), 0);
  packRawSamples(many.data(), many.size(), packed.data());
  back.assign(many.size(), 0);
  EXPECT_EQ(unpackRawSamples(packed.data(), packed.size(), back.data()), many.size());
  EXPECT_EQ(back, many);
}

TEST(RawCarrier, SitsAtAQuarterOfTheRatePlusTheOffsetWithItsOwnPhasePerFrame) {
  const struct {
    SynthIqType type;
    double offsetHz;
  } cases[] = {{SynthIqType::Raw10, 0}, {SynthIqType::Raw12, 150000}, {SynthIqType::Raw20, -250000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(synthIqTypeName(c.type));
    const RawRun run = runRaw("duration 3\nseed 4\nnoise off\naircraft 4840D6 callsign=KLM1023 lat=52 lon=4 gs=300 "
                              "alt=30000 level=20 replies=0 df11=no freq=" + std::to_string(c.offsetHz) + "\n",
                              c.type);
    ASSERT_GE(run.result.frames.size(), 8u);
    const double carrier = run.rate() / 4 + c.offsetHz;
    std::vector<double> phases;
    for (const auto& f : run.result.frames) {
      const size_t count = static_cast<size_t>(120 * 2 * run.factor());
      double best = 0, bestHz = 0;
      for (double hz = carrier - 300000; hz <= carrier + 300000; hz += 4000) {
        const double p = std::norm(dft(run, f.sample, count, hz));
        if (p > best) best = p, bestHz = hz;
      }
      EXPECT_NEAR(bestHz, carrier, 4000);
      const std::complex<double> line = dft(run, f.sample, count, carrier);
      EXPECT_GT(db(std::norm(line) / std::norm(dft(run, f.sample, count, carrier + 60000))), 10);
      EXPECT_GT(db(std::norm(line) / std::norm(dft(run, f.sample, count, carrier - 60000))), 10);
      // A real carrier above fs/4 is not one below it.
      if (c.offsetHz != 0) {
        EXPECT_GT(db(std::norm(line) / std::norm(dft(run, f.sample, count, run.rate() / 4 - c.offsetHz))), 15);
      }
      phases.push_back(std::arg(line));
    }
    const auto [low, high] = std::minmax_element(phases.begin(), phases.end());
    EXPECT_GT(*high - *low, 2.0);
  }
}

TEST(RawLevels, MeanTheSignalToNoiseRatioInTwoMegahertz) {
  // The floor is the noise in 2 MHz against a full-scale carrier, the scenario's DBFS less 8.
  const struct {
    SynthIqType type;
    std::string dbfs;  // the scenario's noise setting, empty for the default
    double floorDbfs;
    double level;
  } cases[] = {{SynthIqType::Raw10, "", -40, 20},
               {SynthIqType::Raw12, "-24", -32, 10},
               {SynthIqType::Raw20, "-32", -40, 25},
               {SynthIqType::Raw20, "-45", -53, 15}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(synthIqTypeName(c.type)) + " noise " + c.dbfs);
    const std::string global = "seed 3\ntiming aligned\nrise 0\n";
    const RawRun clean = runRaw("duration 2\nnoise off " + c.dbfs + "\n" + global +
                                    "aircraft 4840D6 lat=52 lon=4 gs=300 alt=30000 replies=3 level=" +
                                    std::to_string(c.level) + "\n",
                                c.type);
    ASSERT_GT(clean.result.frames.size(), 5u);
    // Inside the four preamble pulses (chips 0, 2, 7, 9): A^2 from quarter-period pairs.
    double power = 0;
    int pairs = 0;
    const uint32_t p = clean.factor();
    for (const auto& f : clean.result.frames) {
      ASSERT_EQ(f.offset, 0.0);
      for (uint32_t chip : {0u, 2u, 7u, 9u})
        for (uint32_t k = 0; k + 1 < p; ++k, ++pairs) power += clean.pairPower(f.sample + chip * p + k);
    }
    const double amplitudeSquared = power / pairs;

    const RawRun noise = runRaw("duration 0.05\n" + global + (c.dbfs.empty() ? "" : "noise " + c.dbfs + "\n"), c.type);
    double sum = 0, squares = 0;
    for (size_t n = 0; n < noise.samples.size(); ++n) sum += noise.at(n), squares += noise.at(n) * noise.at(n);
    const double count = static_cast<double>(noise.samples.size());
    EXPECT_NEAR(sum / count, 0, 0.5);
    const double inBand = (squares / count) * 4e6 / noise.rate();
    EXPECT_NEAR(db(inBand / (2047.0 * 2047.0 / 2)), c.floorDbfs, 0.1);
    EXPECT_NEAR(db((amplitudeSquared / 2) / inBand), c.level, 0.1);
  }
}

TEST(RawClipping, NoneUpTo30dBAboveTheDefaultFloorAndSaturatingBeyond) {
  for (SynthIqType type : rawTypes) {
    SCOPED_TRACE(synthIqTypeName(type));
    const RawRun run = runRaw("duration 1\nseed 8\nmodeac 3\nfreq-offset 100000\n"
                              "aircraft 4840D6 callsign=KLM1023 lat=52 lon=4 gs=300 alt=30000 replies=5 level=30\n"
                              "aircraft 3C6586 lat=52 lon=4 gs=300 alt=30000 replies=5 level=3\n",
                              type);
    const auto [low, high] = std::minmax_element(run.samples.begin(), run.samples.end());
    EXPECT_GT(*low, 0);
    EXPECT_LT(*high, 4095);
    const double amplitude = 2047 * std::pow(10.0, (-40 + 30) / 20.0);
    EXPECT_GT(*high - 2048, 0.9 * amplitude);
  }

  // 30 dB more than the same frames: samples saturate at the rails, never wrap around.
  const char* scenario = "duration 1\nseed 8\nnoise off\nmodeac 3\naircraft 4840D6 lat=52 lon=4 gs=300 alt=30000 replies=5 level=";
  const RawRun normal = runRaw(std::string(scenario) + "20\n", SynthIqType::Raw20);
  const RawRun loud = runRaw(std::string(scenario) + "50\n", SynthIqType::Raw20);
  ASSERT_EQ(normal.samples.size(), loud.samples.size());
  size_t clipped = 0;
  for (size_t n = 0; n < normal.samples.size(); ++n) {
    const double a = normal.at(n), b = loud.at(n);
    if (std::fabs(a) >= 2) {
      ASSERT_EQ(a > 0, b > 0) << n;
    }
    ASSERT_GE(std::fabs(b), std::fabs(a)) << n;
    if (std::fabs(a) > 66) {
      ASSERT_TRUE(loud.samples[n] == 0 || loud.samples[n] == 4095) << n;
      ++clipped;
    } else if (std::fabs(a) < 60) {
      ASSERT_TRUE(loud.samples[n] != 0 && loud.samples[n] != 4095) << n;
    }
  }
  EXPECT_GT(clipped, 1000u);
}

TEST(RawStream, SameSeedSameSamplesHoweverAReceiverCutsIt) {
  const std::string text =
      "duration 0.2000005\nseed 17\nfreq-offset 20000\noverlap 0.2\nmodeac 4\n"
      "aircraft 4840D6 callsign=KLM1023 lat=52 lon=4 gs=420 alt=31000 replies=20\n"
      "aircraft 3C6586 callsign=DLH4AB lat=52.3 lon=4.6 ground=yes gs=14 replies=20 level=25\n";
  const SynthScenario scenario = parseSynthScenarioText(text);
  const SynthIqType type = SynthIqType::Raw12;
  std::vector<uint16_t> whole, again;
  const SynthFileResult first = synthesiseRawToMemory(scenario, type, whole);
  synthesiseRawToMemory(scenario, type, again);
  ASSERT_EQ(whole.size(), 2400006u);
  EXPECT_TRUE(whole == again);
  ASSERT_GT(first.frames.size(), 10u);
  SynthScenario other = scenario;
  other.seed = 18;
  synthesiseRawToMemory(other, type, again);
  EXPECT_FALSE(whole == again);

  // Unpacked bytes are the samples' host-order words.
  std::vector<uint8_t> bytes;
  synthesiseToMemory(scenario, type, SynthAirspyCoding::Absolute, bytes);
  ASSERT_EQ(bytes.size(), 2 * whole.size());
  EXPECT_EQ(std::memcmp(bytes.data(), whole.data(), bytes.size()), 0);

  // Blocks of odd sizes give the same samples and frames.
  SynthSession session(scenario, type, SynthAirspyCoding::Absolute, whole.size());
  std::vector<uint16_t> cut(whole.size() + 100, 0);
  std::vector<SynthSentFrame> sent;
  const size_t sizes[] = {131072, 1, 4097, 65536, 333, 70001};
  size_t done = 0;
  for (int i = 0; done < whole.size(); ++i) {
    const size_t n = session.renderRaw(cut.data() + done, sizes[i % 6], sent);
    ASSERT_GT(n, 0u);
    done += n;
  }
  EXPECT_EQ(session.renderRaw(cut.data(), 10, sent), 0u);
  cut.resize(done);
  EXPECT_TRUE(cut == whole);
  ASSERT_EQ(sent.size(), first.frames.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].sample, first.frames[i].sample);
    EXPECT_EQ(sent[i].bytes, first.frames[i].bytes);
  }

  // Packed blocks of 131,072 samples: the stream ends 6 samples into a group.
  SynthSession packedSession(scenario, type, SynthAirspyCoding::Absolute, whole.size());
  std::vector<uint32_t> words;
  std::vector<uint32_t> block(synthPackedWords(131072));
  sent.clear();
  size_t samples = 0;
  while (size_t n = packedSession.renderRawPacked(block.data(), 131072, sent)) {
    words.insert(words.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(synthPackedWords(n)));
    samples += n;
  }
  EXPECT_EQ(samples, whole.size());
  std::vector<uint32_t> inMemory;
  synthesisePackedToMemory(scenario, type, inMemory);
  EXPECT_TRUE(words == inMemory);
  std::vector<uint16_t> unpacked(words.size() / 3 * 8);
  unpackRawSamples(words.data(), words.size(), unpacked.data());
  ASSERT_EQ(unpacked.size(), whole.size() + 2);
  EXPECT_TRUE(std::equal(whole.begin(), whole.end(), unpacked.begin()));
  EXPECT_EQ(unpacked[whole.size()], 2048);
  EXPECT_EQ(unpacked[whole.size() + 1], 2048);

  SynthSession iq(scenario, SynthIqType::Rtl, SynthAirspyCoding::Absolute, 0);
  EXPECT_THROW(iq.renderRaw(cut.data(), 10, sent), std::logic_error);
}

TEST(RawList, DemodTimeIsTheEndOfTheFramesWindow) {
  // Clean, aligned long frames: the last pulse ends on the window's last sample (last bit 0)
  // or one chip before it (last bit 1), and nothing follows until the window is over.
  for (SynthIqType type : rawTypes) {
    SCOPED_TRACE(synthIqTypeName(type));
    const RawRun run = runRaw("duration 2\nseed 6\nnoise off\ntiming aligned\nrise 0\n"
                              "aircraft 4840D6 callsign=KLM1023 lat=52 lon=4 gs=300 alt=30000 replies=4 level=20\n",
                              type);
    const uint64_t p = run.factor();
    const double amplitudeSquared = std::pow(2047 * std::pow(10.0, -20 / 20.0), 2);
    int checked = 0;
    for (const auto& f : run.result.frames) {
      EXPECT_EQ(f.demod, f.sample + 240 * p);
      EXPECT_EQ(f.timestamp, f.sample * 6 / p);
      if (f.length != 14) continue;
      const uint64_t end = frameBit(f.bytes, 111) ? f.demod - p : f.demod;
      EXPECT_NEAR(run.pairPower(end - 2), amplitudeSquared, amplitudeSquared * 0.05);
      for (uint64_t n = end; n < f.demod + 2 * p; ++n) ASSERT_EQ(run.samples[n], 2048) << n - f.sample;
      ++checked;
    }
    EXPECT_GT(checked, 10);
  }
}

}  // namespace
