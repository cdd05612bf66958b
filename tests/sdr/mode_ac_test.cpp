#include "tests/sdr/demod_signal.h"
#include "tests/sdr/mode_ac_signal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

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
  };
  const Case cases[] = {
      {07700, false, {0x77, 0x00}}, {07700, true, {0x77, 0x80}}, {01200, false, {0x12, 0x00}},
      {04321, false, {0x43, 0x21}}, {00003, false, {0x00, 0x03}}, {07777, true, {0x77, 0xF7}},
  };
  for (uint32_t factor : {1u, 3u, 5u}) {
    for (const auto& c : cases) {
      SCOPED_TRACE("factor " + std::to_string(factor) + " code " + hexOf(c.bytes));
      const auto found = replies(factor, modeACSlots(c.code, c.spi));
      // Once, although at factors 3 and 5 the reply passes at neighbouring samples.
      ASSERT_EQ(found.size(), 1u);
      EXPECT_EQ(found[0].bytes, c.bytes);
      if (factor == 1) {
        // The newest sample of a window whose bin 1 holds F1.
        EXPECT_EQ(found[0].timestamp, 6u * (1000 - 1 + 239));
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

// Energy across the gap between two code slots: a gap must stay below half of the pulses
// beside it.
TEST(ModeACDemodulator, GapsMustBeClean) {
  for (uint32_t factor : {1u, 5u}) {
    for (const auto& [gapAmplitude, accepted] : {std::pair{strong / 20, true}, std::pair{strong, false}}) {
      SCOPED_TRACE("factor " + std::to_string(factor) + " gap " + std::to_string(gapAmplitude));
      SignalBuilder s(factor, 2000 * factor);
      s.modeAC(f1Tick, modeACSlots(07700, false), strong);
      // Between A1 (slot 2, ending at tick 201) and C2 (slot 3, from tick 261).
      s.pulse(f1Tick + 206, 50, gapAmplitude);
      DemodHarness h(factor, true);
      h.feed(s.data);
      const auto found = h.ofLength(2);
      EXPECT_EQ(!found.empty(), accepted);
      for (const auto& f : found) EXPECT_EQ(f.bytes, (std::vector<uint8_t>{0x77, 0x00}));
    }
  }
}

// A slot read between the low level (an eighth of the framing pulses) and the one-level (a
// quarter) may hold a pulse or not: nothing is handed on rather than a guess.
TEST(ModeACDemodulator, UncertainSlotDropsTheReply) {
  // Factor 1, F1 and F2 at 18000 each: low level 4500, one-level 9000; C1 reads 27/30 of its
  // amplitude.
  for (const auto& [c1, found] : {std::pair{2000u, true}, std::pair{7000u, false}, std::pair{12000u, true}}) {
    SCOPED_TRACE("C1 at " + std::to_string(c1));
    SignalBuilder s(1, 2000);
    s.modeAC(f1Tick, modeACSlots(07700, false), strong);
    s.pulse(f1Tick + 87, 27, c1);
    DemodHarness h(1, true);
    h.feed(s.data);
    const auto out = h.ofLength(2);
    ASSERT_EQ(out.size(), found ? 1u : 0u);
    if (found) {
      EXPECT_EQ(out[0].bytes, (std::vector<uint8_t>{0x77, static_cast<uint8_t>(c1 > 9000 ? 0x10 : 0x00)}));
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
      {"F1 at 2047", 2275, 4000, strong, true, 0},
      {"F1 at 2046", 2274, 4000, strong, false, 0},
      {"F2 at 2047", 4000, 2275, strong, true, 0},
      {"F2 at 2046", 4000, 2274, strong, false, 0},
      // F1 18000; F2 4500 is a quarter of it, 4498 less.
      {"F2 a quarter of F1", strong, 5000, strong, true, 0},
      {"F2 below a quarter of F1", strong, 4998, strong, false, 0},
      // F2 18000; F1 4500 and 4498.
      {"F1 a quarter of F2", 5000, strong, strong, true, 0},
      {"F1 below a quarter of F2", 4998, strong, strong, false, 0},
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

// Every code at every start offset across one bin, with no noise: each reply is handed on
// exactly once, with its own bytes and a stamp within one bin of F1's window.
TEST(ModeACDemodulator, EveryCodeAtEveryOffsetOnce) {
  constexpr double spacingUs = 50, firstUs = 30;
  constexpr uint32_t offsets = 20;  // 25 ns steps across the 0.5 us bin
  for (uint32_t factor : {1u, 3u, 5u}) {
    for (uint32_t o = 0; o < offsets; ++o) {
      const double offsetUs = 0.5 * o / offsets;
      PowerSignal s(factor, static_cast<size_t>((firstUs + spacingUs * 4096 + 150) * 2 * factor));
      std::vector<uint32_t> values(4096);
      for (uint32_t code = 0; code < 4096; ++code) {
        values[code] = modeACValue(code, code % 3 == 1);
        s.modeAC(firstUs + spacingUs * code + offsetUs, values[code], 100);
      }
      DemodHarness h(factor, true);
      h.feed(s.power());
      std::vector<std::vector<DemodFrame>> byReply(4096);
      size_t stray = 0;
      std::string examples;
      for (const auto& f : h.ofLength(2)) {
        // F1 in bin 1 of the window: the stamp is of the sample 239 bins after F1's bin.
        const double f1Ticks = (f.timestamp + 6.0 / factor) - 6.0 * 239;
        const double index = (f1Ticks / 12.0 - firstUs - offsetUs) / spacingUs;
        const auto i = static_cast<long>(std::lround(index));
        if (i < 0 || i >= 4096 || std::fabs((index - i) * spacingUs * 12 + 3) > 6) {
          if (++stray <= 3) examples += " stray " + hexOf(f.bytes) + " at " + std::to_string((index - i) * spacingUs * 12);
        } else {
          byReply[i].push_back(f);
        }
      }
      size_t wrong = 0;
      for (uint32_t code = 0; code < 4096; ++code) {
        const bool expected = (values[code] & 0xFFFF) >= 3;
        const auto& got = byReply[code];
        const bool ok = expected ? got.size() == 1 && got[0].bytes == modeACBytes(values[code]) : got.empty();
        if (!ok && ++wrong <= 3) {
          examples += " " + std::to_string(code) + ":" + std::to_string(got.size());
          for (const auto& g : got) examples += " " + hexOf(g.bytes) + "@" + std::to_string(g.timestamp);
        }
      }
      EXPECT_EQ(wrong + stray, 0u) << "factor " << factor << " offset " << offsetUs << " us: " << wrong
                                   << " replies wrong, " << stray << " stray outputs;" << examples;
    }
  }
}

// The repeat test spans two bins only: the same code again 40 us later, as soon as it can
// follow without its pulses falling into the first reply's slots, is a reply of its own.
TEST(ModeACDemodulator, SameCodeAgainIsAnotherReply) {
  for (uint32_t factor : {1u, 3u, 5u}) {
    SCOPED_TRACE("factor " + std::to_string(factor));
    PowerSignal s(factor, 400 * factor);
    s.modeAC(20, modeACValue(07721, true), 100);
    s.modeAC(60, modeACValue(07721, true), 100);
    DemodHarness h(factor, true);
    h.feed(s.power());
    const auto found = h.ofLength(2);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].bytes, modeACBytes(modeACValue(07721, true)));
    EXPECT_EQ(found[1].bytes, found[0].bytes);
    EXPECT_NEAR(static_cast<double>(found[1].timestamp - found[0].timestamp), 40 * 12, 6);
  }
}
