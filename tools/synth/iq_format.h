#pragma once
// The sample file types a receiver reads, with their rates and sample coding.
//   rtl:      2 MS/s, unsigned 8-bit I, Q around 127.5 (as the RTL2832 delivers them)
//   airspy10: 10 MS/s, 16-bit little-endian I, Q
//   airspy6:  6 MS/s, 16-bit little-endian I, Q
//   raw10, raw12, raw20: 10, 12, 20 MS/s real 12-bit samples around 2048, as an Airspy hands
//            them over unconverted: one 16-bit host-order word a sample, or packed
//            (tools/synth/raw_samples.h). The tuned frequency sits at a quarter of the rate.

#include <cstdint>
#include <string>

enum class SynthIqType { Rtl, Airspy10, Airspy6, Raw10, Raw12, Raw20 };

// How 16-bit samples are coded. The file reader squares the 16-bit words as unsigned
// numbers, so a two's complement negative sample reads as a huge value; the absolute values
// of I and Q keep I^2 + Q^2 (the only thing the reader uses) exact and are valid read as
// signed or unsigned. "signed" writes true two's complement baseband for other tools.
// The real types ignore it.
enum class SynthAirspyCoding { Absolute, Signed };

bool parseSynthIqType(const std::string& name, SynthIqType& type);
const char* synthIqTypeName(SynthIqType type);
uint32_t synthOversamplingFactor(SynthIqType type);  // 1, 5, 3, 5, 6, 10: samples per 0.5 us
uint32_t synthBytesPerPair(SynthIqType type);        // 2 or 4; a real type's unpacked sample: 2
inline uint64_t synthSampleRate(SynthIqType type) { return 2000000ull * synthOversamplingFactor(type); }
inline bool synthIsRaw(SynthIqType type) {
  return type == SynthIqType::Raw10 || type == SynthIqType::Raw12 || type == SynthIqType::Raw20;
}

// Full-scale amplitude in file units. The 16-bit scale is chosen so that a frame gives the
// same demodulator level byte as in an rtl file (the level divisors of the two paths differ
// by 16352 / 24 per sample, an amplitude ratio of 26.1 against the rtl scale of 255).
constexpr double synthRtlFullScale = 127.5;
constexpr double synthAirspyFullScale = 6656;

// Real types: a carrier of amplitude synthRawFullScale around synthRawZero just fits the
// 12 bits. The scenario's noise floor is taken synthRawFloorShiftDb lower than for the I/Q
// types, so the usual -32 puts the noise in 2 MHz at -40 dB below a full-scale carrier: two
// overlapping frames 30 dB above it still do not clip, and 3 dB frames stay well above
// the quantisation step.
constexpr double synthRawFullScale = 2047;
constexpr uint16_t synthRawZero = 2048;
constexpr uint16_t synthRawMax = 4095;
constexpr double synthRawFloorShiftDb = -8;
// Levels are signal-to-noise ratios in this bandwidth for every type (an rtl file's whole band).
constexpr double synthReferenceBandwidthHz = 2e6;
