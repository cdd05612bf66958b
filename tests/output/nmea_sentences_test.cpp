// The four NMEA sentences: coordinates, hemispheres, times, number formats and checksums.

#include "output/nmea_output.h"

#include "tests/output/serial_test_support.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

TEST(NmeaCoordinate, DegreesAndTruncatedMinutes) {
  struct Case {
    int width;
    double value;
    const char* text;
  } cases[] = {
      {2, 51.5, "5130.0000"},     {3, 0.1275, "00007.6500"},  {2, 0.0, "0000.0000"},
      {3, 0.0, "00000.0000"},     {3, 151.25, "15115.0000"},  {2, 89.999999, "8959.9999"},
      {3, 179.0001, "17900.0060"},
      // Truncated, never rounded: 52.3 is just below 52 degrees 18 minutes as a double.
      {2, 52.3, "5217.9999"},
  };
  for (const Case& c : cases) EXPECT_EQ(formatNmeaCoordinate(c.width, c.value), c.text) << c.value;
}

TEST(NmeaSentences, ExampleSetComesOutByteForByte) {
  const ptime at = time_from_string("2017-03-07 12:34:56.789");
  const auto sentences = buildNmeaSentences(at, 51.5, -0.1275, 450, 90, 35000);
  ASSERT_EQ(sentences.size(), 4u);
  EXPECT_EQ(sentences[0], "$GPRMC,123456.789,A,5130.0000,N,00007.6500,W,450,90,070317,,,A*44");
  EXPECT_EQ(sentences[1], "$GPVTG,90,T,,M,450,N,833.4,K,A*39");
  EXPECT_EQ(sentences[2], "$GPGGA,123456.789,5130.0000,N,00007.6500,W,1,04,1,10668.00,M,0,M,,*40");
  EXPECT_EQ(sentences[3], "$GPGLL,5130.0000,N,00007.6500,W,123456.789,A,A*49");
}

TEST(NmeaSentences, HemispheresTimesAndNumbers) {
  // Each sentence without its checksum, which is checked on its own.
  struct Case {
    const char* time;
    double lat, lon, speed, track, altitude;
    const char* rmc;
    const char* vtg;
    const char* gga;
    const char* gll;
  } cases[] = {
      // South and east, at midnight: the date is the new day's.
      {"2020-01-01 00:00:00.000", -33.5, 151.25, 0, 0, 0,
       "$GPRMC,000000.000,A,3330.0000,S,15115.0000,E,0,0,010120,,,A", "$GPVTG,0,T,,M,0,N,0,K,A",
       "$GPGGA,000000.000,3330.0000,S,15115.0000,E,1,04,1,0.00,M,0,M,,",
       "$GPGLL,3330.0000,S,15115.0000,E,000000.000,A,A"},
      // Exactly 0 is north and east; milliseconds are truncated; the year is two digits.
      {"1999-12-31 23:59:59.999999", 0, 0, 123.456789, 359.99, -1000,
       "$GPRMC,235959.999,A,0000.0000,N,00000.0000,E,123.457,359.99,311299,,,A",
       "$GPVTG,359.99,T,,M,123.457,N,228.642,K,A",
       "$GPGGA,235959.999,0000.0000,N,00000.0000,E,1,04,1,-304.80,M,0,M,,",
       "$GPGLL,0000.0000,N,00000.0000,E,235959.999,A,A"},
      // The stream's settings carry over: exponents are lower case before the first checksum
      // and upper case after it.
      {"2017-03-07 01:02:03.004", 10, -20, 1234567, 0.0000125, 45000,
       "$GPRMC,010203.004,A,1000.0000,N,02000.0000,W,1.23457e+06,1.25e-05,070317,,,A",
       "$GPVTG,1.25E-05,T,,M,1.23457E+06,N,2.28642E+06,K,A",
       "$GPGGA,010203.004,1000.0000,N,02000.0000,W,1,04,1,13716.00,M,0,M,,",
       "$GPGLL,1000.0000,N,02000.0000,W,010203.004,A,A"},
  };
  for (const Case& c : cases) {
    const auto sentences = buildNmeaSentences(time_from_string(c.time), c.lat, c.lon, c.speed, c.track, c.altitude);
    ASSERT_EQ(sentences.size(), 4u);
    const char* expected[] = {c.rmc, c.vtg, c.gga, c.gll};
    for (int i = 0; i < 4; ++i) {
      const std::string& s = sentences[i];
      EXPECT_EQ(s.substr(0, s.size() - 3), expected[i]) << c.time;
      EXPECT_TRUE(serialtest::checksumRight(s)) << s;
    }
  }
}

}  // namespace
