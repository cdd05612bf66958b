#pragma once
// Calendar dates and times of day from seconds since 1970, by exact day arithmetic in 64 bits.
// Nothing here goes through time_t, which on the 32-bit board ends in January 2038.

#include <cstdint>

struct CivilTime {
  int64_t year;
  int month, day, hour, minute, second;
  int weekday;  // 0 = Sunday
};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, int month, int day);
// The UTC calendar time of a second, on either side of 1970.
CivilTime civilTimeOf(int64_t unixSeconds);
