#include "tests/sdr/demod_signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

// Chips (0.5 us) from the start of the signal to each frame's first preamble pulse.
constexpr uint64_t chip(uint64_t n) { return n * ticksPerChip; }

// The window's newest sample when its first bin first holds the first preamble pulse well
// enough to pass: with pulses of factor samples, up to (factor - 1) / 2 samples early.
uint64_t expectedTimestamp(uint32_t factor, uint64_t startChip) {
  const uint64_t newest = factor * (startChip + SdrDecoder::windowBins) - 1 - (factor - 1) / 2;
  return newest * 6 / factor;
}

std::vector<uint8_t> df11Frame(uint32_t interrogator) {
  return withParity({0x5D, 0x48, 0x40, 0xD6, 0, 0, 0}, interrogator);
}
std::vector<uint8_t> df4Frame() { return {0x20, 0x00, 0x1F, 0x1C, 0x8A, 0x77, 0x01}; }
std::vector<uint8_t> df20Frame() {
  return {0xA0, 0x00, 0x17, 0x18, 0x20, 0x05, 0x35, 0x32, 0xD8, 0xC0, 0x00, 0x12, 0x34, 0x56};
}

size_t countOf(const std::vector<DemodFrame>& frames, const std::vector<uint8_t>& bytes) {
  return static_cast<size_t>(
      std::count_if(frames.begin(), frames.end(), [&](const DemodFrame& f) { return f.bytes == bytes; }));
}

std::vector<Routine> routinesFor(uint32_t factor) {
  std::vector<Routine> routines = {Routine::Process, Routine::General};
  if (factor == 1) routines.push_back(Routine::Factor1);
  if (factor == 5) routines.push_back(Routine::Factor5);
  return routines;
}

struct Placed {
  std::vector<uint8_t> bytes;
  uint64_t startChip;
};

// Noise, four Mode S frames of different kinds and a Mode A/C reply.
SignalBuilder busySignal(uint32_t factor, std::vector<Placed>& placed) {
  SignalBuilder s(factor, 6000 * factor);
  placed = {{df17Frame(), 760}, {df11Frame(0), 1300}, {df4Frame(), 2000}, {df20Frame(), 3100}};
  for (const auto& p : placed) s.modeS(chip(p.startChip), p.bytes, 6000);
  s.modeAC(chip(4500), modeACSlots(01200, false), 6000);
  s.noise(300, 7 * factor);
  return s;
}

}  // namespace

// Every routine gives the same frames, timestamps and levels, whole or fed in pieces through a
// ring that wraps; and the same frame bytes come out at every factor.
TEST(ModeSDemodulator, RoutinesAndFeedingAgreeAtFactors1To5) {
  for (uint32_t factor : {1u, 3u, 5u}) {
    SCOPED_TRACE("factor " + std::to_string(factor));
    std::vector<Placed> placed;
    const SignalBuilder signal = busySignal(factor, placed);

    DemodHarness reference(factor, true);
    reference.feed(signal.data, Routine::Process);
    const std::vector<DemodFrame> expected = reference.frames;
    for (const auto& p : placed) {
      SCOPED_TRACE(hexOf(p.bytes));
      ASSERT_EQ(countOf(expected, p.bytes), 1u);
      const auto it = std::find_if(expected.begin(), expected.end(), [&](const DemodFrame& f) { return f.bytes == p.bytes; });
      EXPECT_EQ(it->timestamp, expectedTimestamp(factor, p.startChip));
    }
    EXPECT_FALSE(reference.ofLength(2).empty());
    if (factor == 1) {
      EXPECT_EQ(expected.front().timestamp, 5994u);  // window ending at sample 999
    }

    for (Routine routine : routinesFor(factor)) {
      SCOPED_TRACE(routineName(routine));
      {
        DemodHarness whole(factor, true);
        whole.feed(signal.data, routine);
        EXPECT_EQ(whole.frames, expected);
      }
      {
        // Pieces of 1 to 700 samples through a ring of 4099 slots, so that frames straddle
        // calls and the read index wraps.
        DemodHarness pieces(factor, true);
        const uint32_t ringSize = 4099;
        std::vector<uint32_t> ring(ringSize);
        std::mt19937 random(factor);
        uint32_t write = 0;
        size_t next = 0;
        while (next < signal.data.size()) {
          const size_t n = std::min<size_t>(signal.data.size() - next, 1 + random() % 700);
          const uint32_t from = write;
          for (size_t i = 0; i < n; ++i) {
            ring[write] = signal.data[next++];
            write = write + 1 == ringSize ? 0 : write + 1;
          }
          pieces.run(routine, ring.data(), from, write, ringSize);
        }
        EXPECT_EQ(pieces.frames, expected);
        EXPECT_EQ(pieces.decoder->sampleCount(), signal.data.size());
      }
    }
    // One sample a call: no position is screened in groups.
    DemodHarness single(factor, true);
    for (uint32_t i = 0; i < signal.data.size(); ++i) single.run(Routine::Process, signal.data.data(), i, i + 1, i + 2);
    EXPECT_EQ(single.frames, expected);
  }
}

