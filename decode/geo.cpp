#include "decode/geo.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kEarthDiameter = 12745590.0;  // metres, twice the 6,372,795 m radius
constexpr double kPi = 3.14159265358979323846;
constexpr double kRadians = kPi / 180.0;

}  // namespace

double greatCircleDistance(double latitude1, double longitude1, double latitude2, double longitude2) {
  double phi1 = latitude1 * kRadians;
  double phi2 = latitude2 * kRadians;
  double sinHalfLat = std::sin((phi2 - phi1) / 2);
  double sinHalfLon = std::sin((longitude2 - longitude1) * kRadians / 2);
  double a = sinHalfLat * sinHalfLat + std::cos(phi1) * std::cos(phi2) * sinHalfLon * sinHalfLon;
  // Rounding can push a a hair past 1 for antipodal points; sqrt(1 - a) must not go NaN.
  a = std::min(1.0, std::max(0.0, a));
  return kEarthDiameter * std::atan2(std::sqrt(a), std::sqrt(1 - a));
}

double initialBearing(double latitude1, double longitude1, double latitude2, double longitude2) {
  double phi1 = latitude1 * kRadians;
  double phi2 = latitude2 * kRadians;
  double deltaLambda = (longitude2 - longitude1) * kRadians;
  double theta = std::atan2(std::sin(deltaLambda) * std::cos(phi2),
                            std::cos(phi1) * std::sin(phi2) -
                                std::sin(phi1) * std::cos(phi2) * std::cos(deltaLambda));
  double sum = theta / kRadians + 360.0;
  double bearing = sum - 360.0 * std::trunc(sum / 360.0);
  return bearing >= 360.0 ? 0.0 : bearing;
}
