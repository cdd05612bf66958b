#pragma once
// Outlier rejection for a noisy value (true airspeed, heading). A value is accepted when it lies
// within the limit of the trend of the recent accepted values (a least-squares line against time,
// its slope clamped to a plausible rate) or of the latest accepted value; the output is then the
// value itself, otherwise it is held. A rejected value that the next rejected value confirms is a
// real change the trend did not foresee (a turn or a speed change beginning): the trend restarts
// from the two, so the output follows one sample late instead of freezing.

#include <cmath>
#include <cstdint>
#include <type_traits>

// Angle: the values are degrees on the circle; the output stays in [0, 360).
template <typename T, bool Angle = false>
class Smoother {
  static_assert(!Angle || std::is_floating_point<T>::value, "angles need a floating-point type");

 public:
  static constexpr int kSamples = 10;       // values that pass before any is rejected
  static constexpr int kHistory = 4;        // accepted values the trend is fitted to
  static constexpr int64_t kMaxAge = 60;    // seconds after which a value says nothing about now
  static constexpr int64_t kConfirmAge = 30;  // a rejected value older than this confirms nothing

  // limit: the tolerance around the trend; maxRate: the fastest plausible change per second.
  Smoother(T limit, float maxRate) : limit(limit), maxRate(maxRate) {}

  // x at host second t.
  T add(T x, uint32_t t) {
    if constexpr (std::is_floating_point<T>::value) {
      if (!std::isfinite(x)) return output;  // would poison every later fit
    }
    if constexpr (Angle) {
      x = std::fmod(x, T(360));
      if (x < 0) x += 360;
      if (x >= 360) x -= 360;
    }
    forgetOlderThan(t);

    bool accepted = count == 0 || std::fabs(difference(x, values[count - 1])) <= double(limit) ||
                    std::fabs(difference(x, predict(t))) <= double(limit);
    if (accepted) {
      append(x, t);
      pendingSet = false;
    } else if (confirms(x, t)) {
      count = 0;
      append(pending, pendingTime);
      append(x, t);
      pendingSet = false;
      accepted = true;
    } else {
      pending = x;
      pendingTime = t;
      pendingSet = true;
    }

    if (samples < kSamples) {
      ++samples;
      output = x;
    } else if (accepted) {
      output = x;
    }
    return output;
  }

  T value() const { return output; }

 private:
  static double difference(double a, double b) {
    if constexpr (Angle) return std::remainder(a - b, 360.0);
    return a - b;
  }

  static int64_t secondsBetween(uint32_t from, uint32_t to) { return int64_t(to) - int64_t(from); }

  void forgetOlderThan(uint32_t t) {
    // Whichever way the clock went: a value a minute away says nothing about now.
    int kept = 0;
    for (int i = 0; i < count; ++i) {
      const int64_t age = secondsBetween(times[i], t);
      if (age <= kMaxAge && age >= -kMaxAge) {
        values[kept] = values[i];
        times[kept] = times[i];
        ++kept;
      }
    }
    count = static_cast<uint8_t>(kept);
  }

  void append(T x, uint32_t t) {
    if (count == kHistory) {
      for (int i = 1; i < kHistory; ++i) {
        values[i - 1] = values[i];
        times[i - 1] = times[i];
      }
      --count;
    }
    values[count] = x;
    times[count] = t;
    ++count;
  }

  // The trend line at t. Headings are unwrapped along the history, which holds no jump of half a
  // circle: each accepted value lay near its predecessor or its trend.
  double predict(uint32_t t) const {
    double unwrapped[kHistory];
    double meanTime = 0, meanValue = 0;
    for (int i = 0; i < count; ++i) {
      unwrapped[i] = i == 0 ? double(values[0])
                            : unwrapped[i - 1] + difference(values[i], values[i - 1]);
      meanTime += double(secondsBetween(t, times[i]));
      meanValue += unwrapped[i];
    }
    meanTime /= count;
    meanValue /= count;
    double sxx = 0, sxy = 0;
    for (int i = 0; i < count; ++i) {
      const double dx = double(secondsBetween(t, times[i])) - meanTime;
      sxx += dx * dx;
      sxy += dx * (unwrapped[i] - meanValue);
    }
    // Values all within one second carry no slope.
    double slope = sxx > 0 ? sxy / sxx : 0;
    if (slope > maxRate) slope = maxRate;
    if (slope < -maxRate) slope = -maxRate;
    return meanValue - slope * meanTime;
  }

  // x confirms the previous rejected value when it comes in a later second and lies within the
  // limit plus the plausible change since. Two copies from one second confirm nothing: a repeated
  // outlier is no less wrong.
  bool confirms(T x, uint32_t t) const {
    if (!pendingSet) return false;
    const int64_t dt = secondsBetween(pendingTime, t);
    if (dt <= 0 || dt > kConfirmAge) return false;
    return std::fabs(difference(x, pending)) <= double(limit) + double(maxRate) * double(dt);
  }

  T values[kHistory] = {};  // accepted values, oldest first
  uint32_t times[kHistory] = {};
  T pending{};  // the latest rejected value, when no value was accepted since
  uint32_t pendingTime = 0;
  T output{};
  T limit;
  float maxRate;
  uint8_t count = 0;
  uint8_t samples = 0;
  bool pendingSet = false;
};
