#pragma once
// Compact Position Reporting encoder: 17-bit latitude and longitude fractions of the even
// (60 zones) or odd (59 zones) grid, airborne over 360 degrees or surface over 90 degrees.

#include <cstdint>

struct SynthCpr {
  uint32_t latitude = 0;
  uint32_t longitude = 0;
};

// Number of longitude zones at a latitude, from the zone formula with 15 latitude zones
// (59 at the equator, 1 from 87 degrees on).
int synthCprNL(double latitude);

SynthCpr synthEncodeCpr(double latitude, double longitude, bool odd, bool surface);
