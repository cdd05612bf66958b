#include "decode/magnetic_declination.h"

float magneticDeclination(float latitude, float longitude) {
  // Compare before converting: a float-to-int conversion out of range (or of NaN) is undefined.
  // Truncation lands on -90..90 exactly for -91 < latitude < 91, likewise for longitude.
  if (!(latitude > -91.0f && latitude < 91.0f && longitude > -181.0f && longitude < 181.0f)) return 0.0f;
  const int row = static_cast<int>(latitude) + 90;
  const int column = static_cast<int>(longitude) + 180;
  return static_cast<float>(MagneticDeclinationGrid::values[row][column] * 0.1);
}
