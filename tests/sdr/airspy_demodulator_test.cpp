#include "sdr/airspy_demodulator.h"

#include "sdr/airspy_signal.h"
#include "sdr/crc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

using namespace airspy_test;

namespace {

// ---------------------------------------------------------------------------------------------
// A straightforward model of the demodulator: one 24,000-bin buffer per row that slides one bin
// at a time, the CRC recomputed for every repair trial, a linear cache. Candidates of all rows
// are decided in time order.
class Reference {
 public:
  explicit Reference(const AirspyDemodSettings& s)
      : p(s.phaseCount), decimation(s.decimation ? s.decimation : 1), fec(std::min(s.fecBits, 2u)),
        lifetime(static_cast<float>(s.addressLifetime)), rows(p) {
    for (uint32_t r = 0; r < p; ++r) {
      rows[r].buffer.assign(24000, 0);
      rows[r].carry = r;
    }
  }

  void addDropped(uint64_t count) {
    for (Row& row : rows) row.clock += count;
    clock += count;
  }

  // Equal bytes, or a DF 11 reply that differs only in the interrogator bits its parity leaves out.
  static bool sameReply(const Bytes& a, const Bytes& b) {
    if (a == b) return true;
    return a.size() == 7 && b.size() == 7 && a[0] >> 3 == 11 && b[0] >> 3 == 11 &&
           std::equal(a.begin(), a.begin() + 6, b.begin()) && ((a[6] ^ b[6]) & 0x80) == 0;
  }

  std::vector<Output> process(const std::vector<uint16_t>& raw) {
    std::vector<uint32_t> m(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) m[i] = magnitudeOf(raw[i]);
    candidates.clear();
    for (uint32_t r = 0; r < p; ++r) {
      if (r % decimation == 0) demodulate(rows[r], m);
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.out.time < b.out.time; });
    std::vector<Output> kept;
    for (const Candidate& c : candidates) {
      const int slot = find(c.key);
      if (c.confirms) {
        if (slot >= 0) {
          ages[slot] = 0;
        } else {
          insert(c.key);
        }
      } else {
        if (slot < 0) continue;
        ages[slot] = 0;
      }
      kept.push_back(c.out);
    }
    const float dt = static_cast<float>(raw.size()) / static_cast<float>(p * 2000000u);
    for (int i = 0; i < 1024; ++i) {
      if (addresses[i] == 0) continue;
      ages[i] += dt;
      if (ages[i] > lifetime) addresses[i] = 0;
    }
    // A group that the next block could still join waits for it.
    kept.insert(kept.begin(), held.begin(), held.end());
    held.clear();
    clock += raw.size();
    std::vector<Output> merged;
    for (size_t i = 0; i < kept.size();) {
      size_t best = i, j = i + 1;
      for (; j < kept.size(); ++j) {
        if (kept[j].time > kept[i].time + p) break;
        if (!sameReply(kept[j].bytes, kept[best].bytes)) break;
        if (kept[j].contrast > kept[best].contrast) best = j;
      }
      if (j == kept.size() && kept[i].time + p > clock) {
        held.assign(kept.begin() + static_cast<std::ptrdiff_t>(i), kept.end());
        break;
      }
      merged.push_back(kept[best]);
      i = j;
    }
    return merged;
  }

  // The held group, once the stream has ended.
  std::vector<Output> finish() {
    std::vector<Output> out;
    size_t best = 0;
    for (size_t i = 1; i < held.size(); ++i) {
      if (held[i].contrast > held[best].contrast) best = i;
    }
    if (!held.empty()) out.push_back(held[best]);
    held.clear();
    return out;
  }

  bool cached(uint32_t address) const { return find(address) >= 0; }

 private:
  uint64_t clock = 0;  // samples so far, dropped ones included
  std::vector<Output> held;

  struct Row {
    std::vector<uint32_t> buffer;
    uint32_t position = 0;
    uint32_t carry = 0;
    uint64_t clock = 0;
  };
  struct Candidate {
    Output out;
    uint32_t key;
    bool confirms;
  };

