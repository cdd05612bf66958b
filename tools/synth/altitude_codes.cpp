#include "tools/synth/altitude_codes.h"

#include <algorithm>
#include <cmath>

namespace {

uint32_t pulse(uint32_t pulses, int bit) { return (pulses >> bit) & 1; }

// Bit positions in the reply layout.
enum { D1 = 0, D2 = 1, D4 = 2, C1 = 4, C2 = 5, C4 = 6, B1 = 8, B2 = 9, B4 = 10, A1 = 12, A2 = 13, A4 = 14 };

// N for the 25 ft code, or -1 when the altitude needs the Gillham code.
int32_t quarterHundreds(double altitudeFeet) {
  const double n = std::round((altitudeFeet + 1000) / 25);
  if (n > 2047) return -1;
  return static_cast<int32_t>(std::max(0.0, n));
}

}  // namespace

uint32_t synthSquawkPulses(uint32_t squawk) {
  const uint32_t a = (squawk >> 9) & 7, b = (squawk >> 6) & 7, c = (squawk >> 3) & 7, d = squawk & 7;
  return (a << 12) | (b << 8) | (c << 4) | d;
}

uint32_t synthGillhamPulses(double altitudeFeet) {
  // Altitude = 500 x five-hundreds + 100 x hundreds - 1300, hundreds 1..5, the hundreds
  // counting down when five-hundreds is odd (a reflected code).
  const int32_t n = std::clamp(static_cast<int32_t>(std::lround((altitudeFeet + 1300) / 100)), 1, 1280);
  const uint32_t fiveHundreds = static_cast<uint32_t>(n - 1) / 5;
  uint32_t hundreds = static_cast<uint32_t>(n) - 5 * fiveHundreds;
  if (fiveHundreds & 1) hundreds = 6 - hundreds;
  static const uint32_t hundredsCode[6] = {0, 0b001, 0b011, 0b010, 0b110, 0b100};  // C1 C2 C4
  const uint32_t c = hundredsCode[hundreds];
  const uint32_t g = fiveHundreds ^ (fiveHundreds >> 1);  // D2 D4 A1 A2 A4 B1 B2 B4
  const uint32_t bits[8] = {D2, D4, A1, A2, A4, B1, B2, B4};
  uint32_t pulses = 0;
  for (int i = 0; i < 8; ++i)
    if ((g >> (7 - i)) & 1) pulses |= 1u << bits[i];
  if (c & 4) pulses |= 1u << C1;
  if (c & 2) pulses |= 1u << C2;
  if (c & 1) pulses |= 1u << C4;
  return pulses;
}

uint32_t synthIdentityField(uint32_t pulses) {
  const int order[13] = {C1, A1, C2, A2, C4, A4, -1, B1, D1, B2, D2, B4, D4};
  uint32_t field = 0;
  for (int bit : order) field = (field << 1) | (bit < 0 ? 0 : pulse(pulses, bit));
  return field;
}

uint32_t synthAc13Field(double altitudeFeet) {
  const int32_t n = quarterHundreds(altitudeFeet);
  if (n < 0) return synthIdentityField(synthGillhamPulses(altitudeFeet));  // M (X) = 0, Q (D1) = 0
  const uint32_t u = static_cast<uint32_t>(n);
  return ((u >> 5) << 7) | (((u >> 4) & 1) << 5) | (1u << 4) | (u & 15);
}

uint32_t synthAc12Field(double altitudeFeet) {
  const int32_t n = quarterHundreds(altitudeFeet);
  if (n < 0) {
    const uint32_t ac13 = synthIdentityField(synthGillhamPulses(altitudeFeet));
    return ((ac13 >> 7) << 6) | (ac13 & 0x3F);  // drop the M bit
  }
  const uint32_t u = static_cast<uint32_t>(n);
  return ((u >> 4) << 5) | (1u << 4) | (u & 15);
}
