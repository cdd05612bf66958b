#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/cpr.h"
#include "decode/cpr_encoder.h"
#include "decode/geo.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

uint32_t frameBits(const std::string& hex, int first, int count) {
  uint32_t value = 0;
  for (int bit = first; bit < first + count; ++bit) {
    int nibble = std::stoi(hex.substr((bit - 1) / 4, 1), nullptr, 16);
    value = (value << 1) | ((nibble >> (3 - (bit - 1) % 4)) & 1);
  }
  return value;
}

double metres(double lat1, double lon1, double lat2, double lon2) {
  return greatCircleDistance(lat1, lon1, lat2, lon2);
}

// The number of longitude zones from its closed form.
int closedFormNL(double lat) {
  if (std::fabs(lat) >= 87.0) return 1;
  double c = std::cos(kPi / 180 * lat);
  return int(std::floor(2 * kPi / std::acos(1 - (1 - std::cos(kPi / 30)) / (c * c))));
}

const std::vector<double> kTransitions = {
    10.47047130, 14.82817437, 18.18626357, 21.02939493, 23.54504487, 25.82924707, 27.93898710,
    29.91135686, 31.77209708, 33.53993436, 35.22899598, 36.85025108, 38.41241892, 39.92256684,
    41.38651832, 42.80914012, 44.19454951, 45.54626723, 46.86733252, 48.16039128, 49.42776439,
    50.67150166, 51.89342469, 53.09516153, 54.27817472, 55.44378444, 56.59318756, 57.72747354,
    58.84763776, 59.95459277, 61.04917774, 62.13216659, 63.20427479, 64.26616523, 65.31845310,
    66.36171008, 67.39646774, 68.42322022, 69.44242631, 70.45451075, 71.45986473, 72.45884545,
    73.45177442, 74.43893416, 75.42056257, 76.39684391, 77.36789461, 78.33374083, 79.29428225,
    80.24923213, 81.19801349, 82.13956981, 83.07199445, 83.99173563, 84.89166191, 85.75541621,
    86.53536998};

TEST(CprNlTest, ZoneCountAtBoundaries) {
  struct Case {
    double lat;
    int nl;
  } cases[] = {{0, 59},          {10.47, 59},         {10.4704712, 59}, {10.4704713, 58},
               {10.48, 58},      {-10.48, 58},        {52.2572, 36},    {86.53536997, 3},
               {86.53536998, 2}, {86.9, 2},           {-86.9, 2},       {87.0, 1},
               {-87.0, 1},       {90.0, 1},           {NAN, 1}};
  for (const Case& c : cases) EXPECT_EQ(cprNL(c.lat), c.nl) << c.lat;
}

TEST(CprNlTest, TableMatchesClosedFormAroundEveryTransition) {
  ASSERT_EQ(kTransitions.size(), 57u);
  for (size_t i = 0; i < kTransitions.size(); ++i) {
    double lat = kTransitions[i];
    EXPECT_EQ(cprNL(lat - 1e-6), 59 - int(i)) << lat;
    EXPECT_EQ(cprNL(lat + 1e-6), 58 - int(i)) << lat;
    EXPECT_EQ(cprNL(lat - 1e-6), closedFormNL(lat - 1e-6)) << lat;
    EXPECT_EQ(cprNL(-(lat + 1e-6)), closedFormNL(lat + 1e-6)) << lat;
  }
}

// Two squitters of one aircraft: an even and an odd airborne position.
const std::string kEvenFrame = "8D40621D58C382D690C8AC2863A7";
const std::string kOddFrame = "8D40621D58C386435CC412692AD6";

TEST(CprGlobalTest, KnownPairDecodesForTheNewestFramesParity) {
  // F flag and the 17-bit fields of the extended squitter.
  EXPECT_EQ(frameBits(kEvenFrame, 54, 1), 0u);
  EXPECT_EQ(frameBits(kEvenFrame, 55, 17), 93000u);
  EXPECT_EQ(frameBits(kEvenFrame, 72, 17), 51372u);
  EXPECT_EQ(frameBits(kOddFrame, 54, 1), 1u);
  EXPECT_EQ(frameBits(kOddFrame, 55, 17), 74158u);
  EXPECT_EQ(frameBits(kOddFrame, 72, 17), 50194u);

  CprState state;
  state.store(true, 74158, 50194, 1000, false);
  state.store(false, 93000, 51372, 1002, false);
  double lat = 0, lon = 0;
  ASSERT_TRUE(state.decodeGlobal(false, 0, 0, false, lat, lon));
  EXPECT_NEAR(lat, 52.25720, 1e-5);
  EXPECT_NEAR(lon, 3.91937, 1e-5);

  // The same pair read for the odd frame gives the odd frame's own position.
  ASSERT_TRUE(state.decodeGlobal(true, 0, 0, false, lat, lon));
  EXPECT_NEAR(lat, 52.26578, 1e-5);
  EXPECT_NEAR(lon, 3.93891, 1e-5);
}

