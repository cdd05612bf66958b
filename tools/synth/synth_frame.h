#pragma once
// One encoded frame and the bit writer the encoders share.
// Frame bits count from 0 (most significant bit of byte 0); ME and MB bits from 1 (byte 4 bit 7).

#include "decode/feed_encoding.h"

#include <cstdint>
#include <string>

struct SynthFrame {
  uint8_t bytes[14] = {};
  uint32_t length = 0;  // 2 (Mode A/C), 7 or 14 bytes
};

// Writes the low `width` bits of `value` at frame bits firstBit .. firstBit + width - 1.
inline void synthPutBits(uint8_t* bytes, int firstBit, int width, uint64_t value) {
  for (int i = 0; i < width; ++i) {
    const int bit = firstBit + i;
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit & 7));
    if ((value >> (width - 1 - i)) & 1) bytes[bit >> 3] |= mask;
    else bytes[bit >> 3] &= static_cast<uint8_t>(~mask);
  }
}

// ME / MB field of a long frame: bits 1 to 56 of bytes 4 to 10.
inline void synthPutFieldBits(SynthFrame& frame, int firstFieldBit, int width, uint64_t value) {
  synthPutBits(frame.bytes, 32 + firstFieldBit - 1, width, value);
}

inline void synthFlipBit(uint8_t* bytes, int bit) { bytes[bit >> 3] ^= static_cast<uint8_t>(0x80 >> (bit & 7)); }

inline std::string synthHex(const uint8_t* bytes, uint32_t length) {
  std::string text;
  appendHex(text, bytes, length);
  return text;
}