  void demodulate(Row& row, const std::vector<uint32_t>& m) {
    size_t i = 0;
    const auto newest = [&row]() -> uint32_t& { return row.buffer[row.position + 239]; };
    if (row.carry != 0) {
      for (uint32_t j = 0; j < p - row.carry; ++j) newest() += m[i++];
      row.clock += p - row.carry;
      test(row);
      advance(row);
    }
    while (m.size() - i >= p) {
      uint32_t sum = 0;
      for (uint32_t j = 0; j < p; ++j) sum += m[i++];
      newest() = sum;
      row.clock += p;
      test(row);
      advance(row);
    }
    const uint32_t rest = static_cast<uint32_t>(m.size() - i);
    uint32_t sum = 0;
    for (; i < m.size(); ++i) sum += m[i];
    newest() = sum;
    row.clock += rest;
    row.carry = rest;
  }

  static void advance(Row& row) {
    if (row.position + 1 < 23761) {
      ++row.position;
    } else {
      std::copy(row.buffer.begin() + row.position + 1, row.buffer.begin() + row.position + 240, row.buffer.begin());
      row.position = 0;
    }
  }

  void test(const Row& row) {
    const uint32_t* b = &row.buffer[row.position];
    const uint32_t m = std::min({b[0], b[2], b[7], b[9]});
    for (int k : {1, 3, 4, 5, 6, 8, 10, 11, 12, 13, 14, 15}) {
      if (b[k] >= m) return;
    }
    decode(b + 16, row.clock);
  }

  static uint32_t syndromeOf(const uint8_t* bytes, uint32_t length, uint32_t df) {
    uint32_t reg = 0;
    for (uint32_t i = 0; i + 3 < length; ++i) {
      reg = (modeSCrcTable.entries[((reg >> 16) ^ bytes[i]) & 0xFF] ^ (reg << 8)) & 0xFFFFFF;
    }
    uint32_t s = reg ^ (uint32_t{bytes[length - 3]} << 16 | uint32_t{bytes[length - 2]} << 8 | bytes[length - 1]);
    if (df == 11) s &= ~0x7Fu;
    return s;
  }

  static void flip(uint8_t* bytes, uint32_t bit) { bytes[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8)); }

  void decode(const uint32_t* d, uint64_t time) {
    uint8_t bytes[14] = {};
    for (uint32_t k = 0; k < 112; ++k) {
      if (d[2 * k] > d[2 * k + 1]) bytes[k / 8] |= static_cast<uint8_t>(0x80 >> (k % 8));
    }
    const uint32_t df = bytes[0] >> 3;
    const uint32_t length = df <= 15 ? 7 : 14;
    uint32_t s = syndromeOf(bytes, length, df);
    const auto aa = [&bytes] { return uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3]; };
    Candidate c;
    if (df == 11 || df == 17 || df == 18 || df == 19) {
      if (s != 0 && fec >= 1) {
        const uint32_t n = df == 11 ? 56 : 112;
        bool repaired = false;
        for (uint32_t k = 5; k < n && !repaired; ++k) {
          flip(bytes, k);
          repaired = syndromeOf(bytes, length, df) == 0;
          if (!repaired) flip(bytes, k);
        }
        if (!repaired && fec == 2 && df != 11) {
          for (uint32_t i = 5; i < 112 && !repaired; ++i) {
            for (uint32_t j = 5; j < 112 && !repaired; ++j) {
              if (j == i) continue;
              flip(bytes, i);
              flip(bytes, j);
              repaired = syndromeOf(bytes, length, df) == 0;
              if (!repaired) {
                flip(bytes, i);
                flip(bytes, j);
              }
            }
          }
        }
      }
      if (aa() == 0) return;
      c.key = aa();
      c.confirms = s == 0;
      c.out.clean = s == 0;
    } else if (df == 0 || df == 4 || df == 5 || df == 16 || df == 20 || df == 21 || df == 24) {
      if (s == 0) return;
      c.key = s;
      c.confirms = false;
      c.out.clean = true;
    } else {
      return;
    }
    uint64_t contrast = 0;
    for (uint32_t k = 0; k < 8 * length; ++k) contrast += d[2 * k] > d[2 * k + 1] ? d[2 * k] - d[2 * k + 1] : d[2 * k + 1] - d[2 * k];
    uint64_t level = 65535 * contrast / (800ull * length * p);
    c.out.level = static_cast<uint16_t>(level == 0 ? 1 : std::min<uint64_t>(level, 65535));
    c.out.contrast = contrast;
    c.out.bytes.assign(bytes, bytes + length);
    c.out.time = time;
    candidates.push_back(c);
  }

  int find(uint32_t address) const {
    for (int i = 0; i < 1024; ++i) {
      if (addresses[i] == address) return i;
    }
    return -1;
  }

  void insert(uint32_t address) {
    int slot = find(0);
    if (slot < 0) {
      float oldest = 0.0f;
      slot = 0;
      for (int i = 0; i < 1024; ++i) {
        if (ages[i] > oldest) {
          oldest = ages[i];
          slot = i;
        }
      }
    }
    addresses[slot] = address;
    ages[slot] = 0;
  }

  const uint32_t p, decimation, fec;
  const float lifetime;
  std::vector<Row> rows;
  std::array<uint32_t, 1024> addresses{};
  std::array<float, 1024> ages{};
  std::vector<Candidate> candidates;
};

