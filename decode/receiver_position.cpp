#include "decode/receiver_position.h"

#include <cmath>

#include "app/logger.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadians = kPi / 180.0;
constexpr uint32_t kMaximumSamples = 1000000;
constexpr uint32_t kRescaledSamples = 10000;

}  // namespace

bool ReceiverPosition::get(double& latitude, double& longitude) const {
  std::lock_guard<std::mutex> lock(mutex);
  if (fixed) {
    latitude = fixedLatitude;
    longitude = fixedLongitude;
    return true;
  }
  if (count < kMinimumSamples) return false;
  latitude = latitudeSum / count;
  // Circular mean, so that samples either side of 180 degrees average correctly.
  longitude = std::atan2(sineSum / count, cosineSum / count) / kRadians;
  return true;
}

void ReceiverPosition::addSample(double latitude, double longitude) {
  // A bad sample would poison the sums for the rest of the run.
  if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90.0) return;
  bool determined = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (fixed) return;
    latitudeSum += latitude;
    sineSum += std::sin(longitude * kRadians);
    cosineSum += std::cos(longitude * kRadians);
    ++count;
    determined = count == kMinimumSamples;
    if (count > kMaximumSamples) {
      // Keep the mean, lose the weight: later samples move the estimate again.
      double scale = double(kRescaledSamples) / count;
      latitudeSum *= scale;
      sineSum *= scale;
      cosineSum *= scale;
      count = kRescaledSamples;
    }
  }
  // Logged outside the lock: the logger's mutex is always taken last.
  if (determined) {
    logInfo("Coverage area was determined");
    logInfo("Magnetic declination value was calculated");
  }
}

void ReceiverPosition::fix(double latitude, double longitude) {
  std::lock_guard<std::mutex> lock(mutex);
  fixed = true;
  fixedLatitude = latitude;
  fixedLongitude = longitude;
}

uint32_t ReceiverPosition::sampleCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return count;
}

bool ReceiverPosition::isFixed() const {
  std::lock_guard<std::mutex> lock(mutex);
  return fixed;
}
