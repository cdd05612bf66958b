// The CPR encoder against the textbook decode formulas, written out here independently.

#include <gtest/gtest.h>

#include <cmath>

#include "tests/tools/cpr_reference.h"
#include "tools/synth/cpr_encoder.h"

namespace {

TEST(CprEncoder, NumberOfLongitudeZonesFollowsTheTransitionLatitudes) {
  const struct {
    double lat;
    int nl;
  } cases[] = {{0, 59},         {10.47, 59},       {10.48, 58},       {-10.48, 58},      {14.828174, 58},
               {14.828175, 57}, {18.186263, 57},   {18.186264, 56},   {45, 42},          {-45, 42},
               {85.7554162, 4}, {85.7554163, 3},   {86.5353699, 3},   {86.5353700, 2},   {86.9, 2},
               {87.0, 1},       {-87.5, 1},        {90, 1}};
  for (const auto& c : cases) EXPECT_EQ(synthCprNL(c.lat), c.nl) << c.lat;
}

TEST(CprEncoder, AirbornePairsDecodeGloballyAndLocallyWithinTheQuantisation) {
  int decoded = 0, zoneMismatch = 0;
  for (double lat = -86.5; lat <= 86.5; lat += 1.37) {
    for (double lon = -179.9; lon < 180; lon += 7.31) {
      const SynthCpr even = synthEncodeCpr(lat, lon, false, false);
      const SynthCpr odd = synthEncodeCpr(lat, lon, true, false);
      for (bool useOdd : {false, true}) {
        const CprDecoded g = cprDecodeGlobal(even, odd, useOdd, false, 0, 0);
        if (!g.ok) {
          ++zoneMismatch;
          continue;
        }
        ++decoded;
        const double dLat = 360.0 / (useOdd ? 59 : 60);
        EXPECT_NEAR(g.lat, lat, dLat / cprScale) << lat << " " << lon;
        const double dLon = 360.0 / std::max(synthCprNL(lat) - (useOdd ? 1 : 0), 1);
        EXPECT_LE(cprLonError(g.lon, lon), dLon / cprScale) << lat << " " << lon;
        const CprDecoded l = cprDecodeLocal(useOdd ? odd : even, useOdd, false, lat + 0.8, lon - 0.9);
        EXPECT_NEAR(l.lat, lat, dLat / cprScale);
        EXPECT_LE(cprLonError(l.lon, lon), dLon / cprScale);
      }
    }
  }
  EXPECT_GT(decoded, 5000);
  EXPECT_LT(zoneMismatch, decoded / 50);  // only right at the zone transitions
}

TEST(CprEncoder, LongitudeZonesComeFromTheLatitudeTheReceiverWillDecode) {
  // Right at a zone-count transition the encoded latitude may round across it; the longitude
  // must then be encoded with the receiver's zone count, not that of the true latitude.
  int checked = 0;
  for (double transition : {10.47047130, 14.82817437, 18.18626357, 21.02939493, 59.95459277, 86.53536998}) {
    for (double lat = transition - 4e-5; lat < transition + 4e-5; lat += 1e-6) {
      for (bool useOdd : {false, true}) {
        const double lon = 123.456;
        const SynthCpr even = synthEncodeCpr(lat, lon, false, false);
        const SynthCpr odd = synthEncodeCpr(lat, lon, true, false);
        const SynthCpr own = useOdd ? odd : even;
        const CprDecoded l = cprDecodeLocal(own, useOdd, false, lat, lon);
        const int zones = std::max(synthCprNL(l.lat) - (useOdd ? 1 : 0), 1);
        ASSERT_LE(cprLonError(l.lon, lon), 360.0 / zones / cprScale) << lat;
        const CprDecoded g = cprDecodeGlobal(even, odd, useOdd, false, 0, 0);
        if (g.ok) {
          EXPECT_LE(cprLonError(g.lon, lon), 360.0 / zones / cprScale) << lat;
        }
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 400);
}

TEST(CprEncoder, SurfacePositionsDecodeAgainstANearbyReference) {
  for (double lat : {-33.94, -0.01, 1.3, 40.64, 51.47, 64.13, 78.2}) {
    for (double lon : {-179.99, -118.41, -73.78, -0.46, 0.0, 103.99, 151.18, 179.99}) {
      const SynthCpr even = synthEncodeCpr(lat, lon, false, true);
      const SynthCpr odd = synthEncodeCpr(lat, lon, true, true);
      const CprDecoded g = cprDecodeGlobal(even, odd, true, true, lat + 2, lon - 3);
      ASSERT_TRUE(g.ok) << lat << " " << lon;
      EXPECT_NEAR(g.lat, lat, 90.0 / 59 / cprScale) << lat << " " << lon;
      EXPECT_LE(cprLonError(g.lon, lon), 90.0 / std::max(synthCprNL(lat) - 1, 1) / cprScale) << lat << " " << lon;
    }
  }
}

TEST(CprEncoder, FieldsStayWithin17Bits) {
  // Just below a zone's upper edge the fraction rounds up to 2^17 and must wrap to 0.
  const double dLat = 360.0 / 60;
  const SynthCpr c = synthEncodeCpr(dLat - 1e-9, 0, false, false);
  EXPECT_EQ(c.latitude, 0u);
  for (double lat : {-90.0, -45.0, 0.0, 45.0, 90.0})
    for (bool surface : {false, true}) {
      const SynthCpr v = synthEncodeCpr(lat, 179.999999, true, surface);
      EXPECT_LT(v.latitude, 131072u);
      EXPECT_LT(v.longitude, 131072u);
    }
}

}  // namespace