// ---------------------------------------------------------------------------------------------

constexpr uint32_t plane = 0x4840D6;

// The frames on silence, in one block.
std::vector<Output> runOnce(const AirspyDemodSettings& settings, const std::vector<Placed>& frames, size_t length) {
  Harness harness(settings);
  auto out = harness.feed(synthesize(length, settings.phaseCount, frames));
  const auto last = harness.finish();
  out.insert(out.end(), last.begin(), last.end());
  return out;
}

size_t lengthFor(const std::vector<Placed>& frames, uint32_t p) {
  uint64_t end = 0;
  for (const Placed& f : frames) end = std::max(end, endOfWindow(f.start, p));
  return end + 50ull * p;
}

}  // namespace

// The frame is found once, at the end of its window, clean, and its address is cached; the
// row that matches the frame's alignment wins over its neighbours.
TEST(AirspyDemodulator, CleanExtendedSquitterAtTheEndOfItsWindow) {
  for (uint32_t p : {1u, 2u, 3u, 5u, 6u, 10u, 20u}) {
    for (uint64_t start : {0ull, 7ull, 1001ull, 1002ull, 1003ull}) {
      SCOPED_TRACE(testing::Message() << "p " << p << " start " << start);
      Harness harness(settingsFor(p));
      const std::vector<Placed> frames = {{df17(plane), start, 60}};
      const auto out = harness.feed(synthesize(lengthFor(frames, p), p, frames));
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(out[0].bytes, df17(plane));
      EXPECT_EQ(out[0].time, endOfWindow(start, p));
      EXPECT_TRUE(out[0].clean);
      // Every bit: one full chip of 60 against an empty one.
      EXPECT_EQ(out[0].level, 65535 * 60 / 100);
      EXPECT_TRUE(harness.demod.addressCached(plane));
      EXPECT_FALSE(harness.demod.addressCached(plane + 1));
    }
  }
}

TEST(AirspyDemodulator, LevelSaturatesInsteadOfWrapping) {
  for (uint32_t p : {5u, 255u}) {
    Harness harness(settingsFor(p));
    const std::vector<Placed> frames = {{df17(plane), 3, 2047}};
    const auto out = harness.feed(synthesize(lengthFor(frames, p), p, frames));
    ASSERT_EQ(out.size(), 1u) << p;
    EXPECT_EQ(out[0].level, 65535) << p;
  }
  // Every detection of a strong reply saturates; the best-aligned one still stands for it.
  for (uint32_t p : {5u, 10u}) {
    for (uint64_t start : {1000ull, 1001ull, 1003ull}) {
      const std::vector<Placed> frames = {{df17(plane), start, 1500}};
      const auto out = runOnce(settingsFor(p), frames, lengthFor(frames, p));
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(out[0].level, 65535);
      EXPECT_EQ(out[0].time, endOfWindow(start, p)) << "p " << p << " start " << start;
    }
  }
  // Magnitudes far beyond 12 bits (unpacked words are taken as they come).
  Harness harness(settingsFor(255));
  std::vector<uint16_t> samples = synthesize(lengthFor({{df17(plane), 0, 2000}}, 255), 255, {{df17(plane), 0, 2000}});
  for (uint16_t& s : samples) s = s > 2048 ? 65535 : s < 2048 ? 0 : s;
  const auto out = harness.feed(samples);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].level, 65535);
}

