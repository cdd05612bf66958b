// Calendar times by day arithmetic and the host clock's time zone, on both sides of the end of a
// 32-bit time_t (2038-01-19 03:14:07 UTC), which is where the board's C library would stop.

#include "app/civil_time.h"
#include "app/host_clock.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <limits>
#include <random>

namespace {

TEST(CivilTime, DatesTimesAndWeekdaysAroundTheWidths) {
  struct Case {
    int64_t seconds;
    int64_t year;
    int month, day, hour, minute, second, weekday;
  };
  const Case cases[] = {
      {0, 1970, 1, 1, 0, 0, 0, 4},
      {-1, 1969, 12, 31, 23, 59, 59, 3},
      {-2208988800, 1900, 1, 1, 0, 0, 0, 1},
      {951782400, 2000, 2, 29, 0, 0, 0, 2},
      {1485507903, 2017, 1, 27, 9, 5, 3, 5},
      {2147483647, 2038, 1, 19, 3, 14, 7, 2},
      {2147483648, 2038, 1, 19, 3, 14, 8, 2},
      {2218104000, 2040, 4, 15, 12, 0, 0, 0},
      {4102444800, 2100, 1, 1, 0, 0, 0, 5},
      {4294967296, 2106, 2, 7, 6, 28, 16, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    const CivilTime t = civilTimeOf(c.seconds);
    EXPECT_EQ(t.year, c.year);
    EXPECT_EQ(t.month, c.month);
    EXPECT_EQ(t.day, c.day);
    EXPECT_EQ(t.hour, c.hour);
    EXPECT_EQ(t.minute, c.minute);
    EXPECT_EQ(t.second, c.second);
    EXPECT_EQ(t.weekday, c.weekday);
    EXPECT_EQ(daysFromCivil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second, c.seconds);
  }
  // The extremes give some date rather than overflow.
  for (const int64_t extreme : {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
    const CivilTime t = civilTimeOf(extreme);
    EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.weekday >= 0 && t.weekday < 7);
  }
}

TEST(CivilTime, AgreesWithTheCLibraryWhereItsTimeReaches) {
  // On the board the library's time_t ends in 2038; elsewhere it reaches far past 2106.
  const int64_t reach = sizeof(std::time_t) == 8 ? int64_t{1} << 40 : std::numeric_limits<int32_t>::max();
  std::mt19937_64 random(7);
  std::uniform_int_distribution<int64_t> draw(-reach, reach);
  for (int i = 0; i < 20000; ++i) {
    const int64_t seconds = draw(random);
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm expected{};
    ASSERT_NE(gmtime_r(&time, &expected), nullptr);
    const CivilTime t = civilTimeOf(seconds);
    ASSERT_EQ(t.year, expected.tm_year + int64_t{1900}) << seconds;
    ASSERT_EQ(t.month, expected.tm_mon + 1) << seconds;
    ASSERT_EQ(t.day, expected.tm_mday) << seconds;
    ASSERT_EQ(t.hour * 3600 + t.minute * 60 + t.second,
              expected.tm_hour * 3600 + expected.tm_min * 60 + expected.tm_sec) << seconds;
    ASSERT_EQ(t.weekday, expected.tm_wday) << seconds;
  }
}

TEST(HostClock, LocalOffsetPast2038FollowsTheZoneRules) {
  struct Case {
    const char* zone;
    int64_t seconds;
    int32_t offset;
  };
  const Case cases[] = {
      {kCentralEurope, 1485507903, 3600},  // 2017-01-27
      {kCentralEurope, 2210241600, 3600},  // 2040-01-15
      {kCentralEurope, 2218104000, 7200},  // 2040-04-15, summer time
      {"EST5EDT,M3.2.0,M11.1.0", 2218104000, -4 * 3600},
      {"UTC0", 4102444800, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.seconds));
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(localUtcOffsetAt(c.seconds), c.offset);
  }
}

TEST(HostClock, MicrosecondsOfTheCalendarClock) {
  const auto before = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  const int64_t now = hostMicros();
  EXPECT_GE(now, before);
  EXPECT_LT(now - before, 5000000);
}

}  // namespace
