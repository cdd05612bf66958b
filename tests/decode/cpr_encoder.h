#pragma once
// The transmitter's side of CPR, so that test tracks can be built from plain positions.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "decode/cpr.h"

inline double positiveModulo(double value, double divisor) {
  return value - divisor * std::floor(value / divisor);
}

struct CprFrame {
  bool odd;
  uint32_t lat;
  uint32_t lon;
};

inline CprFrame encodeCpr(double lat, double lon, bool odd, bool surface) {
  double span = surface ? 90.0 : 360.0;
  double dLat = span / (odd ? 59 : 60);
  double yz = std::floor(131072 * positiveModulo(lat, dLat) / dLat + 0.5);
  double zoneLat = dLat * (yz / 131072 + std::floor(lat / dLat));
  int ni = std::max(cprNL(zoneLat) - (odd ? 1 : 0), 1);
  double dLon = span / ni;
  double xz = std::floor(131072 * positiveModulo(lon, dLon) / dLon + 0.5);
  return {odd, uint32_t(yz) & 0x1FFFF, uint32_t(xz) & 0x1FFFF};
}