// An address/parity reply stands only on an address confirmed before it, in the same block or
// an earlier one, whatever the number of workers.
TEST(AirspyDemodulator, AddressParityNeedsAnAddressConfirmedBeforeIt) {
  const uint32_t p = 6;
  const Bytes surveillance = addressParity(4, plane, 3);
  for (uint32_t workers : {0u, 4u}) {
    SCOPED_TRACE(testing::Message() << workers << " workers");
    {
      // Reply first, squitter later in the same block: the reply is dropped.
      const std::vector<Placed> frames = {{surveillance, 100, 80}, {df17(plane), 3000, 80}};
      const auto out = runOnce(settingsFor(p, workers), frames, lengthFor(frames, p));
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(out[0].bytes, df17(plane));
    }
    {
      // Squitter first: the reply is kept, clean.
      const std::vector<Placed> frames = {{df17(plane), 100, 80}, {surveillance, 3001, 80}};
      const auto out = runOnce(settingsFor(p, workers), frames, lengthFor(frames, p));
      ASSERT_EQ(out.size(), 2u);
      EXPECT_EQ(out[1].bytes, surveillance);
      EXPECT_TRUE(out[1].clean);
      EXPECT_EQ(out[1].time, endOfWindow(3001, p));
    }
    {
      // Across blocks: kept once the address is known.
      Harness harness(settingsFor(p, workers));
      const std::vector<Placed> reply = {{surveillance, 100, 80}};
      const std::vector<Placed> squitter = {{df17(plane), 100, 80}};
      EXPECT_TRUE(harness.feed(synthesize(lengthFor(reply, p), p, reply)).empty());
      EXPECT_EQ(harness.feed(synthesize(lengthFor(squitter, p), p, squitter)).size(), 1u);
      EXPECT_EQ(harness.feed(synthesize(lengthFor(reply, p), p, reply)).size(), 1u);
    }
  }
}

// Which formats are kept, with the address cached beforehand: parity that gives 0 for the
// formats that carry the address, the address itself for the others.
TEST(AirspyDemodulator, FormatFilter) {
  const uint32_t p = 5;
  for (uint32_t df = 0; df < 32; ++df) {
    SCOPED_TRACE(testing::Message() << "DF " << df);
    const bool plain = df == 11 || df == 17 || df == 18 || df == 19;
    const bool viaAddress = df == 0 || df == 4 || df == 5 || df == 16 || df == 20 || df == 21 || df == 24;
    // Both parities are offered: a format must take exactly the right one.
    const Bytes zeroSyndrome = frameOf(df, plane, 0, df);
    const Bytes addressSyndrome = frameOf(df, plane ^ 0x10101, plane, df);
    const std::vector<Placed> frames = {
        {df17(plane), 0, 80}, {zeroSyndrome, 2000, 80}, {addressSyndrome, 4000, 80}};
    const auto out = runOnce(settingsFor(p, 0, 0), frames, lengthFor(frames, p));
    std::vector<Bytes> kept;
    for (size_t i = 1; i < out.size(); ++i) kept.push_back(out[i].bytes);
    std::vector<Bytes> expected;
    if (plain) expected.push_back(zeroSyndrome);
    if (viaAddress) expected.push_back(addressSyndrome);
    EXPECT_EQ(kept, expected);
  }
  // Clean frames that confirm nothing: address 0 in DF 11/17/18/19, syndrome 0 elsewhere.
  for (uint32_t df : {11u, 17u, 18u, 19u, 0u, 4u, 20u}) {
    const std::vector<Placed> frames = {{frameOf(df, 0, 0, 5), 10, 80}};
    EXPECT_TRUE(runOnce(settingsFor(p), frames, lengthFor(frames, p)).empty()) << "DF " << df;
  }
  // DF 11 with an interrogator code in the low 7 bits of its parity counts as clean.
  const std::vector<Placed> allCall = {{frameOf(11, plane, 0x5A, 2), 10, 80}};
  const auto out = runOnce(settingsFor(p), allCall, lengthFor(allCall, p));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].clean);
}

