#pragma once
// Textbook CPR decoding (global from an even/odd pair, local against a reference), written
// independently of the encoder under test.

#include <algorithm>
#include <cmath>

#include "tools/synth/cpr_encoder.h"

constexpr double cprScale = 131072.0;

inline double cprMod(double x, double y) { return x - y * std::floor(x / y); }

struct CprDecoded {
  bool ok = false;
  double lat = 0;
  double lon = 0;
};

// Global decode of an even/odd pair, result for the frame of parity `odd`. Surface positions
// resolve the 90-degree ambiguity against a reference.
inline CprDecoded cprDecodeGlobal(SynthCpr even, SynthCpr odd, bool useOdd, bool surface, double refLat, double refLon) {
  const double span = surface ? 90 : 360;
  const double dLat0 = span / 60, dLat1 = span / 59;
  const double j = std::floor((59.0 * even.latitude - 60.0 * odd.latitude) / cprScale + 0.5);
  double latE = dLat0 * (cprMod(j, 60) + even.latitude / cprScale);
  double latO = dLat1 * (cprMod(j, 59) + odd.latitude / cprScale);
  if (!surface) {
    if (latE >= 270) latE -= 360;
    if (latO >= 270) latO -= 360;
  } else {
    // Of the candidates lat and lat - 90 take the one nearer the reference.
    if (std::fabs(latE - 90 - refLat) < std::fabs(latE - refLat)) latE -= 90;
    if (std::fabs(latO - 90 - refLat) < std::fabs(latO - refLat)) latO -= 90;
  }
  if (synthCprNL(latE) != synthCprNL(latO)) return CprDecoded();
  const int nl = synthCprNL(useOdd ? latO : latE);
  const double m = std::floor(((nl - 1.0) * even.longitude - nl * 1.0 * odd.longitude) / cprScale + 0.5);
  const int ni = std::max(useOdd ? nl - 1 : nl, 1);
  const double dLon = span / ni;
  double lon = dLon * (cprMod(m, ni) + (useOdd ? odd.longitude : even.longitude) / cprScale);
  if (surface) {
    // Four candidates 90 degrees apart: the one nearest the reference.
    double best = lon, bestDistance = 1e9;
    for (int k = 0; k < 4; ++k) {
      const double c = cprMod(lon + 90 * k + 180, 360) - 180;
      const double d = std::fabs(cprMod(c - refLon + 180, 360) - 180);
      if (d < bestDistance) bestDistance = d, best = c;
    }
    lon = best;
  } else {
    lon = cprMod(lon + 180, 360) - 180;
  }
  return {true, useOdd ? latO : latE, lon};
}

// Local decode of one frame against a reference within half a zone.
inline CprDecoded cprDecodeLocal(SynthCpr cpr, bool odd, bool surface, double refLat, double refLon) {
  const double span = surface ? 90 : 360;
  const double dLat = span / (odd ? 59 : 60);
  const double j = std::floor(refLat / dLat) + std::floor(0.5 + cprMod(refLat, dLat) / dLat - cpr.latitude / cprScale);
  const double lat = dLat * (j + cpr.latitude / cprScale);
  const int ni = std::max(synthCprNL(lat) - (odd ? 1 : 0), 1);
  const double dLon = span / ni;
  const double m = std::floor(refLon / dLon) + std::floor(0.5 + cprMod(refLon, dLon) / dLon - cpr.longitude / cprScale);
  return {true, lat, dLon * (m + cpr.longitude / cprScale)};
}

inline double cprLonError(double a, double b) { return std::fabs(cprMod(a - b + 180, 360) - 180); }

