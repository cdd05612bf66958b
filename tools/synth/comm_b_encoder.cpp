#include "tools/synth/comm_b_encoder.h"

#include <algorithm>
#include <cmath>

#include "tools/synth/frame_builder.h"

namespace {

void put(uint64_t& mb, int firstBit, int width, uint64_t value) {
  const uint64_t mask = (uint64_t{1} << width) - 1;
  mb |= (value & mask) << (56 - (firstBit - 1) - width);
}

uint64_t unsignedField(double value, double unit, int width) {
  const double high = static_cast<double>((uint64_t{1} << width) - 1);
  return static_cast<uint64_t>(std::clamp(std::round(value / unit), 0.0, high));
}

// Two's complement of `width` bits (sign included), clamped to its range.
uint64_t signedField(double value, double unit, int width) {
  const double limit = static_cast<double>(uint64_t{1} << (width - 1));
  const int64_t v = static_cast<int64_t>(std::clamp(std::round(value / unit), -limit, limit - 1));
  return static_cast<uint64_t>(v) & ((uint64_t{1} << width) - 1);
}

// -180 .. 180 so that the two's complement angle fields hold it.
double signedAngle(double degrees) {
  double a = degrees - 360 * std::floor(degrees / 360);
  return a >= 180 ? a - 360 : a;
}

}  // namespace

uint64_t synthBds20(const std::string& callsign) {
  uint64_t mb = 0;
  put(mb, 1, 8, 0x20);
  put(mb, 9, 48, synthCallsignField(callsign));
  return mb;
}

uint64_t synthBds40(double mcpAltitudeFeet, double fmsAltitudeFeet, double qnhHpa) {
  uint64_t mb = 0;
  put(mb, 1, 1, 1);
  put(mb, 2, 12, unsignedField(mcpAltitudeFeet, 16, 12));
  put(mb, 14, 1, 1);
  put(mb, 15, 12, unsignedField(fmsAltitudeFeet, 16, 12));
  put(mb, 27, 1, 1);
  put(mb, 28, 12, unsignedField(qnhHpa - 800, 0.1, 12));
  put(mb, 48, 1, 1);  // mode bits VNAV, ALT HOLD, APP all off
  put(mb, 54, 1, 1);
  put(mb, 55, 2, 2);  // target altitude source: MCP/FCU
  return mb;
}

uint64_t synthBds50(double rollDegrees, double trackDegrees, double groundSpeedKnots, double trackRateDegPerSecond,
                    double trueAirspeedKnots) {
  uint64_t mb = 0;
  put(mb, 1, 1, 1);
  put(mb, 2, 10, signedField(rollDegrees, 45.0 / 256, 10));
  put(mb, 12, 1, 1);
  put(mb, 13, 11, signedField(signedAngle(trackDegrees), 90.0 / 512, 11));
  put(mb, 24, 1, 1);
  put(mb, 25, 10, unsignedField(groundSpeedKnots, 2, 10));
  put(mb, 35, 1, 1);
  put(mb, 36, 10, signedField(trackRateDegPerSecond, 8.0 / 256, 10));
  put(mb, 46, 1, 1);
  put(mb, 47, 10, unsignedField(trueAirspeedKnots, 2, 10));
  return mb;
}

uint64_t synthBds60(double headingDegrees, double indicatedAirspeedKnots, double mach, double baroRateFpm,
                    double inertialRateFpm) {
  uint64_t mb = 0;
  put(mb, 1, 1, 1);
  put(mb, 2, 11, signedField(signedAngle(headingDegrees), 90.0 / 512 * 2, 10) << 1);
  put(mb, 13, 1, 1);
  put(mb, 14, 10, unsignedField(indicatedAirspeedKnots, 1, 10));
  put(mb, 24, 1, 1);
  put(mb, 25, 10, unsignedField(mach, 0.004, 10));
  put(mb, 35, 1, 1);
  put(mb, 36, 10, signedField(baroRateFpm, 32, 10));
  put(mb, 46, 1, 1);
  put(mb, 47, 10, signedField(inertialRateFpm, 32, 10));
  return mb;
}