// Damaged frames from a cached address: what each FEC depth keeps, and with which bytes.
TEST(AirspyDemodulator, BitRepair) {
  const uint32_t p = 5;
  const Bytes squitter = df17(plane, 9);
  const Bytes allCall = frameOf(11, plane, 0x21, 4);
  struct Case {
    const char* what;
    Bytes sent;
    uint32_t fec;
    bool kept;
    Bytes received;  // when kept
  };
  const std::vector<Case> cases = {
      {"one bit in the address, no repair", flipped(squitter, {20}), 0, false, {}},
      {"one bit in the payload, no repair: kept as received", flipped(squitter, {60}), 0, true, flipped(squitter, {60})},
      {"one bit in the address", flipped(squitter, {20}), 1, true, squitter},
      {"first repairable bit", flipped(squitter, {5}), 1, true, squitter},
      {"last bit", flipped(squitter, {111}), 2, true, squitter},
      {"a DF bit is never repaired", flipped(squitter, {4}), 2, false, {}},
      {"first DF bit", flipped(squitter, {0}), 2, false, {}},
      {"two bits, one-bit depth", flipped(squitter, {10, 30}), 1, false, {}},
      {"two bits", flipped(squitter, {10, 30}), 2, true, squitter},
      {"two bits, one of them the first repairable", flipped(squitter, {5, 111}), 2, true, squitter},
      {"DF 11, one bit", flipped(allCall, {12}), 1, true, allCall},
      {"DF 11, two bits are never repaired", flipped(allCall, {12, 20}), 2, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Placed> frames = {{df17(plane, 1), 0, 80}, {c.sent, 2000, 80}};
    const auto out = runOnce(settingsFor(p, 0, c.fec), frames, lengthFor(frames, p));
    ASSERT_EQ(out.size(), c.kept ? 2u : 1u);
    if (c.kept) {
      EXPECT_EQ(out[1].bytes, c.received);
      EXPECT_FALSE(out[1].clean);
    }
  }
  // Repaired, but from an address nobody confirmed: dropped.
  const std::vector<Placed> alone = {{flipped(squitter, {60}), 0, 80}};
  EXPECT_TRUE(runOnce(settingsFor(p, 0, 2), alone, lengthFor(alone, p)).empty());
}

// Ageing counts samples: 1 s of samples is p * 2,000,000 of them, whatever the block sizes.
TEST(AirspyDemodulator, CachedAddressesAgeByBlockSize) {
  const uint32_t p = 2;
  AirspyDemodSettings settings = settingsFor(p);
  settings.addressLifetime = 1;
  Harness harness(settings);
  const std::vector<Placed> frames = {{df17(plane), 0, 80}};
  const auto burst = synthesize(lengthFor(frames, p), p, frames);
  harness.feed(burst);
  const std::vector<uint16_t> silence(400000, 2048);  // 0.1 s
  for (int i = 0; i < 8; ++i) harness.feed(silence);
  EXPECT_TRUE(harness.demod.addressCached(plane));
  harness.feed(burst);  // confirmed again: a new second begins
  for (int i = 0; i < 9; ++i) harness.feed(silence);
  EXPECT_TRUE(harness.demod.addressCached(plane));
  harness.feed(std::vector<uint16_t>(600000, 2048));  // 1.05 s since the second burst
  EXPECT_FALSE(harness.demod.addressCached(plane));
  // A reply that needs the address is no longer kept.
  const std::vector<Placed> reply = {{addressParity(20, plane), 0, 80}};
  EXPECT_TRUE(harness.feed(synthesize(lengthFor(reply, p), p, reply)).empty());

  // Exactly the lifetime is not more than it: blocks of exactly 0.5 s at p = 1.
  settings = settingsFor(1);
  settings.addressLifetime = 1;
  Harness exact(settings);
  std::vector<uint16_t> half = synthesize(1000000, 1, frames);
  exact.feed(half);
  exact.feed(std::vector<uint16_t>(1000000, 2048));
  EXPECT_TRUE(exact.demod.addressCached(plane));
  exact.feed(std::vector<uint16_t>(8, 2048));
  EXPECT_FALSE(exact.demod.addressCached(plane));
}

// With every slot taken, a new address replaces the oldest one (of equally old ones, the one
// in the lowest slot: free slots are taken from the lowest up).
TEST(AirspyDemodulator, FullCacheReplacesTheOldest) {
  const uint32_t p = 1;
  Harness harness(settingsFor(p));
  const auto squitters = [&](uint32_t first, uint32_t count) {
    std::vector<Placed> frames;
    for (uint32_t i = 0; i < count; ++i) frames.push_back({df17(0x100000 + first + i), i * 300ull, 80});
    EXPECT_EQ(harness.feed(synthesize(lengthFor(frames, p), p, frames)).size(), count);
  };
  const auto cached = [&](uint32_t i) { return harness.demod.addressCached(0x100000 + i); };
  squitters(0, 3);     // slots 0, 1, 2, equally old
  squitters(0, 1);     // slot 0 confirmed again
  squitters(3, 1021);  // the rest; slots 1 and 2 are now the oldest
  for (uint32_t i = 0; i < 1024; ++i) ASSERT_TRUE(cached(i)) << i;
  squitters(5000, 1);
  EXPECT_TRUE(cached(5000));
  EXPECT_TRUE(cached(0));
  EXPECT_FALSE(cached(1));
  EXPECT_TRUE(cached(2));
  squitters(5001, 1);
  EXPECT_FALSE(cached(2));
  EXPECT_TRUE(cached(3));
}

// One reply seen by neighbouring rows is one frame; the same reply again later is another.
TEST(AirspyDemodulator, MergesDetectionsOfOneReplyOnly) {
  for (uint32_t p : {5u, 10u}) {
    SCOPED_TRACE(p);
    const std::vector<Placed> frames = {{df17(plane), 501, 60}, {df17(plane), 501 + 240 * p + p + 1, 60}};
    const auto out = runOnce(settingsFor(p, 2), frames, lengthFor(frames, p));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].time, endOfWindow(501, p));
    EXPECT_EQ(out[1].time, endOfWindow(501 + 240 * p + p + 1, p));
    EXPECT_EQ(out[0].level, 65535 * 60 / 100);
  }
}

