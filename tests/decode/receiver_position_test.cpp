#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>

#include "app/logger.h"
#include "support/log_lines.h"
#include "decode/geo.h"
#include "decode/receiver_position.h"

namespace {

int countLogLines(uint32_t since, const std::string& text) {
  int found = 0;
  for (const std::string& value : logLinesAfter(since)) {
    if (value.size() >= text.size() && value.compare(value.size() - text.size(), text.size(), text) == 0)
      ++found;
  }
  return found;
}

TEST(ReceiverPositionTest, EstimateAfterTwentySamples) {
  ReceiverPosition position;
  double lat = 7, lon = 7;
  uint32_t since = Logger::instance().nextSequenceNumber() - 1;
  for (int i = 0; i < 19; ++i) position.addSample(50.0 + (i % 2), 4.0 + (i % 2));
  EXPECT_FALSE(position.get(lat, lon));
  EXPECT_EQ(lat, 7);
  EXPECT_EQ(countLogLines(since, "Coverage area was determined"), 0);

  position.addSample(51.0, 5.0);
  ASSERT_TRUE(position.get(lat, lon));
  EXPECT_NEAR(lat, 50.5, 1e-12);
  EXPECT_NEAR(lon, 4.5, 1e-3);  // circular mean of 4 and 5 degrees
  EXPECT_EQ(countLogLines(since, "Coverage area was determined"), 1);
  EXPECT_EQ(countLogLines(since, "Magnetic declination value was calculated"), 1);

  position.addSample(51.0, 5.0);  // announced once only
  EXPECT_EQ(countLogLines(since, "Coverage area was determined"), 1);
}

TEST(ReceiverPositionTest, LongitudeMeanAcrossTheDateLine) {
  ReceiverPosition position;
  for (int i = 0; i < 10; ++i) {
    position.addSample(-17.0, 179.0);
    position.addSample(-17.0, -179.0);
  }
  double lat = 0, lon = 0;
  ASSERT_TRUE(position.get(lat, lon));
  EXPECT_NEAR(lat, -17.0, 1e-12);
  EXPECT_NEAR(180.0 - std::fabs(lon), 0.0, 1e-9);
}

TEST(ReceiverPositionTest, FixedPositionWinsAndSamplesAreIgnored) {
  ReceiverPosition position;
  for (int i = 0; i < 25; ++i) position.addSample(10.0, 10.0);
  position.fix(52.3, 4.76);
  position.addSample(-40.0, 100.0);
  double lat = 0, lon = 0;
  ASSERT_TRUE(position.get(lat, lon));
  EXPECT_EQ(lat, 52.3);
  EXPECT_EQ(lon, 4.76);
  EXPECT_EQ(position.sampleCount(), 25u);
  position.fix(1.0, 2.0);  // the followed aircraft moves it again
  ASSERT_TRUE(position.get(lat, lon));
  EXPECT_EQ(lat, 1.0);

  ReceiverPosition fixedFromStart;
  fixedFromStart.fix(-33.9, 151.2);
  EXPECT_TRUE(fixedFromStart.get(lat, lon));
  EXPECT_TRUE(fixedFromStart.isFixed());
}

TEST(ReceiverPositionTest, BadSamplesDoNotPoisonTheMean) {
  ReceiverPosition position;
  for (int i = 0; i < 20; ++i) position.addSample(45.0, -120.0);
  position.addSample(NAN, 0);
  position.addSample(0, INFINITY);
  position.addSample(95.0, 0);
  double lat = 0, lon = 0;
  ASSERT_TRUE(position.get(lat, lon));
  EXPECT_NEAR(lat, 45.0, 1e-12);
  EXPECT_NEAR(lon, -120.0, 1e-9);
  EXPECT_EQ(position.sampleCount(), 20u);
}

TEST(ReceiverPositionTest, SumsRescaleAfterAMillionSamplesKeepingTheMean) {
  ReceiverPosition position;
  for (uint32_t i = 0; i < 1000000; ++i) position.addSample(i % 2 ? 60.0 : 50.0, i % 2 ? 11.0 : 9.0);
  double lat = 0, lon = 0;
  ASSERT_TRUE(position.get(lat, lon));
  double latBefore = lat, lonBefore = lon;
  position.addSample(60.0, 11.0);
  EXPECT_EQ(position.sampleCount(), 10000u);
  ASSERT_TRUE(position.get(lat, lon));
  // The mean of the 1,000,001 samples, not shifted by the rescale.
  EXPECT_NEAR(lat, (latBefore * 1000000 + 60.0) / 1000001, 1e-9);
  EXPECT_NEAR(lon, lonBefore, 1e-4);
  // Later samples weigh 1 in 10,001 now.
  position.addSample(-45.0, 10.0);
  ASSERT_TRUE(position.get(lat, lon));
  EXPECT_NEAR(lat, (55.0 * 10000 - 45.0) / 10001, 1e-4);
}

TEST(ReceiverPositionTest, ReaderNeverSeesAHalfUpdatedEstimate) {
  ReceiverPosition position;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!done) {
      double lat = 0, lon = 0;
      if (position.get(lat, lon) && (std::fabs(lat - 40.0) > 1e-9 || std::fabs(lon + 3.0) > 1e-6))
        ++bad;
    }
  });
  for (int i = 0; i < 200000; ++i) position.addSample(40.0, -3.0);
  done = true;
  reader.join();
  EXPECT_EQ(bad, 0);
}

