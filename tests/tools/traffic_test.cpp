// The schedule: rates, even/odd alternation, moving positions, parity, errors and overlaps.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "sdr/crc.h"
#include "tests/tools/cpr_reference.h"
#include "tools/synth/scenario.h"
#include "tools/synth/traffic.h"

namespace {

std::vector<SynthTransmission> collect(const SynthScenario& scenario, double seconds, uint32_t factor = 1) {
  SynthTraffic traffic(scenario, factor);
  std::vector<SynthTransmission> out;
  SynthTransmission tx;
  while (traffic.next(tx) && tx.start < seconds * 2e6 * factor) out.push_back(tx);
  return out;
}

uint32_t bits(const SynthFrame& f, int first, int width) {
  uint32_t v = 0;
  for (int i = first; i < first + width; ++i) v = (v << 1) | ((f.bytes[i >> 3] >> (7 - (i & 7))) & 1);
  return v;
}

TEST(Traffic, AnAirborneAircraftSendsAtRealisticRatesWithMovingPositions) {
  const SynthScenario s = parseSynthScenarioText(
      "seed 3\naircraft 4CA1D3 callsign=RYR12AB squawk=7421 lat=53.3 lon=-6.2 track=60 gs=450 alt=35000 "
      "vrate=-1000 replies=1\n");
  const auto frames = collect(s, 60);
  std::map<std::string, int> counts;
  for (const auto& tx : frames) ++counts[tx.kind.substr(0, tx.kind.find('-'))];
  EXPECT_NEAR(counts["airpos"], 120, 8);
  EXPECT_NEAR(counts["velocity"], 120, 8);
  EXPECT_NEAR(counts["ident"], 12, 1);
  EXPECT_NEAR(counts["df11"], 60, 4);
  EXPECT_NEAR(counts["df4"] + counts["df5"] + counts["df20"] + counts["df21"], 60, 25);

  // Even and odd strictly alternate; every even/odd pair decodes to a point on the flight
  // path, advancing at the ground speed.
  SynthCpr last[2];
  bool haveLast[2] = {false, false};
  int expectOdd = -1;
  std::vector<std::pair<double, CprDecoded>> fixes;
  for (const auto& tx : frames) {
    if (tx.kind.rfind("airpos", 0) != 0) continue;
    const int odd = static_cast<int>(bits(tx.frame, 53, 1));
    if (expectOdd >= 0) {
      EXPECT_EQ(odd, expectOdd);
    }
    expectOdd = 1 - odd;
    EXPECT_EQ(tx.kind, odd ? "airpos-odd" : "airpos-even");
    last[odd] = {bits(tx.frame, 54, 17), bits(tx.frame, 71, 17)};
    haveLast[odd] = true;
    if (haveLast[0] && haveLast[1]) {
      const CprDecoded d = cprDecodeGlobal(last[0], last[1], odd == 1, false, 0, 0);
      if (d.ok) fixes.push_back({tx.start / 2e6, d});
    }
  }
  ASSERT_GT(fixes.size(), 100u);
  const auto& [t0, p0] = fixes.front();
  const auto& [t1, p1] = fixes.back();
  const double north = (p1.lat - p0.lat) * 60, east = (p1.lon - p0.lon) * 60 * std::cos(53.4 * M_PI / 180);
  EXPECT_NEAR(std::hypot(north, east), 450 * (t1 - t0) / 3600, 0.1);  // nautical miles
  EXPECT_NEAR(std::atan2(east, north) * 180 / M_PI, 60, 0.5);
  for (size_t i = 1; i < fixes.size(); ++i)  // each pair decodes near the previous fix: no jumps
    EXPECT_LT(std::hypot(fixes[i].second.lat - fixes[i - 1].second.lat, fixes[i].second.lon - fixes[i - 1].second.lon),
              0.01);
}

TEST(Traffic, ParityOfEveryFrameAndErrorsOnlyWhereAsked) {
  const SynthScenario s = parseSynthScenarioText(
      "seed 11\nerrors 0.1 0.1\nmodeac 1\ninterrogator 18\nflip 5 3\n"
      "aircraft 400001 callsign=A1 lat=40 lon=-74 track=10 gs=250 alt=12000 replies=5 spi=yes\n"
      "aircraft 400002 callsign=B2 squawk=7700 lat=40.1 lon=-74 gs=300 alt=52000 turn=1 replies=5\n"
      "aircraft 400003 callsign=C3 lat=40.64 lon=-73.78 track=220 gs=12 ground=yes replies=5\n"
      "aircraft 400004 lat=40.64 lon=-73.79 ground=yes adsb=no replies=5\n");
  const std::set<uint32_t> addresses = {0x400001, 0x400002, 0x400003, 0x400004};
  const auto frames = collect(s, 30);
  std::map<std::string, int> kinds;
  int flipped = 0;
  for (const auto& tx : frames) {
    ++kinds[tx.kind];
    if (tx.modeAc) {
      EXPECT_EQ(tx.frame.length, 2u);
      continue;
    }
    const uint32_t df = tx.frame.bytes[0] >> 3;
    const uint32_t syndrome = modeSCrcSyndrome(tx.frame.bytes, tx.frame.length);
    const uint32_t expected = df == 17 ? 0u : df == 11 ? 18u : (addresses.count(syndrome) ? syndrome : 0xFFFFFFFFu);
    EXPECT_EQ(syndrome, expected) << tx.kind;
    EXPECT_EQ(tx.frame.length, df >= 16 ? 14u : 7u);

    // On air = encoded frame with exactly the listed bits inverted.
    int differing = 0;
    for (uint32_t b = 0; b < tx.frame.length * 8; ++b) differing += bits(tx.frame, b, 1) != bits(tx.onAir, b, 1);
    EXPECT_EQ(differing, tx.flipCount);
    if (tx.index == 5) {
      EXPECT_EQ(tx.flipCount, 1);
      EXPECT_EQ(tx.flips[0], 3);
    } else if (df != 17) {
      EXPECT_EQ(tx.flipCount, 0) << tx.kind;
    }
    for (int i = 0; i < tx.flipCount; ++i) EXPECT_GE(tx.flips[i], tx.index == 5 ? 0 : 5);
    flipped += tx.flipCount > 0;
  }
  EXPECT_GT(flipped, 20);
  // Surface aircraft send surface positions and no velocity; the Mode S-only one no squitters.
  EXPECT_GT(kinds["surfpos-even"] + kinds["surfpos-odd"], 40);
  EXPECT_GT(kinds["modea"] + kinds["modec"], 60);
  for (const char* kind : {"df4", "df5", "df20-bds20", "df20-bds40", "df20-bds50", "df20-bds60", "df21-bds20"})
    EXPECT_GT(kinds[kind], 0) << kind;
  for (const auto& tx : frames) {
    const uint32_t address = bits(tx.frame, 8, 24);
    if (tx.kind == "velocity") {
      EXPECT_NE(address, 0x400003u);
    }
    if ((tx.frame.bytes[0] >> 3) == 17) {
      EXPECT_NE(address, 0x400004u);
    }
  }
}

TEST(Traffic, FramesAreKeptApartUnlessOverlapsAreAsked) {
  const std::string aircraft =
      "aircraft 400001 callsign=A1 lat=40 lon=-74 gs=250 alt=12000 replies=20 modeac=20\n"
      "aircraft 400002 callsign=B2 lat=40.1 lon=-74 gs=300 alt=22000 replies=20\n"
      "aircraft 400003 callsign=C3 lat=40.2 lon=-74 gs=300 alt=32000 replies=20\n";
  for (const char* mode : {"", "overlap 0.2\n", "collisions allow\n"}) {
    SCOPED_TRACE(mode);
    const SynthScenario s = parseSynthScenarioText(std::string("timing aligned\n") + mode + aircraft);
    const auto frames = collect(s, 20, 5);
    int flagged = 0, intersecting = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      if (i > 0) {
        ASSERT_GE(frames[i].start, frames[i - 1].start);
      }
      EXPECT_EQ(frames[i].start, std::floor(frames[i].start));
      bool overlaps = false;
      for (size_t j = i + 1; j < frames.size() && frames[j].start < frames[i].endSample(10); ++j) overlaps = true;
      for (size_t j = i; j-- > 0 && frames[j].start > frames[i].start - 1300;)
        if (frames[j].endSample(10) > frames[i].start) overlaps = true;
      EXPECT_EQ(overlaps, frames[i].overlap) << i;
      flagged += frames[i].overlap;
      if (i > 0 && frames[i].start < frames[i - 1].endSample(10) + 4 * 10) ++intersecting;
    }
    if (std::string(mode).empty()) {
      EXPECT_EQ(intersecting, 0);
    } else {
      EXPECT_GT(flagged, 20);
    }
  }
}

}  // namespace