// Only rows whose index is a multiple of the decimation look: a reply aligned with row 1 is
// then seen one sample off, weaker.
TEST(AirspyDemodulator, DecimationSkipsRows) {
  const uint32_t p = 10;
  const uint64_t start = 1000 * p - 1;  // row 1's bins start at k * p - 1
  const std::vector<Placed> frames = {{df17(plane), start, 60}};
  const uint64_t end = endOfWindow(start, p);
  for (uint32_t decimation : {0u, 1u, 2u, 3u, 11u}) {
    SCOPED_TRACE(testing::Message() << "decimation " << decimation);
    AirspyDemodSettings settings = settingsFor(p, 4);
    settings.decimation = decimation;
    const auto out = runOnce(settings, frames, lengthFor(frames, p));
    if (decimation == 11) {  // row 0 alone: one sample late
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(out[0].time, end + 1);
      continue;
    }
    ASSERT_EQ(out.size(), 1u);
    if (decimation <= 1) {
      EXPECT_EQ(out[0].time, end);
      EXPECT_EQ(out[0].level, 65535 * 60 / 100);
    } else {
      EXPECT_TRUE(out[0].time == end - 1 || out[0].time == end + 1) << out[0];
      EXPECT_LT(out[0].level, 65535 * 60 / 100);
    }
  }
}

// A block boundary inside a frame's window changes nothing; dropped samples move every later
// time on. Detections of one reply on both sides of a boundary are merged as within a block.
TEST(AirspyDemodulator, FramesAcrossBlocksAndDroppedSamples) {
  for (uint32_t p : {3u, 6u, 10u}) {
    SCOPED_TRACE(p);
    const uint64_t start = 333;
    const uint64_t end = endOfWindow(start, p);
    const std::vector<Placed> frames = {{df17(plane), start, 60}, {df17(plane, 2), start + 5000ull * p, 60}};
    const auto samples = synthesize(lengthFor(frames, p), p, frames);
    const auto whole = runOnce(settingsFor(p), frames, samples.size());
    ASSERT_EQ(whole.size(), 2u);
    ASSERT_EQ(whole[0].time, end);
    for (uint64_t cut : {start + 1, start + 5 * p + 2, start + 120 * p + 1, end - p - 1}) {
      Harness harness(settingsFor(p, 2));
      harness.feed(samples, 0, cut);
      harness.feed(samples, cut, samples.size());
      EXPECT_EQ(harness.frames, whole) << "cut at " << cut;
    }
    // The row one sample early completes its window in the first block, the best-aligned one in
    // the second: still one reply, reported once.
    Harness split(settingsFor(p));
    EXPECT_TRUE(split.feed(samples, 0, end - 1).empty());
    split.feed(samples, end - 1, samples.size());
    split.finish();
    EXPECT_EQ(split.frames, whole);

    Harness harness(settingsFor(p));
    const size_t cut = start + 2000 * p;
    harness.feed(samples, 0, cut);
    harness.demod.addDroppedSamples(12345);
    harness.feed(samples, cut, samples.size());
    ASSERT_EQ(harness.frames.size(), 2u);
    EXPECT_EQ(harness.frames[0].time, whole[0].time);
    EXPECT_EQ(harness.frames[1].time, whole[1].time + 12345);
  }
}