TEST(CprGlobalTest, DecodesEncodedPositionsAroundTheGlobe) {
  struct Case {
    double lat, lon;
  } cases[] = {{52.2572, 3.9194}, {-33.9461, 151.1772}, {40.6413, -73.7781}, {0.001, -179.999},
               {-0.001, 179.999}, {71.2, 179.99},       {-62.5, -0.0005},   {86.9, 45.0},
               {87.5, -120.0},    {10.4704, 12.0},      {10.4706, 12.0}};
  for (const Case& c : cases) {
    for (bool odd : {false, true}) {
      CprFrame even = encodeCpr(c.lat, c.lon, false, false);
      CprFrame oddFrame = encodeCpr(c.lat, c.lon, true, false);
      CprState state;
      state.store(false, even.lat, even.lon, 500, false);
      state.store(true, oddFrame.lat, oddFrame.lon, 501, false);
      double lat = 0, lon = 0;
      ASSERT_TRUE(state.decodeGlobal(odd, 0, 0, false, lat, lon)) << c.lat << " " << c.lon;
      EXPECT_LT(metres(lat, lon, c.lat, c.lon), 5.0) << c.lat << " " << c.lon << " odd " << odd;
      EXPECT_GE(lon, -180.0);
      EXPECT_LT(lon, 180.0);
    }
  }
}

TEST(CprGlobalTest, RejectsPairsThatCannotBeDecoded) {
  CprFrame even = encodeCpr(52.2572, 3.9194, false, false);
  CprFrame odd = encodeCpr(52.2572, 3.9194, true, false);
  // Straddling a zone-count transition: 10.46 and 10.48 degrees.
  CprFrame belowTransition = encodeCpr(10.46, 5.0, false, false);
  CprFrame aboveTransition = encodeCpr(10.48, 5.0, true, false);
  struct Case {
    const char* name;
    CprFrame even, odd;
    uint32_t evenTime, oddTime;
    bool evenSurface, oddSurface;
  } cases[] = {
      {"11 s apart", even, odd, 1000, 1011, false, false},
      {"11 s apart, odd first", even, odd, 1011, 1000, false, false},
      {"no even frame", even, odd, 0, 1000, false, false},
      {"no odd frame", even, odd, 1000, 0, false, false},
      {"mixed kinds", even, odd, 1000, 1001, false, true},
      {"zone counts differ", belowTransition, aboveTransition, 1000, 1001, false, false},
      // Zone index 20 puts both latitudes at 120 degrees.
      {"beyond the pole", {false, 0, 0}, {true, 87381, 0}, 1000, 1001, false, false},
      {"surface without reference", even, odd, 1000, 1001, true, true},
  };
  for (const Case& c : cases) {
    CprState state;
    state.store(false, c.even.lat, c.even.lon, c.evenTime, c.evenSurface);
    state.store(true, c.odd.lat, c.odd.lon, c.oddTime, c.oddSurface);
    double lat = 7, lon = 7;
    EXPECT_FALSE(state.decodeGlobal(true, 0, 0, false, lat, lon)) << c.name;
    EXPECT_EQ(lat, 7) << c.name;
  }
  // 10 s apart is still a pair.
  CprState state;
  state.store(false, even.lat, even.lon, 1000, false);
  state.store(true, odd.lat, odd.lon, 1010, false);
  double lat = 0, lon = 0;
  EXPECT_TRUE(state.decodeGlobal(true, 0, 0, false, lat, lon));

  // Values wider than 17 bits placed in the slots directly.
  state.oddLatitude = 131072;
  EXPECT_FALSE(state.decodeGlobal(true, 0, 0, false, lat, lon));
}

TEST(CprGlobalTest, SurfaceUsesTheReferenceForHemisphereAndQuadrant) {
  struct Case {
    double lat, lon;        // true position
    double refLat, refLon;  // receiver
  } cases[] = {
      {52.3086, 4.7639, 52.0, 4.0},        {-33.9461, 151.1772, -34.5, 150.0},
      {40.6413, -73.7781, 41.0, -74.5},    {-41.3272, 174.8050, -40.0, 176.0},
      {64.1300, -21.9400, 64.0, -22.0},    {0.2, 179.9, 0.5, -179.8},
      {-0.2, -179.95, 0.1, 179.5},         {33.6, -89.99, 33.0, -90.01},
  };
  for (const Case& c : cases) {
    for (bool odd : {false, true}) {
      CprFrame even = encodeCpr(c.lat, c.lon, false, true);
      CprFrame oddFrame = encodeCpr(c.lat, c.lon, true, true);
      CprState state;
      state.store(false, even.lat, even.lon, 500, true);
      state.store(true, oddFrame.lat, oddFrame.lon, 500, true);
      double lat = 0, lon = 0;
      ASSERT_TRUE(state.decodeGlobal(odd, c.refLat, c.refLon, true, lat, lon)) << c.lat;
      EXPECT_LT(metres(lat, lon, c.lat, c.lon), 2.0) << c.lat << " " << c.lon << " odd " << odd;
    }
  }
}

