#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

#include "decode/cpr.h"
#include "decode/geo.h"

namespace {

constexpr double kCprScale = 131072.0;  // 2^17
constexpr int32_t kCprLimit = 131072;

// Latitudes where the number of longitude zones drops by one, from 59 zones to 1.
constexpr double kNlTransitions[] = {
    10.47047130, 14.82817437, 18.18626357, 21.02939493, 23.54504487, 25.82924707, 27.93898710,
    29.91135686, 31.77209708, 33.53993436, 35.22899598, 36.85025108, 38.41241892, 39.92256684,
    41.38651832, 42.80914012, 44.19454951, 45.54626723, 46.86733252, 48.16039128, 49.42776439,
    50.67150166, 51.89342469, 53.09516153, 54.27817472, 55.44378444, 56.59318756, 57.72747354,
    58.84763776, 59.95459277, 61.04917774, 62.13216659, 63.20427479, 64.26616523, 65.31845310,
    66.36171008, 67.39646774, 68.42322022, 69.44242631, 70.45451075, 71.45986473, 72.45884545,
    73.45177442, 74.43893416, 75.42056257, 76.39684391, 77.36789461, 78.33374083, 79.29428225,
    80.24923213, 81.19801349, 82.13956981, 83.07199445, 83.99173563, 84.89166191, 85.75541621,
    86.53536998, 87.0};
static_assert(std::size(kNlTransitions) == 58, "57 transitions of the zone table, then 87 degrees");

bool isCprValue(int64_t value) { return value >= 0 && value < kCprLimit; }

int positiveModulo(int value, int divisor) {
  int remainder = value % divisor;
  return remainder < 0 ? remainder + divisor : remainder;
}

// Into [-180, 180).
double normalizeLongitude(double longitude) {
  double shifted = longitude + 180.0;
  double result = shifted - 360.0 * std::floor(shifted / 360.0) - 180.0;
  return result >= 180.0 ? result - 360.0 : result;
}

// Angle between two longitudes the short way round, 0 to 180.
double longitudeGap(double a, double b) {
  double gap = std::fmod(std::fabs(a - b), 360.0);
  return gap > 180.0 ? 360.0 - gap : gap;
}

double latitudeZone(bool odd, bool surface) {
  double span = surface ? 90.0 : 360.0;
  return odd ? span / 59 : span / 60;
}

}  // namespace

int cprNL(double latitude) {
  // NaN compares false everywhere and lands on 1 zone.
  auto above = std::upper_bound(std::begin(kNlTransitions), std::end(kNlTransitions),
                                std::fabs(latitude));
  return 59 - int(above - std::begin(kNlTransitions));
}

void CprState::store(bool odd, uint32_t cprLatitude, uint32_t cprLongitude, uint32_t time,
                     bool surface) {
  // Kept as given (non-negative); the decodes refuse anything wider than 17 bits.
  if (odd) {
    oddLatitude = int32_t(cprLatitude & 0x7FFFFFFF);
    oddLongitude = int32_t(cprLongitude & 0x7FFFFFFF);
    oddTime = time;
    oddSurface = surface;
  } else {
    evenLatitude = int32_t(cprLatitude & 0x7FFFFFFF);
    evenLongitude = int32_t(cprLongitude & 0x7FFFFFFF);
    evenTime = time;
    evenSurface = surface;
  }
}

void CprState::reset() {
  status = 0;
  evenTime = 0;
  oddTime = 0;
  evenSurface = false;
  oddSurface = false;
  lastLatitude = 0;
  lastLongitude = 0;
  lastFixTime = 0;
}