// Magnitudes of every size up to the full 32 bits, where the sums wrap: whole blocks and single
// samples give the same results, and nothing reads outside its buffers (run under the sanitizers).
TEST(ModeSDemodulator, ArbitraryMagnitudes) {
  for (uint32_t factor : {1u, 3u, 5u, 7u}) {
    SCOPED_TRACE("factor " + std::to_string(factor));
    std::mt19937 random(factor);
    SignalBuilder s(factor, 20000 * factor);
    for (auto& v : s.data) v = static_cast<uint32_t>(random()) >> (random() % 33 == 32 ? 31 : random() % 32);
    // Strong frames and replies in the middle of it, some beyond 32-bit sums at factor 5.
    s.modeS(chip(3000), df17Frame(), 900000000);
    s.modeS(chip(9000), df4Frame(), 300000);
    s.modeAC(chip(14000), modeACSlots(07700, true), 2000000000);
    DemodHarness whole(factor, true);
    whole.feed(s.data);
    DemodHarness single(factor, true);
    for (uint32_t i = 0; i < s.data.size(); ++i) single.run(Routine::Process, s.data.data(), i, i + 1, i + 2);
    EXPECT_EQ(single.frames, whole.frames);
    for (const auto& f : whole.frames) EXPECT_TRUE(f.bytes.size() == 2 || f.bytes.size() == 7 || f.bytes.size() == 14);
  }
}

TEST(ModeSDemodulator, IgnoresCallsOutsideTheRingAndBeforeStart) {
  DemodHarness h(1);
  SignalBuilder s(1, 2000);
  s.modeS(chip(100), df17Frame(), 5000);
  const uint32_t n = static_cast<uint32_t>(s.data.size());
  h.run(Routine::Process, s.data.data(), 7, 7, n);
  h.run(Routine::Process, s.data.data(), n, 0, n);
  h.run(Routine::Process, s.data.data(), 0, n, n);
  h.run(Routine::Process, s.data.data(), 0, 0, 0);
  EXPECT_EQ(h.decoder->sampleCount(), 0u);
  EXPECT_TRUE(h.frames.empty());

  h.decoder->stop();
  h.feed(s.data);
  EXPECT_EQ(h.decoder->sampleCount(), 0u);
  h.decoder->start();
  h.feed(s.data);
  EXPECT_EQ(h.frames.size(), 1u);
}

// The buffer holds 1.2 s; a frame whose window spans the move back to the front is still found,
// and so is one after it.
TEST(ModeSDemodulator, FrameAcrossTheBufferMove) {
  for (uint32_t factor : {1u, 5u}) {
    SCOPED_TRACE("factor " + std::to_string(factor));
    // The first move comes when 2,400,000 - 240 chips' worth of samples have arrived.
    const uint64_t moveChip = SdrDecoder::bufferSamplesPerFactor - SdrDecoder::windowBins;
    SignalBuilder s(factor, (moveChip + 3000) * factor);
    const uint64_t first = moveChip - 150, second = moveChip + 1000;
    s.modeS(chip(first), df17Frame(), 8000);
    s.modeS(chip(second), df11Frame(3), 8000);
    DemodHarness h(factor);
    const size_t half = s.data.size() / 2;
    h.run(Routine::Process, s.data.data(), 0, static_cast<uint32_t>(half), static_cast<uint32_t>(s.data.size()));
    h.run(Routine::Process, s.data.data(), static_cast<uint32_t>(half), static_cast<uint32_t>(s.data.size() - 1),
          static_cast<uint32_t>(s.data.size()));
    ASSERT_EQ(h.frames.size(), 2u);
    EXPECT_EQ(h.frames[0].bytes, df17Frame());
    EXPECT_EQ(h.frames[0].timestamp, expectedTimestamp(factor, first));
    EXPECT_EQ(h.frames[1].bytes, df11Frame(3));
    EXPECT_EQ(h.frames[1].timestamp, expectedTimestamp(factor, second));
  }
}