TEST(CprGlobalTest, SurfacePrefersTheAircraftsOwnLastPositionOverTheReceiver) {
  CprFrame even = encodeCpr(-33.9461, 151.1772, false, true);
  CprFrame odd = encodeCpr(-33.9461, 151.1772, true, true);
  CprState state;
  state.store(false, even.lat, even.lon, 500, true);
  state.store(true, odd.lat, odd.lon, 501, true);
  state.lastLatitude = -33.9;
  state.lastLongitude = 151.2;
  state.lastFixTime = 499;
  double lat = 0, lon = 0;
  // A receiver reference a whole quadrant and hemisphere away does not matter.
  ASSERT_TRUE(state.decodeGlobal(true, 52.0, 4.0, true, lat, lon));
  EXPECT_LT(metres(lat, lon, -33.9461, 151.1772), 2.0);
}

TEST(CprLocalTest, DecodesNearTheLastPosition) {
  struct Case {
    double lat, lon;          // true position
    double lastLat, lastLon;  // reference
    bool surface;
  } cases[] = {
      {52.2572, 3.9194, 52.0, 4.5, false},     {-33.9461, 151.1772, -35.0, 150.0, false},
      {40.6413, -73.7781, 40.0, -73.0, false}, {0.01, 179.99, -0.2, 179.5, false},
      {0.01, -179.99, 0.0, 179.9, false},      {86.95, 10.0, 86.0, 5.0, false},
      {52.3086, 4.7639, 52.30, 4.76, true},    {-33.9461, 151.1772, -33.94, 151.18, true},
      {21.3245, -157.9251, 21.32, -157.92, true},
  };
  for (const Case& c : cases) {
    for (bool odd : {false, true}) {
      CprFrame frame = encodeCpr(c.lat, c.lon, odd, c.surface);
      CprState state;
      state.lastLatitude = c.lastLat;
      state.lastLongitude = c.lastLon;
      double lat = 0, lon = 0;
      ASSERT_TRUE(state.decodeLocal(odd, c.surface, frame.lat, frame.lon, lat, lon));
      EXPECT_LT(metres(lat, lon, c.lat, c.lon), 5.0) << c.lat << " " << c.lon << " odd " << odd;
      EXPECT_GE(lon, -180.0);
      EXPECT_LT(lon, 180.0);
    }
  }
}

TEST(CprLocalTest, RejectsResultsOffTheGlobeAndWideValues) {
  CprState state;
  state.lastLatitude = 89.0;
  state.lastLongitude = 0;
  double lat = 7, lon = 7;
  // Nearest even zone to 89 degrees with a fraction of 0.1 lies at 90.6 degrees.
  EXPECT_FALSE(state.decodeLocal(false, false, 13107, 0, lat, lon));
  state.lastLatitude = 52.0;
  EXPECT_FALSE(state.decodeLocal(false, false, 131072, 0, lat, lon));
  EXPECT_FALSE(state.decodeLocal(false, false, 0, 0xFFFFFFFF, lat, lon));
  EXPECT_EQ(lat, 7);
  EXPECT_TRUE(state.decodeLocal(false, false, 131071, 131071, lat, lon));
  EXPECT_LE(std::fabs(lat), 90.0);
}

TEST(CprPlausibilityTest, SpeedLimits) {
  // Last fix at 52 N 4 E at second 1000; 1 m north is about 8.99e-6 degrees.
  constexpr double kNorth = 1.0 / 111226.3;
  struct Case {
    const char* name;
    uint32_t time;
    bool surface;
    double metresNorth;
    bool plausible;
  } cases[] = {
      {"airborne, same position a second later", 1001, false, 0, false},
      {"airborne, same position in the same second", 1000, false, 0, true},
      {"airborne, 0.5 m in a second", 1001, false, 0.5, false},
      {"airborne, 400 m in a second", 1001, false, 400, true},
      {"airborne, 600 m in a second", 1001, false, 600, false},
      {"airborne, 600 m in the same second", 1000, false, 600, false},
      {"airborne, 4900 m in 10 s", 1010, false, 4900, true},
      {"airborne, 4900 m 10 s earlier", 990, false, 4900, true},
      {"surface, same position a second later", 1001, true, 0, true},
      {"surface, 90 m in a second", 1001, true, 90, true},
      {"surface, 150 m in a second", 1001, true, 150, false},
      {"surface, 150 m in 2 s", 1002, true, 150, true},
  };
  for (const Case& c : cases) {
    CprState state;
    state.lastLatitude = 52.0;
    state.lastLongitude = 4.0;
    state.lastFixTime = 1000;
    EXPECT_EQ(state.isPlausible(c.time, c.surface, 52.0 + c.metresNorth * kNorth, 4.0), c.plausible)
        << c.name;
  }
  CprState noFix;
  EXPECT_FALSE(noFix.isPlausible(1000, true, 0, 0));
}

}  // namespace
