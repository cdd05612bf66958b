#pragma once
// The receiver's reference position: fixed by the operator or the followed aircraft, otherwise
// the mean of decoded aircraft positions. Written by the frame thread, read by the web thread.

#include <cstdint>
#include <mutex>

class ReceiverPosition {
 public:
  // Samples needed before an estimate is given.
  static constexpr uint32_t kMinimumSamples = 20;

  ReceiverPosition() = default;
  ReceiverPosition(const ReceiverPosition&) = delete;
  ReceiverPosition& operator=(const ReceiverPosition&) = delete;

  // False while no position is fixed and fewer than kMinimumSamples samples were added.
  bool get(double& latitude, double& longitude) const;
  void addSample(double latitude, double longitude);
  // From now on the position is this one and samples are ignored.
  void fix(double latitude, double longitude);

  uint32_t sampleCount() const;
  bool isFixed() const;

 private:
  mutable std::mutex mutex;
  double latitudeSum = 0;
  double sineSum = 0;
  double cosineSum = 0;
  uint32_t count = 0;
  bool fixed = false;
  double fixedLatitude = 0;
  double fixedLongitude = 0;
};