// One sample per chip: the preamble bins are the samples themselves. Pulses of 600 make the
// threshold t = (4 * 600) / 6 = 400.
TEST(ModeSDemodulator, PreambleTest) {
  struct Case {
    const char* name;
    int bin;
    uint32_t value;
    bool found;
  };
  const Case cases[] = {
      {"clean", -1, 0, true},
      {"b1 equal to b0", 1, 600, false},
      {"b3 just below b2 (not held to t)", 3, 599, true},
      {"b3 equal to b2", 3, 600, false},
      {"b4 just below t", 4, 399, true},
      {"b4 at t", 4, 400, false},
      {"b5 at t", 5, 400, false},
      {"b6 equal to b7", 6, 600, false},
      {"b8 equal to b9", 8, 600, false},
      {"b10 just below b9 (not held to t)", 10, 599, true},
      {"b11 at t", 11, 400, false},
      {"b14 just below t", 14, 399, true},
      {"b14 at t", 14, 400, false},
      {"b15 just below b9 (not held to t)", 15, 599, true},
      {"b15 equal to b9", 15, 600, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SignalBuilder s(1, 1500);
    s.modeS(chip(300), df17Frame(), 600);
    if (c.bin >= 0) s.data[300 + c.bin] = c.value;
    DemodHarness h(1);
    h.feed(s.data);
    EXPECT_EQ(countOf(h.frames, df17Frame()), c.found ? 1u : 0u);
  }
}

TEST(ModeSDemodulator, ParityAndRepairByDownlinkFormat) {
  const std::vector<uint8_t> df17 = df17Frame();
  const std::vector<uint8_t> df18 = withParity({0x90, 0x48, 0x40, 0xD6, 0x58, 0xC3, 0x82, 0xD6, 0x90, 0xC8, 0xAC, 0, 0, 0});
  const std::vector<uint8_t> threeWrong = flipBits(df17, {9, 50, 100});
  {
    ErrorSyndromeTable table;
    table.build();
    ASSERT_EQ(table.find(modeSCrcSyndrome(threeWrong.data(), 14)), nullptr);
    const std::vector<uint8_t> df11Wrong = flipBits(df11Frame(0), {30});
    ASSERT_GE(modeSCrcSyndrome(df11Wrong.data(), 7), 80u);
  }
  struct Case {
    const char* name;
    std::vector<uint8_t> sent;
    bool disableCorrection;
    std::vector<uint8_t> handedOn;  // empty: dropped
  };
  const std::vector<Case> cases = {
      {"DF17 intact", df17, false, df17},
      {"DF17 one wrong bit", flipBits(df17, {40}), false, df17},
      {"DF17 two wrong bits at the ends", flipBits(df17, {5, 111}), false, df17},
      {"DF18 two wrong bits", flipBits(df18, {20, 90}), false, df18},
      {"DF17 three wrong bits", threeWrong, false, {}},
      {"DF17 intact, correction off", df17, true, df17},
      {"DF17 one wrong bit, correction off", flipBits(df17, {40}), true, {}},
      {"DF11 interrogator 79", df11Frame(79), false, df11Frame(79)},
      {"DF11 interrogator 80", df11Frame(80), false, {}},
      {"DF11 one wrong bit", flipBits(df11Frame(0), {30}), false, {}},
      // Not repaired: passed on as sliced, for the pipeline to check.
      {"DF20 one wrong bit", flipBits(df20Frame(), {70}), false, flipBits(df20Frame(), {70})},
      {"DF4", df4Frame(), false, df4Frame()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SignalBuilder s(1, 1500);
    s.modeS(chip(300), c.sent, 5000);
    s.noise(200, 3);
    DemodHarness h(1, false, c.disableCorrection);
    h.feed(s.data);
    if (c.handedOn.empty()) {
      EXPECT_TRUE(h.frames.empty()) << h.frames.front();
    } else {
      ASSERT_EQ(h.frames.size(), 1u);
      EXPECT_EQ(h.frames[0].bytes, c.handedOn);
    }
  }
}

TEST(ModeSDemodulator, BitsWithEqualHalves) {
  // Equal halves count as errors in the first 56 bits only, and only for formats without a
  // parity test here.
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    std::vector<int> equalBits;
    bool handedOn;
  };
  const std::vector<Case> cases = {
      {"DF4, bit 30", df4Frame(), {30}, false},
      {"DF20, bit 30", df20Frame(), {30}, false},
      {"DF20, bits 60 and 100", df20Frame(), {60, 100}, true},
      {"DF17, bits 30 and 31 (parity repairs them)", df17Frame(), {30, 31}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SignalBuilder s(1, 1500);
    s.modeS(chip(300), c.frame, 5000, c.equalBits);
    DemodHarness h(1);
    h.feed(s.data);
    // A bit with equal halves reads as 0.
    std::vector<uint8_t> read = c.frame;
    for (int bit : c.equalBits) read[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    if (c.handedOn) {
      ASSERT_EQ(h.frames.size(), 1u);
      EXPECT_EQ(h.frames[0].bytes, c.frame.front() >> 3 == 17 ? c.frame : read);
    } else {
      EXPECT_TRUE(h.frames.empty());
    }
  }
}

// A DF17 frame whose zero bits all have equal halves: only its one bits have contrast, 100
// each, and the mean over 112 bits must exceed 10. (Every codeword has an even weight.)
TEST(ModeSDemodulator, MeanContrastTest) {
  std::vector<uint8_t> weight12, weight14;
  for (int i = 5; i < 88 && (weight12.empty() || weight14.empty()); ++i) {
    for (int j = i + 1; j < 88 && (weight12.empty() || weight14.empty()); ++j) {
      std::vector<uint8_t> f(14, 0);
      f[0] = 0x88;
      f = withParity(flipBits(f, {i, j}));
      int ones = 0;
      for (uint8_t b : f) ones += __builtin_popcount(b);
      if (ones == 12 && weight12.empty()) weight12 = f;
      if (ones == 14 && weight14.empty()) weight14 = f;
    }
  }
  ASSERT_FALSE(weight12.empty());
  ASSERT_FALSE(weight14.empty());
  for (const auto& [frame, handedOn] : {std::pair{weight12, false}, std::pair{weight14, true}}) {
    SCOPED_TRACE(hexOf(frame));
    std::vector<int> zeros;
    for (int bit = 0; bit < 112; ++bit) {
      if (!((frame[bit / 8] >> (7 - bit % 8)) & 1)) zeros.push_back(bit);
    }
    SignalBuilder s(1, 1500);
    s.modeS(chip(300), frame, 5000, zeros);
    DemodHarness h(1);
    h.feed(s.data);
    EXPECT_EQ(countOf(h.frames, frame), handedOn ? 1u : 0u);
  }
}

TEST(ModeSDemodulator, SignalLevel) {
  struct Case {
    uint32_t factor;
    uint32_t amplitude;
    std::vector<uint8_t> frame;
    uint8_t level;
  };
  // Factor 1: level = amplitude / 24 + 12. With more samples per chip the first window that
  // passes is (factor - 1) / 2 samples early, so the larger half of a bit mixes in samples of
  // the chip before; the cases below are worked out from that.
  const std::vector<Case> cases = {
      {1, 240, df17Frame(), 22},
      {1, 5808, df17Frame(), 254},
      {1, 5832, df17Frame(), 255},
      {1, 1000000, df17Frame(), 255},
      // So strong that 100 * max no longer fits in 32 bits: still a clean frame.
      {1, 42949673, df17Frame(), 255},
      {1, 42949673, df4Frame(), 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.factor) + "/" + std::to_string(c.amplitude) + "/" + hexOf(c.frame));
    SignalBuilder s(c.factor, 1500 * c.factor);
    s.modeS(chip(300), c.frame, c.amplitude);
    DemodHarness h(c.factor);
    h.feed(s.data);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0].signal, c.level);
  }

  // Factors 3 and 5: each larger half holds `factor` samples of the pulse, plus (factor - 1) / 2
  // of the chip before when that chip held a pulse too (a 1 after a 0).
  for (uint32_t factor : {3u, 5u}) {
    SCOPED_TRACE("factor " + std::to_string(factor));
    const uint32_t amplitude = 200000;
    const std::vector<uint8_t> frame = df17Frame();
    const uint32_t early = (factor - 1) / 2;
    uint64_t maxSum = 0;
    bool previousSecondHalf = false;
    for (int bit = 0; bit < 112; ++bit) {
      const bool one = (frame[bit / 8] >> (7 - bit % 8)) & 1;
      maxSum += uint64_t{amplitude} * (factor - early + (one && previousSecondHalf ? early : 0));
      previousSecondHalf = !one;
    }
    const uint32_t divisor = factor == 5 ? 81764 : 16352 * factor;
    SignalBuilder s(factor, 1500 * factor);
    s.modeS(chip(300), frame, amplitude);
    DemodHarness h(factor);
    h.feed(s.data);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0].signal, maxSum / 112 / divisor + 12);
  }
}

