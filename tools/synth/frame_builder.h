#pragma once
// Mode S frames as a transponder sends them, parity included.
//
//   DF 17 (112 bits): DF(5) CA(3) AA(24) ME(56) PI(24)      PI = CRC of the first 88 bits
//   DF 11 (56 bits):  DF(5) CA(3) AA(24) PI(24)              PI = CRC xor interrogator code
//   DF 4/5 (56 bits): DF(5) FS(3) DR(5) UM(6) AC/ID(13) AP(24)
//   DF 20/21 (112):   DF(5) FS(3) DR(5) UM(6) AC/ID(13) MB(56) AP(24)   AP = CRC xor address

#include <cstdint>
#include <string>

#include "tools/synth/cpr_encoder.h"
#include "tools/synth/synth_frame.h"

// 6-bit callsign code of a character (A-Z, 0-9, blank), or -1.
int synthCallsignCode(char c);
// Eight 6-bit codes of a callsign of up to eight characters, padded with blanks.
uint64_t synthCallsignField(const std::string& callsign);

// Parity of the first length - 3 bytes xor `overlay` into the last three bytes.
void synthSetParity(SynthFrame& frame, uint32_t overlay);

// ES type 1-4: category set (type code) and category.
SynthFrame synthIdentificationSquitter(uint32_t address, uint32_t ca, uint32_t typeCode, uint32_t category,
                                       const std::string& callsign);

// ES type 9-18: surveillance status, barometric altitude, CPR position.
SynthFrame synthAirbornePositionSquitter(uint32_t address, uint32_t ca, uint32_t typeCode, uint32_t status,
                                         double altitudeFeet, bool odd, SynthCpr cpr);

// ES type 5-8: movement from the ground speed, track when moving.
SynthFrame synthSurfacePositionSquitter(uint32_t address, uint32_t ca, uint32_t typeCode, double groundSpeedKnots,
                                        double trackDegrees, bool odd, SynthCpr cpr);
// Movement code 1-124 nearest to a ground speed.
uint32_t synthSurfaceMovement(double groundSpeedKnots);

// ES type 19 subtype 1 (subsonic) or 2 (each component in 4 kt steps, chosen when a component
// exceeds 1022 kt): ground speed and track, barometric vertical rate, GNSS minus baro altitude.
SynthFrame synthVelocitySquitter(uint32_t address, uint32_t ca, double groundSpeedKnots, double trackDegrees,
                                 double verticalRateFpm, double gnssMinusBaroFeet);

SynthFrame synthAllCallReply(uint32_t address, uint32_t ca, uint32_t interrogatorCode);

// DF 4 (field13 = AC13 altitude) or DF 5 (field13 = identity).
SynthFrame synthSurveillanceReply(uint32_t df, uint32_t address, uint32_t fs, uint32_t field13);

// DF 20 (altitude) or DF 21 (identity) with a 56-bit Comm-B field.
SynthFrame synthCommBReply(uint32_t df, uint32_t address, uint32_t fs, uint32_t field13, uint64_t mb);

// Flight status: airborne 0 / ground 1, alert 2 / 3, alert with SPI 4, SPI 5.
uint32_t synthFlightStatus(bool onGround, bool alert, bool spi);
