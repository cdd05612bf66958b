// The Mode A/C detector leaves Mode S output alone: on scenes that mix Mode S frames, Mode A/C
// replies (some on top of the frames) and noise, at factors 1, 3 and 5, the Mode S frames are
// byte for byte, stamp for stamp and level for level those recorded in mode_ac_mode_s_golden.h
// from the demodulator before the Mode A/C detector last changed, with "rbs" on and off.

#include "tests/sdr/demod_signal.h"
#include "tests/sdr/mode_ac_mode_s_golden.h"
#include "tests/sdr/mode_ac_signal.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// 20 ms: a frame or a reply every 140 to 200 us at a random fraction of a microsecond, 10 to
// 30 dB above the noise; DF 17 clean and with one wrong bit, DF 11, DF 4 and DF 20 with random
// contents, and a Mode A/C reply, on its own or starting inside the Mode S frame.
std::vector<uint32_t> mixedScene(uint32_t factor) {
  PowerSignal s(factor, 40000 * factor);
  std::mt19937 random(1090);
  const auto amplitude = [&] { return 40.0 + random() % 360; };
  for (double t = 50; t < 19800;) {
    const double at = t + (random() % 1000) / 1000.0;
    const uint32_t kind = random() % 6;
    std::vector<uint8_t> bytes(kind <= 1 || kind == 4 ? 14 : 7);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    switch (kind) {
      case 0: case 1: bytes[0] = 0x8D; bytes = withParity(bytes); break;
      case 2: bytes[0] = 0x5D; bytes = withParity(bytes); break;
      case 3: bytes[0] = static_cast<uint8_t>(0x20 | (bytes[0] & 7)); break;
      case 4: bytes[0] = static_cast<uint8_t>(0xA0 | (bytes[0] & 7)); break;
      default: break;
    }
    if (kind == 1) bytes = flipBits(bytes, {static_cast<int>(8 + random() % 100)});
    // The draws one by one, in the order of the recording: several in one call's arguments
    // would come in an order each compiler and target chooses.
    if (kind == 5) {
      const double a = amplitude();
      const bool spi = random() % 2;
      const uint32_t code = random() % 4096;
      s.modeAC(at, modeACValue(code, spi), a);
    } else {
      s.modeS(at, bytes, amplitude());
      if (random() % 4 == 0) {
        const double a = amplitude();
        const uint32_t code = random() % 4096;
        const double delay = random() % 100;
        s.modeAC(at + delay, modeACValue(code, false), a);
      }
    }
    t += 140 + random() % 60;
  }
  return s.power(20, 7);
}

}  // namespace

TEST(ModeACModeSUnchanged, FramesAsRecorded) {
  for (uint32_t factor : {1u, 3u, 5u}) {
    const auto samples = mixedScene(factor);
    std::vector<DemodFrame> recorded;
    for (const auto& g : modeSGolden)
      if (g.factor == factor) recorded.push_back({hexBytes(g.hex), g.timestamp, g.signal});
    ASSERT_GT(recorded.size(), 50u);
    for (bool rbs : {true, false}) {
      SCOPED_TRACE("factor " + std::to_string(factor) + (rbs ? " with rbs" : " without rbs"));
      DemodHarness h(factor, rbs);
      h.feed(samples);
      std::vector<DemodFrame> modeS;
      for (const auto& f : h.frames)
        if (f.bytes.size() != 2) modeS.push_back(f);
      EXPECT_EQ(modeS, recorded);
      if (rbs) {
        EXPECT_GT(h.ofLength(2).size(), 0u) << "the scene must reach the detector";
      }
    }
  }
}
