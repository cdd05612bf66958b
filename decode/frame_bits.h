#pragma once
// Fixed bit fields of a Mode S frame. Frame bit 1 is the most significant bit of
// byte 0 and bit 112 the least significant bit of byte 13; ME (and Comm-B MB)
// bit 1 is frame bit 33. Positions are template arguments so that a field
// outside the 14-byte buffer fails to compile instead of reading past it.

#include <cstdint>

template <unsigned First, unsigned Last>
inline uint32_t frameBits(const uint8_t* bytes) {
  static_assert(First >= 1 && First <= Last && Last <= 112, "field outside the frame");
  static_assert(Last - First < 32, "field wider than 32 bits");
  constexpr unsigned firstByte = (First - 1) / 8;
  constexpr unsigned lastByte = (Last - 1) / 8;
  uint64_t value = 0;
  for (unsigned i = firstByte; i <= lastByte; ++i) value = (value << 8) | bytes[i];
  constexpr unsigned shift = 7 - (Last - 1) % 8;
  constexpr uint64_t mask = (uint64_t(1) << (Last - First + 1)) - 1;
  return static_cast<uint32_t>((value >> shift) & mask);
}

template <unsigned First, unsigned Last>
inline uint32_t meBits(const uint8_t* bytes) {
  return frameBits<First + 32, Last + 32>(bytes);
}

template <unsigned Bit>
inline bool meBit(const uint8_t* bytes) {
  return frameBits<Bit + 32, Bit + 32>(bytes) != 0;
}
