#include <gtest/gtest.h>

#include "decode/aircraft.h"
#include "tests/decode/aircraft_test_support.h"

using namespace tracking_test;

namespace {

constexpr uint32_t kIcao = 0x4CA1FA;

using AircraftTrailTest = AircraftFixture;

TEST_F(AircraftTrailTest, TrailPointsGapsAndGround) {
  // Positions 20 s apart: the second point carries the gap flag.
  Aircraft& a = first(airbornePosition(kIcao, kStart, 52.0, 4.0, 10000), 1);
  next(airbornePosition(kIcao, kStart + 20, 52.001, 4.0, 10000), 2);
  ASSERT_EQ(a.trail.size(), 2u);
  EXPECT_TRUE(a.trail[1].gap);
  // A straight, level flight makes no point; a climb of more than 256 ft and a turn do.
  next(airbornePosition(kIcao, kStart + 21, 52.002, 4.0, 10100), 3);
  EXPECT_EQ(a.trail.size(), 2u);
  next(airbornePosition(kIcao, kStart + 22, 52.003, 4.0, 10300), 4);
  EXPECT_EQ(a.trail.size(), 3u);
  EXPECT_EQ(a.trail.back().altitude, 10300.0f);
  next(velocity(kIcao, kStart + 23, 300, 2.0, 0), 5);  // within 3 degrees of the computed 0
  EXPECT_EQ(a.trail.size(), 3u);
  next(velocity(kIcao, kStart + 24, 300, 10.0, 0), 6);
  EXPECT_EQ(a.trail.size(), 4u);
  EXPECT_FALSE(a.trail.back().gap);
  EXPECT_EQ(a.trail.back().serial, 6u);

  // On the ground a move of 3 m makes no point, one of 6 m does, at altitude -10000.
  Aircraft& g = first(surfacePosition(kIcao, kStart, 52.3, 4.7), 1);
  ASSERT_EQ(g.trail.size(), 1u);
  EXPECT_EQ(g.trail[0].altitude, -10000.0f);
  next(surfacePosition(kIcao, kStart + 1, northOf(52.3, 3), 4.7), 2);
  EXPECT_EQ(g.trail.size(), 1u);
  next(surfacePosition(kIcao, kStart + 2, northOf(52.3, 9), 4.7), 3);
  ASSERT_EQ(g.trail.size(), 2u);
  EXPECT_EQ(g.trail[1].altitude, -10000.0f);

  // Airborne without any altitude: no point until an altitude arrives, then at once.
  Aircraft& n = first(positionWithoutAltitude(kIcao, kStart, 52.0, 4.0), 1);
  next(positionWithoutAltitude(kIcao, kStart + 1, 52.01, 4.0), 2);
  EXPECT_TRUE(n.trail.empty());
  Message altitudeOnly = surveillance(4, kIcao, kStart + 2);
  altitudeOnly.altitude = 5000;
  altitudeOnly.set(MessageField::ALTITUDE);
  next(altitudeOnly, 3);
  ASSERT_EQ(n.trail.size(), 1u);
  EXPECT_FLOAT_EQ(n.trail[0].latitude, 52.01f);
  EXPECT_EQ(n.trail[0].altitude, 5000.0f);
}

TEST_F(AircraftTrailTest, ImpossibleJumpRestartsTheTrail) {
  Aircraft& a = first(airbornePosition(kIcao, kStart, 52.0, 4.0, 30000), 1);
  next(airbornePosition(kIcao, kStart + 5, 52.0, 4.05, 31000), 2);
  ASSERT_EQ(a.trail.size(), 2u);
  next(airbornePosition(kIcao, kStart + 15, northOf(52.0, 600000), 4.05, 31000), 3);
  EXPECT_TRUE(a.trail.empty());
  EXPECT_EQ(a.trailRestartSerial, 3u);
  next(airbornePosition(kIcao, kStart + 16, northOf(52.0, 600200), 4.05, 31000), 4);
  ASSERT_EQ(a.trail.size(), 1u);  // the trail starts over from the new position
  EXPECT_FALSE(a.trail[0].gap);
  EXPECT_EQ(a.trail[0].serial, 4u);
}

TEST_F(AircraftTrailTest, TrailIsBoundedAndKeepsTheNewestPoints) {
  Aircraft& a = first(airbornePosition(kIcao, kStart, 52.0, 4.0, 1000), 1);
  const uint32_t total = Trail::kTrailCapacity + 50;
  for (uint32_t i = 1; i < total; ++i) {
    // Each message climbs 300 ft, so each makes a point.
    next(airbornePosition(kIcao, kStart + i, 52.0 + i * 1e-4, 4.0, 1000 + 300 * int(i)), 1 + i);
  }
  ASSERT_EQ(a.trail.size(), Trail::kTrailCapacity);
  EXPECT_EQ(a.trail[0].serial, total - Trail::kTrailCapacity + 1);
  EXPECT_EQ(a.trail.back().serial, total);
  for (size_t i = 1; i < a.trail.size(); ++i) EXPECT_EQ(a.trail[i].serial, a.trail[i - 1].serial + 1);
}

}  // namespace