TEST(ModeSDemodulator, RepeatsWithinFactorSamplesAreSuppressed) {
  for (uint32_t factor : {1u, 3u, 5u}) {
    SCOPED_TRACE("factor " + std::to_string(factor));
    // Copies 130 us apart are separate replies; a frame that passes at neighbouring
    // alignments (factors 3 and 5) is one.
    SignalBuilder s(factor, 3000 * factor);
    s.modeS(chip(200), df17Frame(), 50000);
    s.modeS(chip(460), df17Frame(), 50000);
    s.modeS(chip(720), df11Frame(0), 50000);
    s.modeS(chip(980), df17Frame(), 50000);
    DemodHarness h(factor);
    h.feed(s.data);
    ASSERT_EQ(h.frames.size(), 4u);
    EXPECT_EQ(h.frames[0].timestamp, expectedTimestamp(factor, 200));
    EXPECT_EQ(h.frames[1].timestamp, expectedTimestamp(factor, 460));
    EXPECT_EQ(h.frames[2].bytes, df11Frame(0));
    EXPECT_EQ(h.frames[3].timestamp, expectedTimestamp(factor, 980));
  }
}

// A piece of a frame read again at a later start is not handed on; a frame of its own that
// overlaps another is, even where the earlier one was read with its bits.
TEST(ModeSDemodulator, NoFrameMadeOfAnotherFramesBits) {
  for (uint32_t factor : {1u, 3u, 5u}) {
    SCOPED_TRACE("factor " + std::to_string(factor));
    {
      SignalBuilder s(factor, 1500 * factor);
      s.modeS(chip(300), squitterAroundReply(), 20000);
      s.modeS(chip(300 + innerReplyChip), {}, 20000);  // the preamble that the squitter's bits lack
      DemodHarness h(factor);
      h.feed(s.data);
      EXPECT_EQ(countOf(h.frames, squitterAroundReply()), 1u);
      EXPECT_EQ(countOf(h.frames, innerReply()), 0u) << "the reply inside the squitter";
    }
    {
      // A weak reply, and 30 us into it a strong squitter of another aircraft: the reply is
      // read with the squitter's first 44 bits at its end, which does not make the squitter,
      // whose parity holds, a piece of it.
      SignalBuilder s(factor, 1500 * factor);
      s.modeS(chip(300), df20Frame(), 5000);
      s.modeS(chip(300 + 16 + 2 * 60), df17Frame(), 40000);
      DemodHarness h(factor);
      h.feed(s.data);
      ASSERT_FALSE(h.frames.empty());
      EXPECT_EQ(h.frames[0].bytes[0] >> 3, 20) << h.frames[0];
      EXPECT_EQ(countOf(h.frames, df17Frame()), 1u);
    }
  }
}