bool CprState::decodeGlobal(bool odd, double referenceLatitude, double referenceLongitude,
                            bool referenceValid, double& latitude, double& longitude) const {
  if (evenTime == 0 || oddTime == 0) return false;
  uint32_t gap = evenTime > oddTime ? evenTime - oddTime : oddTime - evenTime;
  if (gap > 10 || evenSurface != oddSurface) return false;
  if (!isCprValue(evenLatitude) || !isCprValue(evenLongitude) || !isCprValue(oddLatitude) ||
      !isCprValue(oddLongitude))
    return false;
  bool surface = evenSurface;

  int j = int(std::floor((59.0 * evenLatitude - 60.0 * oddLatitude) / kCprScale + 0.5));
  double latEven = latitudeZone(false, surface) * (positiveModulo(j, 60) + evenLatitude / kCprScale);
  double latOdd = latitudeZone(true, surface) * (positiveModulo(j, 59) + oddLatitude / kCprScale);
  if (latEven >= 270.0) latEven -= 360.0;
  if (latOdd >= 270.0) latOdd -= 360.0;
  double lat = odd ? latOdd : latEven;

  // A surface grid repeats every 90 degrees: the reference picks the hemisphere and quadrant.
  double referenceLon = 0;
  if (surface) {
    double referenceLat;
    if (lastFixTime != 0) {
      referenceLat = lastLatitude;
      referenceLon = lastLongitude;
    } else if (referenceValid) {
      referenceLat = referenceLatitude;
      referenceLon = referenceLongitude;
    } else {
      return false;
    }
    if (!std::isfinite(referenceLat) || !std::isfinite(referenceLon)) return false;
    if (std::fabs(lat - referenceLat) > std::fabs(lat - referenceLat - 90.0)) {
      lat -= 90.0;
      latEven -= 90.0;
      latOdd -= 90.0;
    }
  }
  // Zone indices that put either frame past a pole are a corrupt pair.
  if (std::fabs(latEven) > 90.0 || std::fabs(latOdd) > 90.0) return false;

  int nl = cprNL(latEven);
  if (nl != cprNL(latOdd)) return false;
  int m = int(std::floor(((nl - 1.0) * evenLongitude - double(nl) * oddLongitude) / kCprScale + 0.5));
  int ni = odd ? nl - 1 : nl;
  double span = surface ? 90.0 : 360.0;
  double dLon = span;
  int zone = 0;
  if (ni >= 1) {
    dLon = span / ni;
    zone = positiveModulo(m, ni);
  }
  double lon = dLon * (zone + (odd ? oddLongitude : evenLongitude) / kCprScale);

  if (!surface) {
    lon = normalizeLongitude(lon);
  } else {
    double base = lon + 90.0 * std::floor(referenceLon / 90.0);
    double best = 0;
    double bestGap = 1000.0;
    for (int quadrant = 0; quadrant < 4; ++quadrant) {
      double candidate = normalizeLongitude(base - 90.0 * quadrant);
      double candidateGap = longitudeGap(candidate, referenceLon);
      if (candidateGap < bestGap) {  // strict: the earlier candidate wins a tie
        best = candidate;
        bestGap = candidateGap;
      }
    }
    lon = best;
  }
  latitude = lat;
  longitude = lon;
  return true;
}

bool CprState::decodeLocal(bool odd, bool surface, uint32_t cprLatitude, uint32_t cprLongitude,
                           double& latitude, double& longitude) const {
  if (!isCprValue(cprLatitude) || !isCprValue(cprLongitude)) return false;
  double dLat = latitudeZone(odd, surface);
  double yz = cprLatitude / kCprScale;
  double latZone = std::floor(lastLatitude / dLat);
  double j = latZone + std::floor(0.5 + (lastLatitude - dLat * latZone) / dLat - yz);
  double lat = dLat * (j + yz);
  // Near a pole the nearest zone can lie beyond it; NaN fails here too.
  if (!(std::fabs(lat) <= 90.0)) return false;

  int ni = std::max(1, cprNL(lat) - (odd ? 1 : 0));
  double dLon = (surface ? 90.0 : 360.0) / ni;
  double xz = cprLongitude / kCprScale;
  double lonZone = std::floor(lastLongitude / dLon);
  double m = lonZone + std::floor(0.5 + (lastLongitude - dLon * lonZone) / dLon - xz);
  double lon = dLon * (m + xz);
  if (!std::isfinite(lon)) return false;
  // Zones are whole fractions of 360 degrees, so wrapping keeps the next local decode the same.
  latitude = lat;
  longitude = normalizeLongitude(lon);
  return true;
}

bool CprState::isPlausible(uint32_t time, bool surface, double latitude, double longitude) const {
  if (lastFixTime == 0) return false;
  int64_t dt = std::llabs(int64_t(time) - int64_t(lastFixTime));
  double distance = greatCircleDistance(latitude, longitude, lastLatitude, lastLongitude);
  double speed = dt >= 1 ? distance / double(dt) : distance;
  if (surface) return speed < 100.0;
  // An airborne aircraft always moves; the same position again is a repeated or stuck report.
  if (distance < 1.0 && dt > 0) return false;
  return speed < 500.0;
}

void CprStateTable::purge(uint32_t time) {
  if (time == lastPurge) return;
  lastPurge = time;
  for (auto it = states.begin(); it != states.end();) {
    if (time - it->second.lastSeen > 10)
      it = states.erase(it);
    else
      ++it;
  }
}