namespace {

// A noisy stream of many replies: squitters and replies from a few aircraft, weak and strong,
// some with bit errors, cut into blocks of random sizes with occasional dropped samples.
struct Stream {
  std::vector<std::vector<uint16_t>> blocks;
  std::vector<uint64_t> droppedBefore;
};

Stream noisyStream(uint32_t p, double seconds, uint32_t seed, bool garbage = false) {
  std::mt19937 random(seed);
  const size_t length = static_cast<size_t>(seconds * p * 2e6);
  std::vector<Placed> frames;
  const uint32_t formats[] = {17, 17, 17, 11, 18, 4, 5, 20, 21, 0, 16, 24, 19, 2};
  for (uint64_t at = random() % 1000; at + 300ull * p < length; at += 240ull * p + random() % (400 * p)) {
    const uint32_t address = 0xA00000 + random() % 12;
    const uint32_t df = formats[random() % std::size(formats)];
    const bool plain = df == 11 || df >= 17;
    Bytes bytes = plain ? frameOf(df, address, df == 11 ? random() % 128 : 0, random())
                        : addressParity(df, address, random());
    const int errors = std::max(0, static_cast<int>(random() % 6) - 2);  // none in half the frames
    for (int e = 0; e < errors; ++e) {
      const uint32_t bit = random() % (bytes.size() * 8);
      bytes[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    }
    frames.push_back({bytes, at, static_cast<uint32_t>(20 + random() % 300)});
  }
  std::vector<uint16_t> samples = synthesize(length, p, frames, 25, seed);
  if (garbage) {  // words beyond 12 bits: bins that need all 32 bits
    for (int i = 0; i < 200; ++i) samples[random() % samples.size()] = static_cast<uint16_t>(random());
  }
  Stream stream;
  for (size_t at = 0; at < samples.size();) {
    size_t size = random() % 4 == 0 ? p + random() % 700 : 1000 + random() % 150000;
    size = std::min(std::max<size_t>(size, p), samples.size() - at);
    if (samples.size() - at - size < p) size = samples.size() - at;
    stream.blocks.emplace_back(samples.begin() + at, samples.begin() + at + size);
    stream.droppedBefore.push_back(random() % 10 == 0 ? random() % 5000 : 0);
    at += size;
  }
  return stream;
}

std::vector<Output> demodulate(const Stream& stream, const AirspyDemodSettings& settings) {
  Harness harness(settings);
  for (size_t i = 0; i < stream.blocks.size(); ++i) {
    if (stream.droppedBefore[i]) harness.demod.addDroppedSamples(stream.droppedBefore[i]);
    harness.feed(stream.blocks[i]);
  }
  return harness.frames;
}

}  // namespace

// The fast demodulator against the model, block by block, on noisy streams.
TEST(AirspyDemodulator, MatchesTheReferenceModelOnNoisyStreams) {
  struct Case {
    uint32_t p;
    double seconds;
    uint32_t fec, workers, decimation;
    bool garbage;
  };
  const std::vector<Case> cases = {
      {5, 1.0, 2, 4, 1, false}, {6, 1.0, 1, 4, 1, false}, {10, 1.0, 1, 4, 1, false}, {10, 0.3, 2, 0, 3, false},
      {3, 0.5, 1, 2, 1, false}, {4, 0.5, 0, 3, 1, false}, {7, 0.5, 1, 1, 2, false}, {2, 0.5, 2, 2, 1, false},
      {16, 0.3, 1, 4, 1, false}, {5, 0.5, 1, 4, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "p " << c.p << " fec " << c.fec << " workers " << c.workers
                                    << " decimation " << c.decimation << (c.garbage ? " garbage" : ""));
    const Stream stream = noisyStream(c.p, c.seconds, 100 + c.p, c.garbage);
    AirspyDemodSettings settings = settingsFor(c.p, c.workers, c.fec);
    settings.decimation = c.decimation;
    Reference reference(settings);
    Harness harness(settings);
    size_t total = 0, repaired = 0;
    for (size_t i = 0; i < stream.blocks.size(); ++i) {
      if (stream.droppedBefore[i]) {
        reference.addDropped(stream.droppedBefore[i]);
        harness.demod.addDroppedSamples(stream.droppedBefore[i]);
      }
      const auto expected = reference.process(stream.blocks[i]);
      const auto actual = harness.feed(stream.blocks[i]);
      ASSERT_EQ(actual, expected) << "block " << i << " of " << stream.blocks[i].size() << " samples";
      total += expected.size();
      for (const Output& o : expected) repaired += !o.clean;
    }
    EXPECT_EQ(harness.finish(), reference.finish());
    // The stream must exercise the paths it is meant to.
    EXPECT_GT(total, c.seconds * 200);
    EXPECT_GT(repaired, 0u);
  }
}

// The worker count changes who does the work, never the result; nor does packing.
TEST(AirspyDemodulator, OutputIndependentOfWorkersAndPacking) {
  for (uint32_t p : {6u, 10u}) {
    SCOPED_TRACE(p);
    Stream stream = noisyStream(p, 0.4, 7 + p);
    for (auto& block : stream.blocks) block.resize(std::max<size_t>(block.size() / 8 * 8, 16));
    const auto serial = demodulate(stream, settingsFor(p, 0));
    ASSERT_GT(serial.size(), 50u);
    for (uint32_t workers : {1u, 2u, 3u, 4u, p}) {
      for (bool packing : {false, true}) {
        AirspyDemodSettings settings = settingsFor(p, workers);
        settings.packing = packing;
        EXPECT_EQ(demodulate(stream, settings), serial) << workers << " workers" << (packing ? ", packed" : "");
      }
    }
  }
}

TEST(AirspyDemodulator, ReportsItsShape) {
  AirspyDemodSettings settings = settingsFor(6, 4);
  AirspyDemodulator demod(settings, nullptr, nullptr);
  EXPECT_EQ(demod.phaseCount(), 6u);
  EXPECT_EQ(demod.workerCount(), 4u);
  std::vector<uint16_t> silence(1000, 2048);
  demod.processBlock(silence.data(), 1000);  // no callback: nothing to report to
  EXPECT_EQ(silence[0], 0);                   // rectified in place
  EXPECT_EQ(AirspyDemodulator(settingsFor(3, 1), nullptr, nullptr).workerCount(), 1u);
}

// The reply inside a squitter, behind a preamble laid over the squitter's own pulses, is a
// piece of it: not handed on and its address not cached, also when the squitter is split
// between two blocks or the rows run on workers.
TEST(AirspyDemodulator, NoFrameMadeOfAnotherFramesBits) {
  for (uint32_t p : {6u, 10u}) {
    for (uint32_t workers : {0u, 3u}) {
      const uint64_t start = 1001;
      const std::vector<Placed> frames = {{squitterAroundReply(), start, 60},
                                          {{}, start + uint64_t{innerReplyChip} * p, 120}};
      const auto samples = synthesize(lengthFor(frames, p), p, frames);
      // Whole, and cut between the squitter's window and the reply's.
      for (const size_t cut : {samples.size(), static_cast<size_t>(endOfWindow(start, p) + 30 * p)}) {
        SCOPED_TRACE(testing::Message() << "p " << p << " workers " << workers << " cut " << cut);
        Harness harness(settingsFor(p, workers));
        auto out = harness.feed(samples, 0, cut);
        for (const auto& more : {harness.feed(samples, cut), harness.finish()})
          out.insert(out.end(), more.begin(), more.end());
        ASSERT_EQ(out.size(), 1u) << testing::PrintToString(out);
        EXPECT_EQ(out[0].bytes, squitterAroundReply());
        EXPECT_EQ(out[0].time, endOfWindow(start, p));
        EXPECT_FALSE(harness.demod.addressCached(0xABCDE2));
      }
    }
  }
}
