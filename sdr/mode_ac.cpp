// Mode A/C replies: two framing pulses 20.3 us apart with up to 13 code pulses between them on a
// 1.45 us grid, and the SPI pulse after the second framing pulse. Positions are in phase units
// of 1/20 bin (25 ns) from the start of the window, whose bin 1 holds the first framing pulse.

#include "sdr/sdr_decoder.h"

#include <cmath>
#include <cstdint>

namespace {

constexpr uint32_t phasePerBin = 20;
constexpr uint32_t framingSpan = 812;  // 20.3 us
constexpr uint32_t halfSlot = 29;      // 0.725 us
constexpr uint32_t slotPhase = 2 * halfSlot;
constexpr uint32_t framingSlot = 14;  // F2
constexpr int32_t squelch = 2047;
constexpr int64_t comparable = 4;   // largest ratio of the framing pulses' signals
constexpr uint32_t gapMiddle = 9;   // from halfway between two slots to the middle of the gap

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
  const bool spillsBack = m2 <= m0 || m2 < m3;
  if (spillsBack) {
    m3 = m2;
    m2 = m0;
  }
  if (m3 >= m1 || m0 > m2 || m3 > m2) return;
  const int32_t f1Signal = s32((m1 + m2) - 2u * (m0 + m3));
  const int32_t f1Noise = s32((m0 + m3) / 2);
  if (framingPulseTooWeak(f1Signal, f1Noise)) return;
  // Where F1 begins, in phase units from the window's start: the share of the pulse in the
  // bin it spills into. The samples are powers, whose share would put the pulse too near the
  // bigger bin (most at one sample per bin) and the whole grid of code pulses with it; the
  // amplitudes split as the pulse overlaps the bins. A pulse that spills into bin 0 began
  // before bin 1, and is read from there rather than as late as it would be after bin 1.
  const double a1 = std::sqrt(static_cast<double>(m1)), a2 = std::sqrt(static_cast<double>(m2));
  const uint32_t spill = static_cast<uint32_t>(phasePerBin * a2 / (a1 + a2));
  if (spill >= phasePerBin) return;
  const uint32_t start = spillsBack ? phasePerBin - spill : phasePerBin + spill;

  // Second framing pulse, in the bin the phase gives or, when the phase is a little off, in
  // the one before or after it. It must be about as strong as the first: a code pulse taken
  // for F1 with noise for F2 is the commonest false reply where the noise per bin is large.
  const uint32_t q = start + framingSpan;
  int32_t f2Signal = 0, f2Noise = 0;
  const auto secondPulse = [&](uint32_t k2, bool aligned, bool adaptive) {
    uint32_t h0 = bin(k2), h1 = bin(k2 + 1);
    if (!(h0 < h1)) return false;
    uint32_t h2 = bin(k2 + 2), h3 = bin(k2 + 3);
    // In the expected bin the phase says whether the pulse spills into the next one; in a
    // neighbour the bins decide, as for F1.
    if (adaptive ? (h2 <= h0 || h2 < h3) : aligned) {
      h3 = h2;
      h2 = h0;
    }
    if (h3 > h2 || h3 >= h1 || h0 > h2) return false;
    f2Signal = s32((h1 + h2) - 2u * (h0 + h3));
    f2Noise = s32((h0 + h3) / 2);
    if (framingPulseTooWeak(f2Signal, f2Noise)) return false;
    return int64_t{f1Signal} <= comparable * int64_t{f2Signal} && int64_t{f2Signal} <= comparable * int64_t{f1Signal};
  };
  const uint32_t k2 = q / phasePerBin - 1;  // the bin before the one F2 begins in
  if (!secondPulse(k2, q % phasePerBin == 0, false) && !secondPulse(k2 - 1, false, true) &&
      !secondPulse(k2 + 1, false, true)) {
    return;
  }

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
    const uint32_t at = start + halfSlot * j;
    if (j & 1) {
      // A gap is two bins wide at most; only the bin at its middle lies inside it whatever
      // the phase, where two bins would take in the next pulse.
      lastGap = s32(bin((at + gapMiddle) / phasePerBin) - u32(noise));
      continue;
    }
    const uint32_t k = at / phasePerBin;
    int32_t s = s32(bin(k) - u32(noise));
    if (at % phasePerBin != 0) s = s32(u32(s) + bin(k + 1) - u32(noise));
    const uint32_t slot = j / 2;
    if (s >= oneLevel) {
      value |= slotBits[slot];
      if (slot > 1) {
        if (previousPulse ? (lastGap >= lastPulse || lastGap >= (s >> 1)) : lastGap >= (s >> 1)) return;
      }
      previousPulse = true;
    } else {
      if (previousPulse ? lastGap >= lastPulse : lastGap >= lowLevel) return;
      // Powers of a pulse split between two bins add up to as little as half of one whole
      // bin's, which puts such a pulse near the one-level: a slot read between the low and
      // the one-level is a pulse as likely as not, and the code is not handed on as read.
      // (F2's own slot holds a pulse of its own strength, which the test above allows.)
      if (s >= lowLevel && slot != framingSlot) return;
      previousPulse = false;
    }
    lastPulse = s >> 1;
  }
  if (value < 3 || (value & invalidBits) != 0) return;

  // SPI sits three slots after F2 as C2 sits three after F1: a reply with both shows a
  // shifted copy that begins at its C2 and ends at its SPI, which is no reply.
  if (spiEchoExpected) {
    const int64_t late = static_cast<int64_t>(sampleCounter - spiEchoCounter);
    if (late >= -2 * int64_t{f} && late <= 2 * int64_t{f}) return;
  }

  // At factors above 1 the window moves by a fraction of a bin, and one reply passes at
  // several neighbouring positions: the same code again within two bins is the same reply.
  // Each sighting renews the entry, so a run of sightings stays one reply.
  const uint8_t high = static_cast<uint8_t>(value >> 8), low = static_cast<uint8_t>(value & 0xFF);
  for (RecentReply& recent : recentReplies) {
    if (recent.used && recent.bytes[0] == high && recent.bytes[1] == low &&
        sampleCounter - recent.counter <= 2 * uint64_t{f}) {
      recent.counter = sampleCounter;
      return;
    }
  }
  recentReplies[replyWriteIndex] = {{high, low}, sampleCounter, true};
  replyWriteIndex = (replyWriteIndex + 1) % recentReplyCount;
  if ((value & 0xA0) == 0xA0) {
    spiEchoExpected = true;
    spiEchoCounter = sampleCounter + (3 * slotPhase * f) / phasePerBin;
  }

  frame[0] = high;
  frame[1] = low;
  const int64_t level = (int64_t{signal} / f + 127) >> 8;
  const uint8_t byte = level >= 255 ? 255 : level <= 0 ? 0 : static_cast<uint8_t>(level);
  emit(frame, 2, byte);
}
