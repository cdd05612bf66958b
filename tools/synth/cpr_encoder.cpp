#include "tools/synth/cpr_encoder.h"

#include <cmath>

namespace {

constexpr double cprScale = 131072.0;  // 2^17

double positiveModulo(double x, double y) { return x - y * std::floor(x / y); }

}  // namespace

int synthCprNL(double latitude) {
  const double lat = std::fabs(latitude);
  if (lat == 0) return 59;  // the formula lands exactly on 60 here
  if (lat >= 87.0) return 1;
  const double zones = 15;
  const double a = 1 - std::cos(M_PI / (2 * zones));
  const double c = std::cos(M_PI / 180 * lat);
  double x = 1 - a / (c * c);
  if (x < -1) x = -1;
  return static_cast<int>(std::floor(2 * M_PI / std::acos(x)));
}

SynthCpr synthEncodeCpr(double latitude, double longitude, bool odd, bool surface) {
  const double span = surface ? 90 : 360;
  const double dLat = span / (odd ? 59 : 60);
  const double yz = std::floor(cprScale * positiveModulo(latitude, dLat) / dLat + 0.5);
  // The longitude zones follow from the latitude the receiver will decode, not the true one.
  const double rLat = dLat * (yz / cprScale + std::floor(latitude / dLat));
  const int zones = synthCprNL(rLat) - (odd ? 1 : 0);
  const double dLon = zones > 0 ? span / zones : span;
  const double xz = std::floor(cprScale * positiveModulo(longitude, dLon) / dLon + 0.5);
  SynthCpr cpr;
  cpr.latitude = static_cast<uint32_t>(yz) & 0x1FFFF;
  cpr.longitude = static_cast<uint32_t>(xz) & 0x1FFFF;
  return cpr;
}
