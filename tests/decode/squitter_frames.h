#pragma once
// Whole frames of an aircraft, built from plain values: identification, airborne position,
// velocity and a surveillance identity reply, with correct parity and CPR positions.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "decode/modes_data.h"
#include "tests/decode/cpr_encoder.h"
#include "tests/decode/frame_builder.h"

namespace frame_builder {

// 12-bit altitude code with the 25 ft bit set.
inline uint32_t altitudeCode(int feet) {
  const uint32_t n = static_cast<uint32_t>((feet + 1000) / 25);
  return ((n & 0x7F0) << 1) | 0x10 | (n & 0x0F);
}

inline ModesData identificationFrame(uint32_t address, const std::string& callsign, uint32_t time) {
  static const std::string charset = "#ABCDEFGHIJKLMNOPQRSTUVWXYZ##### ###############0123456789######";
  Field56 me;
  me.set(1, 5, 4).set(6, 8, 0);
  for (int i = 0; i < 8; ++i) {
    const char c = i < static_cast<int>(callsign.size()) ? callsign[i] : ' ';
    me.set(9 + 6 * i, 14 + 6 * i, charset.find(c));
  }
  return extendedSquitter(address, me, time);
}

inline ModesData positionFrame(uint32_t address, double lat, double lon, int feet, bool odd, uint32_t time) {
  const CprFrame cpr = encodeCpr(lat, lon, odd, false);
  Field56 me;
  me.set(1, 5, 11).set(9, 20, altitudeCode(feet)).set(22, odd).set(23, 39, cpr.lat).set(40, 56, cpr.lon);
  return extendedSquitter(address, me, time);
}

// Subtype 1 ground speed: `east` and `north` knots, `rate` feet per minute (multiple of 64).
inline ModesData velocityFrame(uint32_t address, int east, int north, int rate, uint32_t time) {
  Field56 me;
  me.set(1, 5, 19).set(6, 8, 1);
  me.set(14, east < 0).set(15, 24, std::abs(east) + 1);
  me.set(25, north < 0).set(26, 35, std::abs(north) + 1);
  me.set(37, rate < 0).set(38, 46, std::abs(rate) / 64 + 1);
  return extendedSquitter(address, me, time);
}

// DF 5 surveillance identity reply.
inline ModesData squawkFrame(uint32_t address, int squawk, uint32_t time) {
  const uint32_t id = identityCode(squawk);
  ModesData frame = addressParity(7, 5 << 3, 0, static_cast<uint8_t>(id >> 8) & 0x1F, static_cast<uint8_t>(id), address);
  frame.time = time;
  return frame;
}

}  // namespace frame_builder
