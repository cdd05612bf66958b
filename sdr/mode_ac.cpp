// Mode A/C replies: two framing pulses 20.3 us apart with up to 13 code pulses between them on a
// 1.45 us grid, and the SPI pulse after the second framing pulse. Positions are in phase units
// of 1/20 bin (25 ns), relative to the bin where the first framing pulse begins.

#include "sdr/sdr_decoder.h"

#include <cstdint>

namespace {

constexpr uint32_t phasePerBin = 20;
constexpr uint32_t framingSpan = 812;  // 20.3 us
constexpr uint32_t halfSlot = 29;      // 0.725 us
constexpr int32_t squelch = 2047;

// Value bit of each code slot (slot n is n * 1.45 us after the first framing pulse).
constexpr uint32_t slotBits[24] = {
    0,                                                        // F1
    0x10,      0x1000,    0x20,     0x2000,   0x40,     0x4000,    // C1 A1 C2 A2 C4 A4
    0x40000000,                                               // X
    0x100,     0x1,       0x200,    0x2,      0x400,    0x4,       // B1 D1 B2 D2 B4 D4
    0,                                                        // F2
    0x8000000, 0x4000000, 0x80,                               // -, -, SPI
    0x2000000, 0x1000000, 0x800000, 0x400000, 0x200000, 0x100000,
};

// Everything outside the A, B, C, D code bits and the SPI: X, the slots after F2 other than
// SPI, and bits no slot sets.
constexpr uint32_t invalidBits = 0xFFFF8808;

// Signed arithmetic of the detector, wrapping at 32 bits like the bin sums themselves.
int32_t s32(uint32_t v) { return static_cast<int32_t>(v); }
uint32_t u32(int32_t v) { return static_cast<uint32_t>(v); }

// A framing pulse is clean when it stands well above the bins around it.
bool framingPulseTooWeak(int32_t signal, int32_t noise) {
  return signal < squelch || int64_t{signal} < 4 * int64_t{noise};
}

}  // namespace

void SdrDecoder::decodeModeAC() {
  const uint32_t f = factor;
  const auto bin = [this, f](uint32_t k) { return sumBin(k * f); };

  // First framing pulse in bin 1, spilling into bin 2 (or, when bin 2 is quiet, into bin 0).
  uint32_t m0 = bin(0), m1 = bin(1), m2 = bin(2), m3 = bin(3);
  if (!(m0 < m1)) return;
  if (m2 <= m0 || m2 < m3) {
    m3 = m2;
    m2 = m0;
  }
  if (m3 >= m1 || m0 > m2 || m3 > m2) return;
  const int32_t f1Signal = s32((m1 + m2) - 2u * (m0 + m3));
  const int32_t f1Noise = s32((m0 + m3) / 2);
  if (framingPulseTooWeak(f1Signal, f1Noise)) return;
  const uint32_t pulseSum = m1 + m2;
  // Only sums that wrap at 32 bits give these; a phase of a bin or more would read past
  // the bins the reply can occupy.
  if (pulseSum == 0) return;
  const uint32_t phase = (20u * m2) / pulseSum;
  if (phase >= phasePerBin) return;

  // Second framing pulse.
  const uint32_t q = phase + framingSpan;
  const uint32_t k2 = q / phasePerBin;
  const bool aligned = q % phasePerBin == 0;
  uint32_t h0 = bin(k2), h1 = bin(k2 + 1);
  if (!(h0 < h1)) return;
  uint32_t h2 = bin(k2 + 2), h3;
  if (aligned) {
    h3 = h2;
    h2 = h0;
  } else {
    h3 = bin(k2 + 3);
  }
  if (h3 > h2 || h3 >= h1 || (!aligned && h0 > h2)) return;
  const int32_t f2Signal = s32((h1 + h2) - 2u * (h0 + h3));
  const int32_t f2Noise = s32((h0 + h3) / 2);
  if (framingPulseTooWeak(f2Signal, f2Noise)) return;

  const int32_t noise = s32(u32(f1Noise) + u32(f2Noise)) >> 1;
  const int32_t pulses = s32(u32(f1Signal) + u32(f2Signal));
  const int32_t oneLevel = s32(u32(noise) + u32(pulses >> 2));
  const int32_t lowLevel = s32(u32(noise) + u32(pulses >> 3));
  const int32_t signal = pulses >> 1;

  // Odd steps read the gap before a slot, even steps the slot itself; every pulse must stand
  // clear of the gaps around it.
  uint32_t value = 0;
  bool previousPulse = true;  // F1
  int32_t lastPulse = f1Signal;
  int32_t lastGap = 0;
  for (uint32_t j = 1; j <= 47; ++j) {
    const uint32_t at = phase + halfSlot * j;
    const uint32_t k = 1 + at / phasePerBin;
    int32_t s = s32(bin(k) - u32(noise));
    if (at % phasePerBin != 0) s = s32(u32(s) + bin(k + 1) - u32(noise));
    if (j & 1) {
      lastGap = s;
      continue;
    }
    const uint32_t slot = j / 2;
    if (s >= oneLevel) {
      value |= slotBits[slot];
      if (slot > 1) {
        if (previousPulse ? (lastGap >= lastPulse || lastGap >= (s >> 1)) : lastGap >= (s >> 1)) return;
      }
      previousPulse = true;
    } else {
      if (previousPulse ? lastGap >= lastPulse : lastGap >= lowLevel) return;
      previousPulse = false;
    }
    lastPulse = s >> 1;
  }
  if (value < 3 || (value & invalidBits) != 0) return;

  frame[0] = static_cast<uint8_t>(value >> 8);
  frame[1] = static_cast<uint8_t>(value & 0xFF);
  const int64_t level = (int64_t{signal} / f + 127) >> 8;
  const uint8_t byte = level >= 255 ? 255 : level <= 0 ? 0 : static_cast<uint8_t>(level);
  emit(frame, 2, byte);
}
