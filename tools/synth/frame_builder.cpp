#include "tools/synth/frame_builder.h"

#include <algorithm>
#include <cmath>

#include "sdr/crc.h"
#include "tools/synth/altitude_codes.h"

namespace {

SynthFrame extendedSquitter(uint32_t address, uint32_t ca) {
  SynthFrame frame;
  frame.length = 14;
  synthPutBits(frame.bytes, 0, 5, 17);
  synthPutBits(frame.bytes, 5, 3, ca);
  synthPutBits(frame.bytes, 8, 24, address);
  return frame;
}

// Surface ground speed of a movement code, as receivers read it.
double movementSpeed(uint32_t m) {
  if (m == 1) return 0;
  if (m == 2) return 0.125;
  if (m <= 8) return 0.125 + 0.1458 * (m - 3);
  if (m <= 12) return 1 + 0.25 * (m - 9);
  if (m <= 38) return 2 + 0.5 * (m - 13);
  if (m <= 93) return m - 24.0;
  if (m <= 108) return 2.0 * (m - 59);
  if (m <= 123) return 100 + 5.0 * (m - 109);
  return 175;
}

uint32_t clampRound(double value, uint32_t high) {
  const double r = std::round(value);
  if (r <= 0) return 0;
  return r >= high ? high : static_cast<uint32_t>(r);
}

}  // namespace

int synthCallsignCode(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A' + 1;
  if (c >= '0' && c <= '9') return c - '0' + 48;
  if (c == ' ') return 32;
  return -1;
}

uint64_t synthCallsignField(const std::string& callsign) {
  uint64_t field = 0;
  for (size_t i = 0; i < 8; ++i) {
    const int code = i < callsign.size() ? synthCallsignCode(callsign[i]) : 32;
    field = (field << 6) | static_cast<uint64_t>(code < 0 ? 32 : code);
  }
  return field;
}

void synthSetParity(SynthFrame& frame, uint32_t overlay) {
  const uint32_t parity = modeSCrc(frame.bytes, frame.length - 3) ^ (overlay & 0xFFFFFF);
  synthPutBits(frame.bytes, static_cast<int>(frame.length - 3) * 8, 24, parity);
}

SynthFrame synthIdentificationSquitter(uint32_t address, uint32_t ca, uint32_t typeCode, uint32_t category,
                                       const std::string& callsign) {
  SynthFrame frame = extendedSquitter(address, ca);
  synthPutFieldBits(frame, 1, 5, typeCode);
  synthPutFieldBits(frame, 6, 3, category);
  synthPutFieldBits(frame, 9, 48, synthCallsignField(callsign));
  synthSetParity(frame, 0);
  return frame;
}

SynthFrame synthAirbornePositionSquitter(uint32_t address, uint32_t ca, uint32_t typeCode, uint32_t status,
                                         double altitudeFeet, bool odd, SynthCpr cpr) {
  SynthFrame frame = extendedSquitter(address, ca);
  synthPutFieldBits(frame, 1, 5, typeCode);
  synthPutFieldBits(frame, 6, 2, status);
  synthPutFieldBits(frame, 9, 12, synthAc12Field(altitudeFeet));
  synthPutFieldBits(frame, 22, 1, odd ? 1 : 0);
  synthPutFieldBits(frame, 23, 17, cpr.latitude);
  synthPutFieldBits(frame, 40, 17, cpr.longitude);
  synthSetParity(frame, 0);
  return frame;
}

uint32_t synthSurfaceMovement(double groundSpeedKnots) {
  if (groundSpeedKnots <= 0) return 1;
  uint32_t best = 2;
  for (uint32_t m = 2; m <= 124; ++m)
    if (std::fabs(movementSpeed(m) - groundSpeedKnots) < std::fabs(movementSpeed(best) - groundSpeedKnots)) best = m;
  return best;
}

