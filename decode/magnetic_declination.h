#pragma once
// Magnetic declination on a one-degree grid for one fixed model epoch.
// magneticDeclination takes and returns single-precision degrees (the grid holds tenths).

#include <cstdint>

struct MagneticDeclinationGrid {
  static constexpr int rows = 181;     // row r: latitude r - 90
  static constexpr int columns = 361;  // column c: longitude c - 180
  // Tenths of a degree, east positive, -1799..1800. Column 0 is 0 in every row.
  static const int32_t values[rows][columns];
};

// Truncates both angles toward zero to whole degrees; outside the grid (or not a number) 0.
float magneticDeclination(float latitude, float longitude);
