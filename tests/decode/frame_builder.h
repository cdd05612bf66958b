#pragma once
// Frames for decoder tests: from hexadecimal text, or built field by field with
// correct parity.

#include <cstdint>
#include <string>

#include "decode/modes_data.h"
#include "sdr/crc.h"

namespace frame_builder {

inline ModesData fromHex(const std::string& hex, uint32_t time = 1000) {
  ModesData frame;
  frame.length = static_cast<uint32_t>(hex.size() / 2);
  for (size_t i = 0; i < hex.size() / 2 && i < sizeof frame.bytes; ++i)
    frame.bytes[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  frame.time = time;
  return frame;
}

// A 56-bit ME / MB field, numbered 1 (most significant) to 56.
class Field56 {
 public:
  Field56& set(int first, int last, uint64_t value) {
    const int width = last - first + 1;
    const uint64_t mask = (uint64_t(1) << width) - 1;
    bits_ &= ~(mask << (56 - last));
    bits_ |= (value & mask) << (56 - last);
    return *this;
  }
  Field56& set(int bit, bool value) { return set(bit, bit, value ? 1 : 0); }
  uint64_t value() const { return bits_; }

 private:
  uint64_t bits_ = 0;
};

inline void putParity(ModesData& frame, uint32_t xorWith) {
  const uint32_t n = frame.length;
  const uint32_t parity = modeSCrc(frame.bytes, n - 3) ^ xorWith;
  frame.bytes[n - 3] = static_cast<uint8_t>(parity >> 16);
  frame.bytes[n - 2] = static_cast<uint8_t>(parity >> 8);
  frame.bytes[n - 1] = static_cast<uint8_t>(parity);
}

// DF 17/18/19: first byte (format and CA/CF), announced address, ME field, plain parity.
inline ModesData squitter(uint8_t firstByte, uint32_t address, const Field56& me,
                          uint32_t time = 1000) {
  ModesData frame;
  frame.length = 14;
  frame.time = time;
  frame.bytes[0] = firstByte;
  frame.bytes[1] = static_cast<uint8_t>(address >> 16);
  frame.bytes[2] = static_cast<uint8_t>(address >> 8);
  frame.bytes[3] = static_cast<uint8_t>(address);
  for (int i = 0; i < 7; ++i) frame.bytes[4 + i] = static_cast<uint8_t>(me.value() >> (48 - 8 * i));
  putParity(frame, 0);
  return frame;
}

inline ModesData extendedSquitter(uint32_t address, const Field56& me, uint32_t time = 1000) {
  return squitter(0x8D, address, me, time);  // DF 17, CA 5
}

// A surveillance reply (first four bytes given, MB field for long ones) whose parity field
// carries `address`.
inline ModesData addressParity(uint32_t length, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3,
                               uint32_t address, const Field56& mb = Field56()) {
  ModesData frame;
  frame.length = length;
  frame.time = 1000;
  frame.bytes[0] = b0;
  frame.bytes[1] = b1;
  frame.bytes[2] = b2;
  frame.bytes[3] = b3;
  if (length == 14)
    for (int i = 0; i < 7; ++i) frame.bytes[4 + i] = static_cast<uint8_t>(mb.value() >> (48 - 8 * i));
  putParity(frame, address);
  return frame;
}

// The 13-bit identity code C1 A1 C2 A2 C4 A4 X B1 D1 B2 D2 B4 D4 of a four-digit octal squawk.
inline uint32_t identityCode(int squawk) {
  const int a = (squawk / 1000) % 10, b = (squawk / 100) % 10, c = (squawk / 10) % 10,
            d = squawk % 10;
  auto bit = [](int digit, int weight, int position) {
    return (digit & weight) ? (1u << position) : 0u;
  };
  return bit(c, 1, 12) | bit(a, 1, 11) | bit(c, 2, 10) | bit(a, 2, 9) | bit(c, 4, 8) |
         bit(a, 4, 7) | bit(b, 1, 5) | bit(d, 1, 4) | bit(b, 2, 3) | bit(d, 2, 2) | bit(b, 4, 1) |
         bit(d, 4, 0);
}

}  // namespace frame_builder
