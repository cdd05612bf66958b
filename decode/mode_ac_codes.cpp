#include "decode/mode_ac_codes.h"

namespace {

inline uint32_t bit(uint32_t code, int position) { return (code >> position) & 1u; }

// Bit positions within the 13-bit code.
constexpr int C1 = 12, A1 = 11, C2 = 10, A2 = 9, C4 = 8, A4 = 7, B1 = 5, D1 = 4, B2 = 3, D2 = 2,
              B4 = 1, D4 = 0;

}  // namespace

int32_t squawkFromIdentity(uint32_t code13) {
  const uint32_t a = (bit(code13, A4) << 2) | (bit(code13, A2) << 1) | bit(code13, A1);
  const uint32_t b = (bit(code13, B4) << 2) | (bit(code13, B2) << 1) | bit(code13, B1);
  const uint32_t c = (bit(code13, C4) << 2) | (bit(code13, C2) << 1) | bit(code13, C1);
  const uint32_t d = (bit(code13, D4) << 2) | (bit(code13, D2) << 1) | bit(code13, D1);
  return static_cast<int32_t>((a << 12) | (b << 8) | (c << 4) | d);
}

int32_t gillhamAltitude(uint32_t code13) {
  // Five-hundreds: D2 D4 A1 A2 A4 B1 B2 B4 as Gray code.
  uint32_t fiveHundreds = (bit(code13, D2) << 7) | (bit(code13, D4) << 6) | (bit(code13, A1) << 5) |
                          (bit(code13, A2) << 4) | (bit(code13, A4) << 3) | (bit(code13, B1) << 2) |
                          (bit(code13, B2) << 1) | bit(code13, B4);
  fiveHundreds ^= fiveHundreds >> 4;
  fiveHundreds ^= fiveHundreds >> 2;
  fiveHundreds ^= fiveHundreds >> 1;

  // Hundreds: C1 C2 C4 as Gray code; 0, 5 and 6 never occur in a valid reply.
  uint32_t hundreds = (bit(code13, C1) << 2) | (bit(code13, C2) << 1) | bit(code13, C4);
  hundreds ^= (hundreds >> 1) ^ (hundreds >> 2);
  if (hundreds == 0 || hundreds == 5 || hundreds == 6) return 0;
  if (hundreds == 7) hundreds = 5;
  if (fiveHundreds & 1) hundreds = 6 - hundreds;

  return static_cast<int32_t>(500 * fiveHundreds + 100 * hundreds) - 1300;
}