TEST(GeoTest, GreatCircleDistance) {
  constexpr double kDegree = 6372795.0 * 3.14159265358979323846 / 180;
  struct Case {
    double lat1, lon1, lat2, lon2, metres, tolerance;
  } cases[] = {
      {52.0, 4.0, 52.0, 4.0, 0, 0},
      {0, 0, 0, 1, kDegree, 1e-6},
      {0, 0, 1, 0, kDegree, 1e-6},
      {0, 179.5, 0, -179.5, kDegree, 1e-6},
      {90, 0, -90, 0, 180 * kDegree, 1e-3},
      {0, 0, 0, 180, 180 * kDegree, 1e-3},
      {10, 20, -10, -160, 180 * kDegree, 1.0},  // antipodal: no NaN from rounding
      {51.5074, -0.1278, 48.8566, 2.3522, 343660, 200},  // London - Paris
      {52.2572, 3.9194, 52.2572, 3.9194 + 1e-7, 6.82e-3, 1e-4},
  };
  for (const Case& c : cases) {
    double d = greatCircleDistance(c.lat1, c.lon1, c.lat2, c.lon2);
    EXPECT_NEAR(d, c.metres, c.tolerance) << c.lat1 << "," << c.lon1 << " " << c.lat2 << "," << c.lon2;
    EXPECT_NEAR(greatCircleDistance(c.lat2, c.lon2, c.lat1, c.lon1), d, 1e-6);
  }
}

TEST(GeoTest, InitialBearing) {
  struct Case {
    double lat1, lon1, lat2, lon2, degrees, tolerance;
  } cases[] = {
      {0, 0, 1, 0, 0, 1e-9},       {0, 0, 0, 1, 90, 1e-9},   {0, 0, -1, 0, 180, 1e-9},
      {0, 0, 0, -1, 270, 1e-9},    {0, 0, 1, -1, 315, 0.01}, {52, 4, 52, 4, 0, 0},
      {0, 179.5, 0, -179.5, 90, 1e-9},
      {51.5074, -0.1278, 48.8566, 2.3522, 148.1, 0.1},  // London - Paris
      {10, 0, 10 + 1e-12, -1e-12, 315, 1},               // just west of north
  };
  for (const Case& c : cases) {
    double b = initialBearing(c.lat1, c.lon1, c.lat2, c.lon2);
    EXPECT_NEAR(b, c.degrees, c.tolerance) << c.lat1 << "," << c.lon1 << " " << c.lat2 << "," << c.lon2;
  }
  // Every direction lands in [0, 360), including those a hair west of north.
  for (int step = -3600; step <= 3600; ++step) {
    double angle = step * 0.1 * 3.14159265358979323846 / 180;
    for (double scale : {1e-15, 1e-9, 1.0}) {
      double b = initialBearing(20, 30, 20 + scale * std::cos(angle), 30 + scale * std::sin(angle));
      EXPECT_GE(b, 0.0);
      EXPECT_LT(b, 360.0);
    }
  }
}

}  // namespace
