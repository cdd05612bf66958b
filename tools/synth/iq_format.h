#pragma once
// The I/Q file types a receiver reads, with their rates and sample coding.
//   rtl:      2 MS/s, unsigned 8-bit I, Q around 127.5 (as the RTL2832 delivers them)
//   airspy10: 10 MS/s, 16-bit little-endian I, Q
//   airspy6:  6 MS/s, 16-bit little-endian I, Q

#include <cstdint>
#include <string>

enum class SynthIqType { Rtl, Airspy10, Airspy6 };

// How 16-bit samples are coded. The file reader squares the 16-bit words as unsigned
// numbers, so a two's complement negative sample reads as a huge value; the absolute values
// of I and Q keep I^2 + Q^2 (the only thing the reader uses) exact and are valid read as
// signed or unsigned. "signed" writes true two's complement baseband for other tools.
enum class SynthAirspyCoding { Absolute, Signed };

bool parseSynthIqType(const std::string& name, SynthIqType& type);
const char* synthIqTypeName(SynthIqType type);
uint32_t synthOversamplingFactor(SynthIqType type);  // 1, 5, 3
uint32_t synthBytesPerPair(SynthIqType type);        // 2 or 4
inline uint64_t synthSampleRate(SynthIqType type) { return 2000000ull * synthOversamplingFactor(type); }

// Full-scale amplitude in file units. The 16-bit scale is chosen so that a frame gives the
// same demodulator level byte as in an rtl file (the level divisors of the two paths differ
// by 16352 / 24 per sample, an amplitude ratio of 26.1 against the rtl scale of 255).
constexpr double synthRtlFullScale = 127.5;
constexpr double synthAirspyFullScale = 6656;
