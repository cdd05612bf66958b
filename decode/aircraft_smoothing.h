#pragma once
// Smoothing of a noisy value (true airspeed, heading): a running mean over the last ten values,
// and an output that ignores a value too far from that mean once ten values have been seen.

#include <cmath>
#include <cstdint>
#include <type_traits>

template <typename T>
class Smoother {
 public:
  static constexpr int kRing = 11;     // the newest ten plus the one leaving the mean
  static constexpr int kSamples = 10;  // values before the output is filtered

  explicit Smoother(T limit) : limit(limit) {}

  T add(T x) {
    const double previousMean = mean;
    ring[next] = x;
    next = (next + 1) % kRing;
    if (filled < kRing) ++filled;
    if (filled == kRing) {
      // The slot written next holds the oldest value, the one ten values before x.
      mean += (double(x) - double(ring[next])) / kSamples;
    } else {
      mean += (double(x) - mean) / filled;
    }
    if (samples < kSamples) {
      ++samples;
      output = x;
    } else if (std::fabs(double(x) - reference(previousMean)) <= double(limit)) {
      output = x;
    }
    return output;
  }

  T value() const { return output; }
  double runningMean() const { return mean; }

 private:
  // The integer filter compares against the mean cut to a whole number.
  static double reference(double m) {
    if constexpr (std::is_integral<T>::value) return std::trunc(m);
    return m;
  }

  T ring[kRing] = {};
  uint8_t filled = 0;
  uint8_t next = 0;
  uint8_t samples = 0;
  double mean = 0;
  T output{};
  T limit;
};
