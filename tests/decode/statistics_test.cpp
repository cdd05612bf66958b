#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/host_clock.h"
#include "decode/message_decoder.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "tests/decode/aircraft_test_support.h"
#include "tests/decode/frame_builder.h"

using namespace tracking_test;

namespace {

constexpr uint32_t kIcao = 0x4CA1FA;

std::set<StatCounterKind> countedKinds(const Statistics& stats) {
  std::set<StatCounterKind> kinds;
  for (const auto& [kind, total] : stats.counters()) {
    EXPECT_EQ(total, 1u) << statCounterName(kind);
    kinds.insert(kind);
  }
  return kinds;
}

TEST(StatisticsTest, CountsEachMessageByKindFormatAndTypeCode) {
  struct Case {
    int df, typeCode;
    std::set<StatCounterKind> kinds;
  };
  const std::vector<Case> cases = {
      {17, 19, {TOTAL_MSG, ADSB_MSG, ADSB_SPEED}},
      {17, 0, {TOTAL_MSG, ADSB_MSG, ADSB_NOPOSITION}},
      {17, 23, {TOTAL_MSG, ADSB_MSG, ADSB_NONE}},
      {18, 30, {TOTAL_MSG, ADSB_MSG, ADSB_NONE}},
      {17, 4, {TOTAL_MSG, ADSB_MSG, ADSB_IDENT}},
      {17, 8, {TOTAL_MSG, ADSB_MSG, ADSB_SPOS}},
      {17, 9, {TOTAL_MSG, ADSB_MSG, ADSB_APOS}},
      {18, 22, {TOTAL_MSG, ADSB_MSG, ADSB_APOS}},
      {17, 28, {TOTAL_MSG, ADSB_MSG, ADSB_STATUS}},
      {17, 29, {TOTAL_MSG, ADSB_MSG, ADSB_TSTATE}},
      {19, 31, {TOTAL_MSG, ADSB_MSG, ADSB_ASTATUS}},
      {0, 0, {TOTAL_MSG, MODES_MSG, MODES_SHORT}},
      {4, 0, {TOTAL_MSG, MODES_MSG, MODES_SHORT}},
      {5, 0, {TOTAL_MSG, MODES_MSG, MODES_SHORT}},
      {11, 0, {TOTAL_MSG, MODES_MSG, MODES_SHORT}},
      {16, 0, {TOTAL_MSG, MODES_MSG, MODES_LONG}},
      {20, 0, {TOTAL_MSG, MODES_MSG, MODES_LONG}},
      {21, 0, {TOTAL_MSG, MODES_MSG, MODES_LONG}},
  };
  Config config;
  for (const Case& c : cases) {
    Statistics stats(config, nullptr, nullptr, 0);
    EXPECT_TRUE(stats.counters().empty());  // no kind before its first count
    stats.onMessage(frameWithSignal(50, kStart), message(c.df, kIcao, kStart, c.typeCode));
    EXPECT_EQ(countedKinds(stats), c.kinds) << "DF " << c.df << " TC " << c.typeCode;
    for (int i = 0; i < 32; ++i) {
      EXPECT_EQ(stats.downlinkFormatCount(i), i == c.df ? 1u : 0u) << c.df;
      const bool adsb = c.df == 17 || c.df == 18 || c.df == 19;
      EXPECT_EQ(stats.typeCodeCount(i), adsb && i == c.typeCode ? 1u : 0u) << c.df;
    }
  }

  // A Mode A/C reply is counted by the pipeline only, and not as a message.
  Statistics stats(config, nullptr, nullptr, 0);
  stats.addCounter(MODEAC_MSG, 1);
  stats.addCounter(OUTPUT_BYTES, 25);
  stats.addCounter(OUTPUT_BYTES, 25);
  uint64_t total = 0;
  EXPECT_FALSE(stats.counter(TOTAL_MSG, total));
  ASSERT_TRUE(stats.counter(OUTPUT_BYTES, total));
  EXPECT_EQ(total, 50u);
  ASSERT_EQ(stats.counters().size(), 2u);
  EXPECT_EQ(stats.counters()[0].first, MODEAC_MSG);
  EXPECT_STREQ(statCounterName(ADSB_ASTATUS), "ADSB_ASTATUS");
  EXPECT_STREQ(statCounterName(static_cast<StatCounterKind>(17)), "");
  EXPECT_EQ(stats.downlinkFormatCount(32), 0u);
  EXPECT_EQ(stats.downlinkFormatCount(-1), 0u);
}

// Where one position lands: sector, ring, degree entry and histogram cell.
TEST(StatisticsTest, CoverageBinsByBearingAndDistance) {
  struct Case {
    bool metric;
    float bearing, distance;
    int sector, ring, degree, cell;  // -1: none
  };
  const std::vector<Case> cases = {
      {false, 354.9f, 10.0f, 35, 0, 355, 10}, {false, 355.0f, 10.0f, 0, 0, 355, 10},
      {false, 359.7f, 10.0f, 0, 0, -1, 10},   {false, 0.4f, 10.0f, 0, 0, 0, 10},
      {false, 0.5f, 10.0f, 0, 0, 1, 10},      {false, 4.99f, 10.0f, 0, 0, 5, 10},
      {false, 5.0f, 10.0f, 1, 0, 5, 10},      {false, 90.0f, 49.9f, 9, 0, 90, 49},
      {false, 90.0f, 50.0f, 9, 1, 90, 50},    {false, 90.0f, 250.0f, 9, 5, 90, 250},
      {false, 90.0f, 299.9f, 9, 5, 90, 299},  {false, 90.0f, 300.0f, 9, 5, 90, -1},
      {false, 90.0f, 0.0f, 9, 0, -1, 0},      {true, 180.0f, 99.9f, 18, 0, 180, 99},
      {true, 180.0f, 520.0f, 18, 5, 180, 520}, {true, 180.0f, 549.9f, 18, 5, 180, 549},
      {true, 180.0f, 550.0f, 18, 5, 180, -1},
  };
  for (const Case& c : cases) {
    Config config;
    config.metric = c.metric;
    Statistics stats(config, nullptr, nullptr, 0);
    ASSERT_EQ(stats.histogramCellCount(), c.metric ? 550u : 300u);
    stats.recordCoverage(c.distance, c.bearing, 51.5, -0.1);
    const std::string label = std::to_string(c.bearing) + " " + std::to_string(c.distance);
    for (int s = 0; s < Statistics::kSectors; ++s) {
      for (int r = 0; r < Statistics::kRings; ++r) {
        EXPECT_EQ(stats.polarCount(s, r), s == c.sector && r == c.ring ? 1u : 0u) << label;
      }
      EXPECT_EQ(stats.sectorMaximum(s), s == c.sector ? c.distance : 0.0f) << label;
    }
    for (int d = 0; d < Statistics::kDegrees; ++d) {
      const FarthestPosition f = stats.farthest(d);
      if (d == c.degree) {
        EXPECT_EQ(f.distance, c.distance) << label;
        EXPECT_EQ(f.latitude, 51.5f);
        EXPECT_EQ(f.longitude, -0.1f);
      } else {
        EXPECT_EQ(f.distance, 0.0f) << label << " degree " << d;
      }
    }
    for (uint32_t i = 0; i < stats.histogramCellCount(); ++i) {
      EXPECT_EQ(stats.histogramCell(i), int(i) == c.cell ? 1u : 0u) << label;
    }
  }

  // Nearer positions leave the maxima alone; bad numbers are ignored.
  Config config;
  Statistics stats(config, nullptr, nullptr, 0);
  stats.recordCoverage(120.0f, 45.0f, 1.0, 2.0);
  stats.recordCoverage(80.0f, 45.2f, 3.0, 4.0);
  stats.recordCoverage(std::nanf(""), 45.0f, 3.0, 4.0);
  stats.recordCoverage(80.0f, 360.0f, 3.0, 4.0);
  EXPECT_EQ(stats.sectorMaximum(5), 120.0f);
  EXPECT_EQ(stats.farthest(45).latitude, 1.0f);
  EXPECT_EQ(stats.polarCount(5, 2) + stats.polarCount(5, 1), 2u);
}

TEST(StatisticsTest, PositionsNeedAReceiverPositionForCoverage) {
  Config config;
  ReceiverPosition receiver;  // fewer than 20 samples, not fixed
  Statistics stats(config, &receiver, nullptr, 0);
  stats.onMessage(frameWithSignal(50, kStart), airbornePosition(kIcao, kStart, 51.0, 0.0, 30000));
  uint64_t total = 0;
  ASSERT_TRUE(stats.counter(OUTPUT_POSITIONS, total));
  EXPECT_EQ(total, 1u);
  EXPECT_EQ(stats.hour(2).positions, 1u);
  for (int s = 0; s < Statistics::kSectors; ++s) EXPECT_EQ(stats.sectorMaximum(s), 0.0f);
  for (uint32_t i = 0; i < stats.histogramCellCount(); ++i) EXPECT_EQ(stats.histogramCell(i), 0u);

  // Fixed at 50 N 10 E: 80.5 NM due north lands in sector 0, ring 1, degree 0, cell 80.
  receiver.fix(50.0, 10.0);
  const double latitude = northOf(50.0, 80.5 / 0.0005399568);
  stats.onMessage(frameWithSignal(50, kStart + 1), airbornePosition(kIcao, kStart + 1, latitude, 10.0, 30000));
  EXPECT_EQ(stats.polarCount(0, 1), 1u);
  EXPECT_NEAR(stats.sectorMaximum(0), 80.5f, 1e-3);
  EXPECT_EQ(stats.histogramCell(80), 1u);
  const FarthestPosition f = stats.farthest(0);
  EXPECT_NEAR(f.distance, 80.5f, 1e-3);
  EXPECT_EQ(f.latitude, static_cast<float>(latitude));
  EXPECT_EQ(f.longitude, 10.0f);

  Config metric;
  metric.metric = true;
  Statistics km(metric, &receiver, nullptr, 0);
  km.onMessage(frameWithSignal(50, kStart), airbornePosition(kIcao, kStart, northOf(50.0, 150500), 10.0, 30000));
  EXPECT_EQ(km.polarCount(0, 1), 1u);
  EXPECT_EQ(km.histogramCell(150), 1u);
}

// kStart is 02:40 UTC; one hour ahead of UTC that is 03:40 local.
TEST(StatisticsTest, HourlyCountsRestartWhenTheirHourComesRound) {
  Config config;
  Statistics stats(config, nullptr, nullptr, 3600);
  stats.onMessage(frameWithSignal(1, kStart), surveillance(11, kIcao, kStart));
  stats.onMessage(frameWithSignal(1, kStart + 60), airbornePosition(kIcao, kStart + 60, 51.0, 0.0, 9000));
  stats.onMessage(frameWithSignal(1, kStart + 120), surveillance(4, kIcao, kStart + 120));
  EXPECT_EQ(stats.hour(3).messages, 3u);
  EXPECT_EQ(stats.hour(3).positions, 1u);

  stats.onMessage(frameWithSignal(1, kStart + 3600), surveillance(11, kIcao, kStart + 3600));
  EXPECT_EQ(stats.hour(4).messages, 1u);
  EXPECT_EQ(stats.hour(4).positions, 0u);
  EXPECT_EQ(stats.hour(3).messages, 3u);

  // The next day's 03:xx starts over, counting a position in its first message.
  const uint32_t nextDay = kStart + 86400;
  stats.onMessage(frameWithSignal(1, nextDay), airbornePosition(kIcao, nextDay, 51.0, 0.0, 9000));
  EXPECT_EQ(stats.hour(3).messages, 1u);
  EXPECT_EQ(stats.hour(3).positions, 1u);
  EXPECT_EQ(stats.hour(4).messages, 1u);
  EXPECT_EQ(stats.hour(24).messages, 0u);

  Statistics west(config, nullptr, nullptr, -5 * 3600);  // 21:40 the day before
  west.onMessage(frameWithSignal(1, kStart), surveillance(11, kIcao, kStart));
  EXPECT_EQ(west.hour(21).messages, 1u);
}

TEST(StatisticsTest, StartTimeComesFromTheHostClock) {
  setHostSecondsForTest(kStart + 5);
  Config config;
  Statistics stats(config, nullptr, nullptr, 0);
  setHostSecondsForTest(0);
  EXPECT_EQ(stats.startTime(), kStart + 5);
  EXPECT_FALSE(stats.metric());
}

// Real frames through the decoder into the statistics and the aircraft table.
TEST(StatisticsTest, DecodedFramesReachTheAircraftTable) {
  Config config;
  ReceiverPosition receiver;
  RecordingAirInfo airInfo;
  Statistics stats(config, &receiver, &airInfo, 0);
  MessageDecoder decoder;
  Message m;
  // An identification, then an odd and an even position, whose fix the next even one (within
  // the same second, or it would be a stuck report) confirms.
  const std::pair<const char*, uint32_t> frames[] = {{"8D4840D6202CC371C32CE0576098", kStart},
                                                     {"8D40621D58C386435CC412692AD6", kStart + 1},
                                                     {"8D40621D58C382D690C8AC2863A7", kStart + 2},
                                                     {"8D40621D58C382D690C8AC2863A7", kStart + 2}};
  for (const auto& [hex, time] : frames) {
    ModesData frame = frame_builder::fromHex(hex, time);
    frame.signal = 80;
    frame.receiverPosition = &receiver;
    ASSERT_TRUE(decoder.decode(frame, m)) << hex;
    stats.onMessage(frame, m);
  }
  uint64_t total = 0;
  ASSERT_TRUE(stats.counter(ADSB_IDENT, total));
  ASSERT_TRUE(stats.counter(ADSB_APOS, total));
  EXPECT_EQ(total, 3u);
  ASSERT_TRUE(stats.counter(OUTPUT_POSITIONS, total));
  EXPECT_EQ(total, 1u);

  AircraftTable& table = stats.aircraftTable();
  std::lock_guard<std::mutex> lock(table.mutex());
  ASSERT_EQ(table.size(), 2u);
  const Aircraft* klm = table.find(0x4840D6);
  ASSERT_NE(klm, nullptr);
  EXPECT_EQ(klm->callsign.value, "KLM1023");
  const Aircraft* other = table.find(0x40621D);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->altitude.value, 38000.0f);
  EXPECT_NEAR(other->latitude.value, 52.2572, 1e-3);
  EXPECT_NEAR(other->longitude.value, 3.9194, 1e-3);
  EXPECT_EQ(other->messageCount.value, 3u);
  EXPECT_FALSE(other->onGround.value);
  EXPECT_EQ(other->trail.size(), 1u);
  EXPECT_EQ(other->signalLevel.value, 80);

  // One aircraft look-up per new address and one route look-up for the callsign.
  std::vector<std::string> seen;
  for (const auto& c : airInfo.commands) {
    seen.push_back((c.kind() == AirInfoCommand::Kind::RouteLookup ? "route " + c.flight + " " : "aircraft ") +
                   formatIcao(c.address));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"route KLM1023 4840D6", "aircraft 4840D6", "aircraft 40621D"}));
}

}  // namespace
