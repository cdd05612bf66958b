#pragma once
// Comm-B registers (the 56-bit MB field of DF 20/21) with every status bit set.
//
//   2,0 identification:    0x20(8) callsign(48)
//   4,0 vertical intent:   S MCP(12) S FMS(12) S baro(12) 0(8) S mode(3) 0(2) S source(2)
//   5,0 track and turn:    S roll(10) S track(11) S GS(10) S rate(10) S TAS(10)
//   6,0 heading and speed: S heading(11) S IAS(10) S Mach(10) S baro rate(10) S inertial rate(10)
// Angles and rates are two's complement, the sign bit first.

#include <cstdint>
#include <string>

uint64_t synthBds20(const std::string& callsign);
// Selected altitudes in 16 ft steps, QNH in 0.1 hPa above 800 hPa.
uint64_t synthBds40(double mcpAltitudeFeet, double fmsAltitudeFeet, double qnhHpa);
uint64_t synthBds50(double rollDegrees, double trackDegrees, double groundSpeedKnots, double trackRateDegPerSecond,
                    double trueAirspeedKnots);
// The heading's last bit is kept 0: with it set and every status bit set, the field would
// also read as a valid 5,0 register, which receivers try first.
uint64_t synthBds60(double headingDegrees, double indicatedAirspeedKnots, double mach, double baroRateFpm,
                    double inertialRateFpm);