SynthFrame synthSurfacePositionSquitter(uint32_t address, uint32_t ca, uint32_t typeCode, double groundSpeedKnots,
                                        double trackDegrees, bool odd, SynthCpr cpr) {
  SynthFrame frame = extendedSquitter(address, ca);
  synthPutFieldBits(frame, 1, 5, typeCode);
  synthPutFieldBits(frame, 6, 7, synthSurfaceMovement(groundSpeedKnots));
  if (groundSpeedKnots > 0) {  // a standing aircraft has no valid track
    synthPutFieldBits(frame, 13, 1, 1);
    const double t = trackDegrees - 360 * std::floor(trackDegrees / 360);
    synthPutFieldBits(frame, 14, 7, static_cast<uint32_t>(std::lround(t * 128 / 360)) & 127);
  }
  synthPutFieldBits(frame, 22, 1, odd ? 1 : 0);
  synthPutFieldBits(frame, 23, 17, cpr.latitude);
  synthPutFieldBits(frame, 40, 17, cpr.longitude);
  synthSetParity(frame, 0);
  return frame;
}

SynthFrame synthVelocitySquitter(uint32_t address, uint32_t ca, double groundSpeedKnots, double trackDegrees,
                                 double verticalRateFpm, double gnssMinusBaroFeet) {
  SynthFrame frame = extendedSquitter(address, ca);
  const double east = groundSpeedKnots * std::sin(trackDegrees * M_PI / 180);
  const double north = groundSpeedKnots * std::cos(trackDegrees * M_PI / 180);
  const bool supersonic = std::fabs(east) > 1022 || std::fabs(north) > 1022;
  const double unit = supersonic ? 4 : 1;
  synthPutFieldBits(frame, 1, 5, 19);
  synthPutFieldBits(frame, 6, 3, supersonic ? 2 : 1);
  synthPutFieldBits(frame, 11, 3, 1);  // NUCr
  synthPutFieldBits(frame, 14, 1, east < 0 ? 1 : 0);
  synthPutFieldBits(frame, 15, 10, clampRound(std::fabs(east) / unit, 1022) + 1);
  synthPutFieldBits(frame, 25, 1, north < 0 ? 1 : 0);
  synthPutFieldBits(frame, 26, 10, clampRound(std::fabs(north) / unit, 1022) + 1);
  synthPutFieldBits(frame, 36, 1, 1);  // barometric vertical rate
  synthPutFieldBits(frame, 37, 1, verticalRateFpm < 0 ? 1 : 0);
  synthPutFieldBits(frame, 38, 9, clampRound(std::fabs(verticalRateFpm) / 64, 510) + 1);
  synthPutFieldBits(frame, 49, 1, gnssMinusBaroFeet < 0 ? 1 : 0);
  synthPutFieldBits(frame, 50, 7, clampRound(std::fabs(gnssMinusBaroFeet) / 25, 126) + 1);
  synthSetParity(frame, 0);
  return frame;
}

SynthFrame synthAllCallReply(uint32_t address, uint32_t ca, uint32_t interrogatorCode) {
  SynthFrame frame;
  frame.length = 7;
  synthPutBits(frame.bytes, 0, 5, 11);
  synthPutBits(frame.bytes, 5, 3, ca);
  synthPutBits(frame.bytes, 8, 24, address);
  synthSetParity(frame, interrogatorCode);
  return frame;
}

SynthFrame synthSurveillanceReply(uint32_t df, uint32_t address, uint32_t fs, uint32_t field13) {
  SynthFrame frame;
  frame.length = 7;
  synthPutBits(frame.bytes, 0, 5, df);
  synthPutBits(frame.bytes, 5, 3, fs);
  synthPutBits(frame.bytes, 19, 13, field13);  // DR and UM stay 0
  synthSetParity(frame, address);
  return frame;
}

SynthFrame synthCommBReply(uint32_t df, uint32_t address, uint32_t fs, uint32_t field13, uint64_t mb) {
  SynthFrame frame;
  frame.length = 14;
  synthPutBits(frame.bytes, 0, 5, df);
  synthPutBits(frame.bytes, 5, 3, fs);
  synthPutBits(frame.bytes, 19, 13, field13);
  synthPutFieldBits(frame, 1, 56, mb);
  synthSetParity(frame, address);
  return frame;
}

uint32_t synthFlightStatus(bool onGround, bool alert, bool spi) {
  if (spi) return alert ? 4 : 5;
  if (alert) return onGround ? 3 : 2;
  return onGround ? 1 : 0;
}
