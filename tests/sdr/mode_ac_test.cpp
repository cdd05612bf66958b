#include "tests/sdr/demod_signal.h"

#include <gtest/gtest.h>

namespace {

// F1 begins on a sample boundary at this tick (chip 1000, so that at factor 1 it fills bin 1
// of the window that starts one sample earlier).
constexpr uint64_t f1Tick = 1000 * ticksPerChip;
constexpr uint32_t strong = 20000;

std::vector<DemodFrame> replies(uint32_t factor, const std::vector<int>& slots, bool rbs = true) {
  SignalBuilder s(factor, 2000 * factor);
  s.modeAC(f1Tick, slots, strong);
  DemodHarness h(factor, rbs);
  h.feed(s.data);
  return h.ofLength(2);
}

}  // namespace

TEST(ModeACDemodulator, IdentityAndSpi) {
  struct Case {
    uint32_t code;  // octal ABCD
    bool spi;
    std::vector<uint8_t> bytes;
    bool atFactor1;
  };
  // At 2 MS/s the 1.45 us grid drifts across the samples, and with F1 on a sample boundary the
  // gaps of a reply with every code pulse present hold too much of the pulses beside them.
  const Case cases[] = {
      {07700, false, {0x77, 0x00}, true}, {07700, true, {0x77, 0x80}, true}, {01200, false, {0x12, 0x00}, true},
      {04321, false, {0x43, 0x21}, true}, {00003, false, {0x00, 0x03}, true}, {07777, true, {0x77, 0xF7}, false},
  };
  for (uint32_t factor : {1u, 3u, 5u}) {
    for (const auto& c : cases) {
      if (factor == 1 && !c.atFactor1) continue;
      SCOPED_TRACE("factor " + std::to_string(factor) + " code " + hexOf(c.bytes));
      const auto found = replies(factor, modeACSlots(c.code, c.spi));
      ASSERT_FALSE(found.empty());
      // No repeat test: a reply that passes at neighbouring samples is handed on each time.
      for (const auto& f : found) EXPECT_EQ(f.bytes, c.bytes);
      if (factor == 1) {
        ASSERT_EQ(found.size(), 1u);
        // The newest sample of a window whose bin 1 holds F1.
        EXPECT_EQ(found[0].timestamp, 6u * (1000 - 1 + 239));
      }
      if (factor == 5) {
        EXPECT_GE(found.size(), 2u);
      }
    }
  }
  EXPECT_TRUE(replies(1, modeACSlots(07700, false), false).empty()) << "only with rbs";
}

TEST(ModeACDemodulator, RejectedReplies) {
  struct Case {
    const char* name;
    std::vector<int> slots;
  };
  std::vector<Case> cases = {
      {"0000", modeACSlots(0, false)},
      {"0001", modeACSlots(1, false)},
      {"0002", modeACSlots(2, false)},
  };
  // 4500 has no pulse 14 slots before any of the extras, which would make the extra pulse
  // the F2 of a second, shifted reply.
  for (int extra : {7, 15, 16, 18, 23}) {
    std::vector<int> slots = modeACSlots(04500, false);
    slots.push_back(extra);
    cases.push_back({extra == 7 ? "X pulse" : "pulse after F2", slots});
  }
  for (uint32_t factor : {1u, 5u}) {
    for (const auto& c : cases) {
      SCOPED_TRACE("factor " + std::to_string(factor) + ": " + c.name);
      EXPECT_TRUE(replies(factor, c.slots).empty());
    }
  }
}

// Energy between two code slots: a gap must stay below half of the pulses beside it.
TEST(ModeACDemodulator, GapsMustBeClean) {
  for (uint32_t factor : {1u, 5u}) {
    for (const auto& [gapAmplitude, accepted] : {std::pair{strong / 20, true}, std::pair{strong, false}}) {
      SCOPED_TRACE("factor " + std::to_string(factor) + " gap " + std::to_string(gapAmplitude));
      SignalBuilder s(factor, 2000 * factor);
      s.modeAC(f1Tick, modeACSlots(07700, false), strong);
      // Halfway between A1 (slot 2) and C2 (slot 3).
      s.pulse(f1Tick + 2 * 87 + 44, 27, gapAmplitude);
      DemodHarness h(factor, true);
      h.feed(s.data);
      const auto found = h.ofLength(2);
      EXPECT_EQ(!found.empty(), accepted);
      for (const auto& f : found) EXPECT_EQ(f.bytes, (std::vector<uint8_t>{0x77, 0x00}));
    }
  }
}

// Factor 1: F1 covers 27 ticks of one sample, so its signal is a * 27 / 30; F2 at 20.3 us falls
// 12 ticks into one sample and 15 into the next, so its signal is a * 12 / 30 + a * 15 / 30.
TEST(ModeACDemodulator, FramingSquelchAndLevel) {
  struct Case {
    const char* name;
    uint32_t f1, f2, code;
    bool found;
    uint8_t level;
  };
  const Case cases[] = {
      {"F1 at 2047", 2275, strong, strong, true, 0},
      {"F1 at 2046", 2274, strong, strong, false, 0},
      {"F2 at 2047", strong, 2275, strong, true, 0},
      {"F2 at 2046", strong, 2274, strong, false, 0},
      // signal = (30000 + 13333 + 16667) / 2 = 30000
      {"signal 30000", 33334, 33334, strong, true, 117},
      {"signal above 65,000", 1000000, 1000000, 1000000, true, 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SignalBuilder s(1, 2000);
    s.modeAC(f1Tick, modeACSlots(07700, false), c.f1, c.f2, c.code);
    DemodHarness h(1, true);
    h.feed(s.data);
    const auto found = h.ofLength(2);
    ASSERT_EQ(found.size(), c.found ? 1u : 0u);
    if (c.found) {
      EXPECT_EQ(found[0].bytes, (std::vector<uint8_t>{0x77, 0x00}));
      if (c.level) {
        EXPECT_EQ(found[0].signal, c.level);
      }
    }
  }
}
