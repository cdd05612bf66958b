#include "app/civil_time.h"

namespace {

// Rounds toward minus infinity, so that times before 1970 fall into their own day.
int64_t floorDivide(int64_t value, int64_t divisor) {
  const int64_t quotient = value / divisor;
  return quotient - (value % divisor < 0 ? 1 : 0);
}

}  // namespace

int64_t daysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

CivilTime civilTimeOf(int64_t unixSeconds) {
  const int64_t days = floorDivide(unixSeconds, 86400);
  const int64_t secondOfDay = unixSeconds % 86400 + (unixSeconds % 86400 < 0 ? 86400 : 0);
  // The inverse of daysFromCivil: eras of 400 years from 0000-03-01.
  const int64_t shifted = days + 719468;
  const int64_t era = floorDivide(shifted, 146097);
  const int64_t dayOfEra = shifted - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  CivilTime t{};
  t.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  t.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  t.year = yearOfEra + era * 400 + (t.month <= 2 ? 1 : 0);
  t.hour = static_cast<int>(secondOfDay / 3600);
  t.minute = static_cast<int>(secondOfDay / 60 % 60);
  t.second = static_cast<int>(secondOfDay % 60);
  t.weekday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  return t;
}
